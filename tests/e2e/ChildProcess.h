#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tul::test {

// A program run by a test, with pipes to its standard input and output and its standard
// error in a file. Every read and wait has a time limit. The destructor kills (SIGKILL) and
// reaps a child that is still running, and the child is killed as well if the test process
// dies (PR_SET_PDEATHSIG), so no process outlives the test. One thread.
class ChildProcess {
 public:
  // Throws std::system_error when the program cannot be started.
  ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& stderrFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // False when standard input is closed or the child no longer reads it.
  bool writeLine(std::string_view line);
  void closeStdin();

  // The next line of standard output (without its newline); empty at the end of output or
  // when timeout passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

  // The exit status (128 + N for a child ended by signal N) once the child has ended, or
  // empty when timeout passes first.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void signal(int signalNumber);
  bool running();

  // Everything the child wrote to standard error so far.
  std::string stderrText() const;

 private:
  bool fillBuffer(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  bool stdoutEnded_ = false;
  std::optional<int> status_;
  std::filesystem::path stderrFile_;
};

// A temporary directory removed with everything in it at destruction.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }
  // Writes text to name inside the directory; returns the file's path.
  std::filesystem::path write(const std::string& name, std::string_view text) const;

 private:
  std::filesystem::path path_;
};

}  // namespace tul::test
