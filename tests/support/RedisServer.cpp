#include "support/RedisServer.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
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
#include "support/Wait.h"

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
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::kill(pid_, SIGCONT);  // a paused server sees the SIGTERM only once it runs
  if (!waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) != 0; }, 2s)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

void RedisServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void RedisServer::pause() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void RedisServer::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

bool RedisServer::launch() {
  const std::string port = std::to_string(port_), dir = std::filesystem::temp_directory_path().string();
  std::vector<const char*> argv = {
      "redis-server", "--port", port.c_str(),   "--bind", "127.0.0.1",
      "--save",       "",       "--appendonly", "no",     "--enable-debug-command",
      "local",        "--dir",  dir.c_str()};
  for (const std::string& argument : extraArguments_) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::system_category(), "fork");
  if (pid_ == 0) {  // only async-signal-safe calls until exec
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(log_.get(), STDOUT_FILENO);
    ::dup2(log_.get(), STDERR_FILENO);
    ::execvp(argv[0], const_cast<char* const*>(argv.data()));
    static constexpr char kMissing[] = "redis-server not found on PATH\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, kMissing, sizeof kMissing - 1);
    ::_exit(127);
  }
  for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (answersAs(port_, pid_)) return true;
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
