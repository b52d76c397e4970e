#pragma once

// The built ormanta-host and tul-peer as child processes of the end-to-end tests.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ormanta/utils/json/Decoder.h"

namespace tul::test {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;
namespace json = ormanta::utils::json::decoder;

inline std::chrono::milliseconds until(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

// A temporary directory, removed with its contents at destruction.
class TempDirectory {
 public:
  TempDirectory() {
    std::string name = (std::filesystem::temp_directory_path() / "tul-e2e-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::system_category(), "mkdtemp");
    path_ = name;
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
    return path_ / name;
  }
  // A path inside the directory that no other call returns.
  std::string fresh(const std::string& stem) const {
    static std::atomic<int> counter{0};
    return path_ / (stem + "-" + std::to_string(++counter));
  }

 private:
  std::filesystem::path path_;
};

// A program with pipes to its standard input and output and its standard error in a file.
// Reads and waits have time limits. The destructor kills (SIGKILL) and reaps a child still
// running, and the child is killed when the test process dies (PR_SET_PDEATHSIG).
class ChildProcess {
 public:
  ChildProcess(Texts argv, std::string stderrFile) : stderrFile_(std::move(stderrFile)) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::system_category(), "pipe2");
    }
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::system_category(), "fork");
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      const int err = ::open(stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err >= 0) ::dup2(err, STDERR_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
  }
  ~ChildProcess() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    closeStdin();
    ::close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void writeLine(const std::string& line) {
    const std::string text = line + "\n";
    for (std::size_t done = 0; stdin_ >= 0 && done < text.size();) {
      const ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
      if (n < 0 && errno != EINTR) return;
      done += std::max<ssize_t>(n, 0);
    }
  }
  void closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  // The next line of standard output without its newline; empty at its end or after timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t newline;
    while ((newline = buffer_.find('\n')) == std::string::npos) {
      pollfd entry{stdout_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(until(deadline).count())) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n == 0) return std::nullopt;  // end of output
      buffer_.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    std::string line = buffer_.substr(0, newline);
    buffer_.erase(0, newline + 1);
    return line;
  }
  // The exit status (128 + N after signal N) once the child has ended; empty after timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int status = 0; !status_;) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      } else if (until(deadline) == 0ms) {
        return std::nullopt;
      } else {
        std::this_thread::sleep_for(5ms);
      }
    }
    return status_;
  }
  void signal(int number) {
    if (!status_) ::kill(pid_, number);
  }
  pid_t pid() const noexcept { return pid_; }
  std::string stderrText() const {
    std::stringstream text;
    text << std::ifstream(stderrFile_).rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  std::optional<int> status_;
  std::string stderrFile_;
};

inline Texts hostArgs(const std::string& model, const Texts& configs, const Texts& extraArgs = {}) {
  Texts args = {ORMANTA_HOST, "--plugin", TUL_MODULE, "--model", model};
  for (const std::string& config : configs) args.insert(args.end(), {"--config", config});
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  return args;
}

inline std::string serviceConfig(const std::string& address, const std::string& serviceName) {
  return R"({"address":")" + address + R"(","serviceName":")" + serviceName + R"("})";
}

// One JSON line of ormanta-host, flattened to dotted paths: "type", "service", "event",
// "attributes.state" ("true"/"false"), "attributes.error.value", "path", "value", "message".
using HostLine = std::map<std::string, std::string>;

inline void flatten(const json::Value& value, const std::string& path, HostLine& line) {
  if (value.kind() == json::Kind::kObject) {
    const auto object = value.asObject();
    for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
      const std::string name((*cursor).name());
      flatten((*cursor).value(), path.empty() ? name : path + "." + name, line);
    }
  } else if (value.kind() == json::Kind::kBool) {
    line[path] = value.asBool() ? "true" : "false";
  } else {
    line[path] = value.kind() == json::Kind::kNumber ? std::to_string(value.asInt64())
                                                     : std::string(value.asString().view());
  }
}

// ormanta-host with the built plug-in, the model file and one service per configuration.
class Host {
 public:
  Host(const TempDirectory& dir, const std::string& model, const Texts& configs,
       const Texts& extraArgs = {"--reconnect-every", "500"})
      : process(hostArgs(model, configs, extraArgs), dir.fresh("host-stderr")) {}

  // Reads lines until one satisfies pred; empty when timeout passes (or output ends) first.
  std::optional<HostLine> waitFor(const std::function<bool(HostLine&)>& pred,
                                  std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::optional<std::string> text = process.readLine(until(deadline))) {
      HostLine line;
      flatten(json::Document::parse(*text).root(), "", line);
      if (line["type"] == "attributes") latest_[line["service"]] = line;
      if (pred(line)) return line;
    }
    return std::nullopt;
  }
  // Until the service's latest attributes (a line already read counts) satisfy pred.
  std::optional<HostLine> waitForAttributes(const std::string& service,
                                            const std::function<bool(HostLine&)>& pred,
                                            std::chrono::milliseconds timeout = 10s) {
    if (latest_.contains(service) && pred(latest_[service])) return latest_[service];
    return waitFor(
        [&](HostLine& l) { return l["type"] == "attributes" && l["service"] == service && pred(l); },
        timeout);
  }
  bool waitUntilServing(const std::string& service) {
    const auto serving = [](HostLine& l) {
      return l["attributes.state"] == "true" && l["attributes.isServiceRegistered"] == "true";
    };
    return waitForAttributes(service, serving).has_value();
  }
  void send(const std::string& line) { process.writeLine(line); }
  // "read PATH": the value text, or "error: <message>".
  std::string read(const std::string& path) {
    send("read " + path);
    auto line = waitFor(
        [&](HostLine& l) { return (l["type"] == "value" && l["path"] == path) || l["type"] == "error"; }, 5s);
    return !line ? "timeout" : (*line)["type"] == "value" ? (*line)["value"] : "error: " + (*line)["message"];
  }

  ChildProcess process;

 private:
  std::map<std::string, HostLine> latest_;  // each service's latest attributes line
};

struct PeerResult {
  int status = -1;  // -1: did not end in time (then killed)
  std::string out;
  std::string err;
};

// Runs tul-peer with args to its end (at most timeout).
inline PeerResult runPeer(const TempDirectory& dir, const Texts& args,
                          std::chrono::milliseconds timeout = 10s) {
  Texts argv = {TUL_PEER};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess peer(argv, dir.fresh("peer-stderr"));
  peer.closeStdin();
  PeerResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::optional<std::string> line = peer.readLine(until(deadline))) result.out += *line + "\n";
  result.status = peer.wait(until(deadline)).value_or(-1);
  result.err = peer.stderrText();
  return result;
}

}  // namespace tul::test
