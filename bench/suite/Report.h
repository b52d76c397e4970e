#pragma once

// The rows a figure contributes to the table. Each figure runs in a process of its own and
// writes its rows to standard output; bench/run-benchmarks.sh gathers them under one header.
//
//   | figure | ours | anchor | ratio | target |
//
// A row whose target is missed is followed by a line "!missed <figure>", which the script
// lists below the table. Progress and details go to standard error.

#include <fmt/format.h>

#include <optional>
#include <string>

namespace tul::bench {

struct Row {
  std::string figure;  // "1a. Publishing, 10,000 members"
  std::string ours;
  std::string anchor;           // "—" where a figure has none
  std::optional<double> ratio;  // ours / anchor
  std::string target;
  std::optional<bool> met;  // unset: the target is not a pass/fail figure
};

void printRow(const Row& row);

// Progress and details, on standard error.
template <class... Args>
void note(fmt::format_string<Args...> format, Args&&... args) {
  fmt::print(stderr, "  {}\n", fmt::format(format, std::forward<Args>(args)...));
  std::fflush(stderr);
}

}  // namespace tul::bench
