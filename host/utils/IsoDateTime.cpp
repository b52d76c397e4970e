#include "ormanta/utils/chrono/IsoDateTime.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace ormanta::utils::chrono {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksPerMinute = 60 * kTicksPerSecond;
constexpr std::int64_t kTicksPerHour = 60 * kTicksPerMinute;
constexpr std::int64_t kTicksPerDay = 24 * kTicksPerHour;
constexpr std::int32_t kMaxOffsetMinutes = 23 * 60 + 59;
constexpr int kFractionDigits = 7;

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian calendar on plain integers (H. Hinnant's algorithms): the whole tick
// range spans about +-10.7 million days, far inside int64, and no std::chrono type limits the
// year to +-32767.
CivilDate civilFromDays(std::int64_t days) noexcept {
  days += 719468;  // shift the epoch to 0000-03-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<std::uint64_t>(days - era * 146097);
  const std::uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
  const auto day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) noexcept {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<std::uint64_t>(year - era * 400);
  const std::uint64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::uint64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool isLeapYear(std::int64_t year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned daysInMonth(std::int64_t year, unsigned month) noexcept {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

char* writeDigits(char* out, std::uint64_t value, int width) noexcept {
  char* const end = out + width;
  for (char* p = end; p != out; value /= 10) *--p = static_cast<char>('0' + value % 10);
  return end;
}

char* writeYear(char* out, std::int64_t year) noexcept {
  if (year >= 0 && year <= 9999) return writeDigits(out, static_cast<std::uint64_t>(year), 4);
  *out++ = year < 0 ? '-' : '+';
  const std::uint64_t magnitude =
      year < 0 ? 0 - static_cast<std::uint64_t>(year) : static_cast<std::uint64_t>(year);
  int width = 5;
  for (std::uint64_t limit = 100000; magnitude >= limit; limit *= 10) ++width;
  return writeDigits(out, magnitude, width);
}

// Sequential reader of the parsed text; every take* fails softly at the end of the text.
class Cursor {
 public:
  explicit Cursor(std::string_view text) noexcept : text_(text) {}

  bool atEnd() const noexcept { return position_ == text_.size(); }
  char peek() const noexcept { return atEnd() ? '\0' : text_[position_]; }

  bool take(char c) noexcept {
    if (atEnd() || text_[position_] != c) return false;
    ++position_;
    return true;
  }

  bool isDigit() const noexcept { return !atEnd() && text_[position_] >= '0' && text_[position_] <= '9'; }

  // Exactly count digits.
  bool takeNumber(int count, std::uint64_t& value) noexcept {
    value = 0;
    for (int i = 0; i < count; ++i) {
      if (!isDigit()) return false;
      value = value * 10 + static_cast<std::uint64_t>(text_[position_++] - '0');
    }
    return true;
  }

  // Between minCount and maxCount digits; returns how many were read (0 on failure).
  int takeDigits(int minCount, int maxCount, std::uint64_t& value) noexcept {
    value = 0;
    int count = 0;
    while (count < maxCount && isDigit()) {
      value = value * 10 + static_cast<std::uint64_t>(text_[position_++] - '0');
      ++count;
    }
    if (count < minCount || isDigit()) return 0;
    return count;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

struct ParsedFields {
  std::int64_t year = 0;
  std::uint64_t month = 0, day = 0;
  std::uint64_t hour = 0, minute = 0, second = 0;
  std::int64_t fractionTicks = 0;
  std::int64_t offsetMinutes = 0;
};

bool parseYear(Cursor& in, std::int64_t& year) noexcept {
  std::uint64_t magnitude = 0;
  if (in.peek() == '+' || in.peek() == '-') {
    const bool negative = in.peek() == '-';
    in.take(in.peek());
    // Nine digits are far beyond the tick range yet cannot overflow.
    if (in.takeDigits(4, 9, magnitude) == 0) return false;
    year = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
  }
  if (!in.takeNumber(4, magnitude) || in.isDigit()) return false;
  year = static_cast<std::int64_t>(magnitude);
  return true;
}

bool parseDate(Cursor& in, ParsedFields& fields) noexcept {
  if (!parseYear(in, fields.year) || !in.take('-') || !in.takeNumber(2, fields.month) || !in.take('-') ||
      !in.takeNumber(2, fields.day)) {
    return false;
  }
  if (fields.month < 1 || fields.month > 12) return false;
  return fields.day >= 1 && fields.day <= daysInMonth(fields.year, static_cast<unsigned>(fields.month));
}

bool parseFraction(Cursor& in, std::int64_t& ticks) noexcept {
  std::uint64_t digits = 0;
  const int count = in.takeDigits(1, 9, digits);
  if (count == 0) return false;
  // Scale to seven digits; finer digits are cut, not rounded.
  for (int i = count; i < kFractionDigits; ++i) digits *= 10;
  for (int i = kFractionDigits; i < count; ++i) digits /= 10;
  ticks = static_cast<std::int64_t>(digits);
  return true;
}

bool parseTime(Cursor& in, ParsedFields& fields) noexcept {
  if (!in.takeNumber(2, fields.hour) || !in.take(':') || !in.takeNumber(2, fields.minute)) return false;
  if (in.take(':')) {
    if (!in.takeNumber(2, fields.second)) return false;
    if ((in.take('.') || in.take(',')) && !parseFraction(in, fields.fractionTicks)) return false;
  }
  return fields.hour <= 23 && fields.minute <= 59 && fields.second <= 59;
}

bool parseZone(Cursor& in, ParsedFields& fields) noexcept {
  if (in.atEnd()) return true;  // no designator: taken as UTC
  if (in.take('Z') || in.take('z')) return true;
  const char sign = in.peek();
  if (sign != '+' && sign != '-') return false;
  in.take(sign);
  std::uint64_t hours = 0;
  std::uint64_t minutes = 0;
  if (!in.takeNumber(2, hours)) return false;
  in.take(':');
  if (!in.takeNumber(2, minutes) || hours > 23 || minutes > 59) return false;
  const auto total = static_cast<std::int64_t>(hours * 60 + minutes);
  fields.offsetMinutes = sign == '-' ? -total : total;
  return true;
}

bool parseFields(std::string_view text, ParsedFields& fields) noexcept {
  Cursor in(text);
  if (!parseDate(in, fields)) return false;
  if (in.atEnd()) return true;
  if (!in.take('T') && !in.take('t') && !in.take(' ')) return false;
  if (!parseTime(in, fields) || !parseZone(in, fields)) return false;
  return in.atEnd();
}

}  // namespace

std::size_t formatIsoDateTime(char* buffer, std::size_t capacity, TimePoint time,
                              std::optional<std::int32_t> offsetMinutes) {
  if (offsetMinutes && (*offsetMinutes > kMaxOffsetMinutes || *offsetMinutes < -kMaxOffsetMinutes)) {
    throw std::invalid_argument("ormanta::utils::chrono::formatIsoDateTime: time-zone offset of " +
                                std::to_string(*offsetMinutes) + " minutes exceeds 23:59");
  }
  // Split into whole days and the tick of the day before applying the offset, so that the
  // extreme time points cannot overflow.
  const std::int64_t ticks = time.time_since_epoch().count();
  std::int64_t days = ticks / kTicksPerDay;
  std::int64_t tickOfDay = ticks % kTicksPerDay;
  if (tickOfDay < 0) {
    tickOfDay += kTicksPerDay;
    --days;
  }
  if (offsetMinutes) {
    tickOfDay += *offsetMinutes * kTicksPerMinute;
    if (tickOfDay >= kTicksPerDay) {
      tickOfDay -= kTicksPerDay;
      ++days;
    } else if (tickOfDay < 0) {
      tickOfDay += kTicksPerDay;
      --days;
    }
  }
  const CivilDate date = civilFromDays(days);
  const auto tick = static_cast<std::uint64_t>(tickOfDay);

  char text[kMaxIsoDateTimeLength + 8];
  char* out = writeYear(text, date.year);
  *out++ = '-';
  out = writeDigits(out, date.month, 2);
  *out++ = '-';
  out = writeDigits(out, date.day, 2);
  *out++ = 'T';
  out = writeDigits(out, tick / kTicksPerHour, 2);
  *out++ = ':';
  out = writeDigits(out, tick / kTicksPerMinute % 60, 2);
  *out++ = ':';
  out = writeDigits(out, tick / kTicksPerSecond % 60, 2);
  *out++ = '.';
  out = writeDigits(out, tick % kTicksPerSecond, kFractionDigits);
  if (!offsetMinutes) {
    *out++ = 'Z';
  } else {
    const std::int32_t offset = *offsetMinutes;
    *out++ = offset < 0 ? '-' : '+';
    const auto magnitude = static_cast<std::uint64_t>(offset < 0 ? -offset : offset);
    out = writeDigits(out, magnitude / 60, 2);
    *out++ = ':';
    out = writeDigits(out, magnitude % 60, 2);
  }

  const auto length = static_cast<std::size_t>(out - text);
  const std::size_t count = length < capacity ? length : capacity;
  if (count > 0) std::memcpy(buffer, text, count);
  return length;
}

Expected<TimePoint> parseIsoDateTime(std::string_view text) noexcept {
  const Unexpected invalid{std::make_error_code(std::errc::invalid_argument)};
  ParsedFields fields;
  if (!parseFields(text, fields)) return invalid;

  const std::int64_t days =
      daysFromCivil(fields.year, static_cast<unsigned>(fields.month), static_cast<unsigned>(fields.day));
  const auto timeOfDay = static_cast<std::int64_t>(fields.hour) * kTicksPerHour +
                         static_cast<std::int64_t>(fields.minute) * kTicksPerMinute +
                         static_cast<std::int64_t>(fields.second) * kTicksPerSecond + fields.fractionTicks -
                         fields.offsetMinutes * kTicksPerMinute;
  // Years of up to nine digits give about 3.7e11 days: the product fits in 128 bits with room.
  const __int128 total = static_cast<__int128>(days) * kTicksPerDay + timeOfDay;
  if (total < std::numeric_limits<std::int64_t>::min() || total > std::numeric_limits<std::int64_t>::max()) {
    return invalid;
  }
  return TimePoint(Ticks(static_cast<std::int64_t>(total)));
}

}  // namespace ormanta::utils::chrono
