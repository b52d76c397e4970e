#include "support/RedisServer.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "support/Ports.h"
#include "support/RedisClient.h"

namespace tul::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// True when the server on port answers as process pid (another process may have taken the port).
bool answersAs(int port, pid_t pid) {
  try {
    RedisClient client("127.0.0.1", port);
    return client.str({"INFO", "server"}).find("process_id:" + std::to_string(pid) + "\r\n") !=
           std::string::npos;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

RedisServer::RedisServer(std::vector<std::string> extraArguments)
    : log_(::memfd_create("redis-server.log", MFD_CLOEXEC)), extraArguments_(std::move(extraArguments)) {
  if (!log_) throw std::system_error(errno, std::system_category(), "memfd_create");
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = freeLoopbackPort();
    if (launch()) return;
  }
  throw std::runtime_error("redis-server did not start on a free port:\n" + logTail());
}

void RedisServer::start() {
  if (!running() && !launch()) throw std::runtime_error("redis-server did not start again:\n" + logTail());
}

void RedisServer::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  process_->signal(SIGCONT);  // a paused server sees the SIGTERM only once it runs
  process_->wait(2s);
  process_.reset();  // kills it if it has not ended
}

void RedisServer::kill() { process_.reset(); }
void RedisServer::pause() {
  if (process_) process_->signal(SIGSTOP);
}
void RedisServer::resume() {
  if (process_) process_->signal(SIGCONT);
}

bool RedisServer::launch() {
  const std::string port = std::to_string(port_), dir = std::filesystem::temp_directory_path().string();
  Texts argv = {
      "redis-server",           "--port", port,    "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
      "--enable-debug-command", "local",  "--dir", dir};
  argv.insert(argv.end(), extraArguments_.begin(), extraArguments_.end());
  process_.emplace(std::move(argv), "", log_.get());
  for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    if (process_->wait(0ms)) {
      process_.reset();
      return false;
    }
    if (answersAs(port_, process_->pid())) return true;
  }
  stop();
  throw std::runtime_error("redis-server did not answer within 5 s:\n" + logTail());
}

std::string RedisServer::logTail() const {
  std::string text(4096, '\0');
  const off_t size = ::lseek(log_.get(), 0, SEEK_END);
  text.resize(
      std::max<ssize_t>(::pread(log_.get(), text.data(), text.size(), std::max<off_t>(size - 4096, 0)), 0));
  return text;
}

}  // namespace tul::test
