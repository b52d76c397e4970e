#pragma once

// watch --table: one row per member (value, time of the last change, changes seen) redrawn in
// place on a terminal, like top: the cursor goes home and each row is written over the last.

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace ormanta::peer {

class LiveTable {
 public:
  using Clock = std::chrono::steady_clock;

  LiveTable(std::string title, const std::vector<std::string>& members);

  // A value of member; the row counts it as a change when the text differs from the last.
  void update(const std::string& member, const std::string& time, const std::string& value);
  // A line under the table (a reconnect, say), instead of a line that would scroll it away.
  void setNote(std::string note);
  // Draws the table when something changed and minInterval has passed since the last drawing.
  void draw(std::ostream& out, std::chrono::milliseconds minInterval = std::chrono::milliseconds(200));
  // Leaves the cursor below the table.
  void finish(std::ostream& out);

 private:
  struct Row {
    std::string member;
    std::string value = "-";
    std::string changedAt = "-";
    std::size_t changes = 0;
    bool seen = false;
  };
  std::string title_;
  std::vector<Row> rows_;
  std::string note_;
  bool dirty_ = true;
  bool drawn_ = false;
  Clock::time_point drawnAt_;
};

// True when the stream is standard output and that is a terminal.
bool isTerminalOutput(const std::ostream& out);

}  // namespace ormanta::peer
