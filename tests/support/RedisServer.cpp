#include "support/RedisServer.h"

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "support/Ports.h"

namespace tul::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = 5s;
constexpr auto kTermGrace = 2s;
constexpr int kPortAttempts = 5;

struct ContextDeleter {
  void operator()(redisContext* context) const noexcept { redisFree(context); }
};
struct ReplyDeleter {
  void operator()(void* reply) const noexcept { freeReplyObject(reply); }
};

constexpr std::string_view kDirectoryPrefix = "tul-redis-";

// Directories of servers whose test process died without its destructors (a crash, a ctest
// time-out): named after that process, removed once it is gone.
void removeOrphanedDirectories(const std::filesystem::path& temp) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(temp, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kDirectoryPrefix, 0) != 0) continue;
    const std::string rest = name.substr(kDirectoryPrefix.size());
    const auto dash = rest.find('-');
    if (dash == std::string::npos || dash == 0) continue;
    pid_t owner = 0;
    const auto [end, parsed] = std::from_chars(rest.data(), rest.data() + dash, owner);
    if (parsed != std::errc{} || end != rest.data() + dash) continue;
    if (::kill(owner, 0) != 0 && errno == ESRCH) std::filesystem::remove_all(entry.path(), error);
  }
}

std::filesystem::path makeTempDirectory() {
  const auto temp = std::filesystem::temp_directory_path();
  removeOrphanedDirectories(temp);
  const std::string base =
      (temp / (std::string(kDirectoryPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::system_category(), "mkdtemp");
  return name.data();
}

// True when the server on port answers PING and INFO names pid as its process: another
// process may have taken the port first.
bool answersAs(int port, pid_t pid) {
  const timeval timeout{0, 200'000};
  std::unique_ptr<redisContext, ContextDeleter> context(redisConnectWithTimeout("127.0.0.1", port, timeout));
  if (!context || context->err != 0) return false;
  redisSetTimeout(context.get(), timeout);
  std::unique_ptr<redisReply, ReplyDeleter> pong(
      static_cast<redisReply*>(redisCommand(context.get(), "PING")));
  if (!pong || pong->type != REDIS_REPLY_STATUS) return false;
  std::unique_ptr<redisReply, ReplyDeleter> info(
      static_cast<redisReply*>(redisCommand(context.get(), "INFO server")));
  if (!info || info->type != REDIS_REPLY_STRING) return false;
  const std::string text(info->str, info->len);
  return text.find("process_id:" + std::to_string(pid) + "\r\n") != std::string::npos;
}

// Returns true when pid ended within grace (and reaps it).
bool reapWithin(pid_t pid, std::chrono::milliseconds grace) {
  const auto deadline = Clock::now() + grace;
  for (;;) {
    const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

}  // namespace

std::string RedisServer::binary() {
  if (const char* path = std::getenv("PATH")) {
    std::stringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
      const auto candidate = std::filesystem::path(dir.empty() ? "." : dir) / "redis-server";
      if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
  }
  return ::access("/usr/bin/redis-server", X_OK) == 0 ? "/usr/bin/redis-server" : "";
}

RedisServer::RedisServer() : directory_(makeTempDirectory()) {
  try {
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
      port_ = freeLoopbackPort();
      if (launch()) return;
    }
    throw std::runtime_error("redis-server did not start on a free port:\n" + logTail());
  } catch (...) {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    throw;
  }
}

RedisServer::~RedisServer() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void RedisServer::start() {
  if (running()) return;
  if (!launch()) throw std::runtime_error("redis-server did not start again:\n" + logTail());
}

void RedisServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!reapWithin(pid_, kTermGrace)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

bool RedisServer::launch() {
  const std::string program = binary();
  if (program.empty()) throw std::runtime_error("redis-server not found on PATH or in /usr/bin");
  const std::string log = (directory_ / "redis.log").string();
  std::vector<std::string> args = {program,
                                   "--port",
                                   std::to_string(port_),
                                   "--bind",
                                   "127.0.0.1",
                                   "--save",
                                   "",
                                   "--appendonly",
                                   "no",
                                   "--daemonize",
                                   "no",
                                   "--dir",
                                   directory_.string(),
                                   "--enable-debug-command",
                                   "local"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::system_category(), "fork");
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;

  const auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (answersAs(port_, pid_)) return true;
    std::this_thread::sleep_for(10ms);
  }
  stop();
  throw std::runtime_error("redis-server did not answer PING within 5 s:\n" + logTail());
}

std::string RedisServer::logTail() const {
  std::ifstream in(directory_ / "redis.log");
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  constexpr std::size_t kTail = 2000;
  return all.size() > kTail ? all.substr(all.size() - kTail) : all;
}

}  // namespace tul::test
