#include "Report.h"

#include <cstdio>

namespace tul::bench {

void printRow(const Row& row) {
  const std::string ratio = row.ratio ? fmt::format("{:.2f}", *row.ratio) : "—";
  fmt::print("| {} | {} | {} | {} | {} |\n", row.figure, row.ours, row.anchor, ratio, row.target);
  if (row.met && !*row.met) fmt::print("!missed {}\n", row.figure);
  std::fflush(stdout);
}

}  // namespace tul::bench
