#pragma once

#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace tul::test {

// A fresh directory under the system's temporary directory, removed with its contents at
// destruction.
class TempDirectory {
 public:
  explicit TempDirectory(const std::string& prefix = "tul-test") {
    std::string name = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::system_category(), "mkdtemp");
    path_ = name;
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Writes text to the named file; returns its path.
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
    return file(name);
  }
  // A path inside the directory that no other call returns.
  std::string fresh(const std::string& stem) const {
    static std::atomic<int> counter{0};
    return file(stem + "-" + std::to_string(++counter));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tul::test
