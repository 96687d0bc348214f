#include "datetime.hpp"

namespace vorn {

namespace {

// An offset after the seconds (and fraction): `Z`/`z`, or a sign and `HH:MM`.
bool is_offset(std::string_view s) {
  if (s.size() == 1) {
    return s[0] == 'Z' || s[0] == 'z';
  }
  if (s.size() != 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':') {
    return false;
  }
  return detail::two_digits_at(s, 1) <= 23U && detail::two_digits_at(s, 4) <= 59U;
}

}  // namespace

std::optional<Code> validate_datetime(std::string_view text) {
  // Exactly ten bytes is a date without a time, which is no date-time.
  if (text.size() <= 10 || !parse_date(text.substr(0, 10))) {
    return Code::invalid_datetime;
  }
  if (text[10] != 'T' && text[10] != 't') {
    return Code::invalid_datetime;
  }
  if (text.size() < 19 || text[13] != ':' || text[16] != ':') {
    return Code::invalid_datetime;
  }
  // Second 60 is a leap second; no table of leap seconds is kept, so any date may carry one.
  if (detail::two_digits_at(text, 11) > 23U || detail::two_digits_at(text, 14) > 59U ||
      detail::two_digits_at(text, 17) > 60U) {
    return Code::invalid_datetime;
  }
  std::size_t offset = 19;
  if (offset < text.size() && text[offset] == '.') {
    ++offset;
    const std::size_t digits = offset;
    while (offset < text.size() && detail::digit_at(text, offset) <= 9U) {
      ++offset;
    }
    if (offset == digits) {
      return Code::invalid_datetime;
    }
  }
  // A local time names no instant; it gets its own code so callers can tell the user so.
  if (offset == text.size()) {
    return Code::missing_timezone;
  }
  if (!is_offset(text.substr(offset))) {
    return Code::invalid_datetime;
  }
  return std::nullopt;
}

}  // namespace vorn
