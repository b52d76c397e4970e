#include "peer/LiveTable.h"

#include <algorithm>
#include <iomanip>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#define TUL_ISATTY _isatty
#else
#include <unistd.h>
#define TUL_ISATTY ::isatty
#endif

namespace ormanta::peer {
namespace {

constexpr const char* kHome = "\x1b[H";
constexpr const char* kClearScreen = "\x1b[2J";
constexpr const char* kClearLine = "\x1b[K";
constexpr const char* kClearBelow = "\x1b[J";
constexpr std::size_t kValueWidth = 24;

// The time of day of an ISO time, "09:27:21.473".
std::string timeOfDay(const std::string& iso) {
  const std::size_t t = iso.find('T');
  return t == std::string::npos ? iso : iso.substr(t + 1, iso.size() - t - 2);
}

}  // namespace

LiveTable::LiveTable(std::string title, const std::vector<std::string>& members) : title_(std::move(title)) {
  for (const std::string& member : members) rows_.push_back({member});
}

void LiveTable::update(const std::string& member, const std::string& time, const std::string& value) {
  for (Row& row : rows_) {
    if (row.member != member) continue;
    if (!row.seen || row.value != value) {
      row.value = value;
      row.changedAt = timeOfDay(time);
      ++row.changes;
    }
    row.seen = true;
    dirty_ = true;
  }
}

void LiveTable::setNote(std::string note) {
  note_ = std::move(note);
  dirty_ = true;
}

void LiveTable::draw(std::ostream& out, std::chrono::milliseconds minInterval) {
  const Clock::time_point now = Clock::now();
  if (!dirty_ || (drawn_ && now - drawnAt_ < minInterval)) return;
  std::size_t width = 6;
  for (const Row& row : rows_) width = std::max(width, row.member.size());
  const auto w = static_cast<int>(width);
  const auto v = static_cast<int>(kValueWidth);
  // The first drawing clears the screen; later ones only write over it.
  out << (drawn_ ? "" : kClearScreen) << kHome << title_ << kClearLine << "\n"
      << kClearLine << "\n"
      << std::left << std::setw(w) << "MEMBER"
      << "  " << std::setw(v) << "VALUE"
      << "  " << std::setw(12) << "CHANGED"
      << "  CHANGES" << kClearLine << "\n";
  for (const Row& row : rows_) {
    std::string value = row.value;
    if (value.size() > kValueWidth) value = value.substr(0, kValueWidth - 3) + "...";
    out << std::left << std::setw(w) << row.member << "  " << std::setw(v) << value << "  " << std::setw(12)
        << row.changedAt << "  " << std::right << std::setw(7) << row.changes << kClearLine << "\n";
  }
  if (!note_.empty()) out << "\n" << note_ << kClearLine << "\n";
  out << kClearBelow << std::flush;
  drawn_ = true;
  drawnAt_ = now;
  dirty_ = false;
}

void LiveTable::finish(std::ostream& out) {
  dirty_ = true;
  draw(out, std::chrono::milliseconds(0));
}

bool isTerminalOutput(const std::ostream& out) { return &out == &std::cout && TUL_ISATTY(1) != 0; }

}  // namespace ormanta::peer
