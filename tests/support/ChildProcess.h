#pragma once

// A program run as a child process of a test, stopped by its pid.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"

namespace tul::test {

using Texts = std::vector<std::string>;

// The time left until deadline, zero once it has passed.
inline std::chrono::milliseconds until(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

// A program (found on PATH unless argv[0] has a slash) with a pipe to its standard input. Its
// standard output and error go to outputFd when that is given; otherwise its output comes
// through a pipe (readLine) and its standard error goes to the file stderrFile. Reads and
// waits have time limits. The destructor kills (SIGKILL) and reaps a child still running, and
// the child is killed when the thread that started it ends (PR_SET_PDEATHSIG).
class ChildProcess {
 public:
  ChildProcess(Texts argv, std::string stderrFile, int outputFd = -1) : stderrFile_(std::move(stderrFile)) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::system_category(), "pipe2");
    }
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const std::string failed = "cannot run " + argv[0] + "\n";
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::system_category(), "fork");
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(outputFd >= 0 ? outputFd : out[1], STDOUT_FILENO);
      const int err =
          outputFd >= 0 ? outputFd : ::open(stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err >= 0) ::dup2(err, STDERR_FILENO);
      ::execvp(args[0], args.data());
      [[maybe_unused]] const auto written = ::write(STDERR_FILENO, failed.data(), failed.size());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_.reset(in[1]);
    stdout_.reset(out[0]);
    ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
  }
  ~ChildProcess() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void writeLine(const std::string& line) {
    const std::string text = line + "\n";
    for (std::size_t done = 0; stdin_ && done < text.size();) {
      const ssize_t n = ::write(stdin_.get(), text.data() + done, text.size() - done);
      if (n < 0 && errno != EINTR) return;
      done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
  }
  void closeStdin() { stdin_.reset(); }
  // The next line of standard output without its newline; empty at its end or after timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t newline;
    while ((newline = buffer_.find('\n')) == std::string::npos) {
      pollfd entry{stdout_.get(), POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(until(deadline).count())) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = ::read(stdout_.get(), chunk, sizeof chunk);
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
      } else if (until(deadline).count() == 0) {
        return std::nullopt;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
  UniqueFd stdin_, stdout_;
  std::string buffer_;
  std::optional<int> status_;
  std::string stderrFile_;
};

}  // namespace tul::test
