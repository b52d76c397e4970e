#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace tul::test {
namespace {

using Clock = std::chrono::steady_clock;

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& stderrFile)
    : stderrFile_(stderrFile) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::system_error(errno, std::system_category(), "pipe2");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::system_error(errno, std::system_category(), "pipe2");
  }
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const std::string errPath = stderrFile.string();

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::system_category(), "fork");
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  pid_ = pid;
  ::close(in[0]);
  ::close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  ::fcntl(stdout_, F_SETFL, ::fcntl(stdout_, F_GETFL) | O_NONBLOCK);
  // A child that stops reading must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  closeFd(stdin_);
  closeFd(stdout_);
}

bool ChildProcess::writeLine(std::string_view line) {
  if (stdin_ < 0) return false;
  std::string text(line);
  text.push_back('\n');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::closeStdin() { closeFd(stdin_); }

bool ChildProcess::fillBuffer(std::chrono::milliseconds timeout) {
  if (stdoutEnded_) return false;
  pollfd entry{stdout_, POLLIN, 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(timeout.count(), 0)));
  if (ready <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
  if (n == 0) {
    stdoutEnded_ = true;
    return false;
  }
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || stdoutEnded_) return std::nullopt;
    fillBuffer(left);
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = decodeStatus(status);
      return status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::signal(int signalNumber) {
  if (!status_ && pid_ > 0) ::kill(pid_, signalNumber);
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

std::string ChildProcess::stderrText() const {
  std::ifstream in(stderrFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TempDirectory::TempDirectory() {
  const std::string base = (std::filesystem::temp_directory_path() / "tul-e2e-XXXXXX").string();
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::system_category(), "mkdtemp");
  path_ = name.data();
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDirectory::write(const std::string& name, std::string_view text) const {
  const std::filesystem::path file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out << text;
  return file;
}

}  // namespace tul::test
