// Recognisers for the Date and DateTime texts: a strict subset of the ISO 8601 forms, with
// no date values built and no time-zone arithmetic.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "error.hpp"

namespace vorn {

/// A calendar date as written: year 0 to 9999, month 1 to 12, day valid for that month.
struct CivilDate {
  unsigned year;
  unsigned month;
  unsigned day;
};

namespace detail {

/// The value of the ASCII digit at `i`, or a value above 9 for any other byte (bytes below
/// '0' wrap around), so one unsigned comparison tells a digit.
inline unsigned digit_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]) - unsigned{'0'};
}

/// The two-digit number at `i`, or a value of 100 or more when either byte is no digit.
inline unsigned two_digits_at(std::string_view text, std::size_t i) {
  const unsigned hi = digit_at(text, i);
  const unsigned lo = digit_at(text, i + 1);
  return ((hi > 9U) | (lo > 9U)) ? 100U : hi * 10U + lo;
}

}  // namespace detail

/// Reads exactly `YYYY-MM-DD` with a day that exists in the proleptic Gregorian calendar;
/// none for any other text.
inline std::optional<CivilDate> parse_date(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  const unsigned century = detail::two_digits_at(text, 0);
  const unsigned year_low = detail::two_digits_at(text, 2);
  const unsigned month = detail::two_digits_at(text, 5);
  const unsigned day = detail::two_digits_at(text, 8);
  // A field with a non-digit reads as 100 or more; month 0 wraps and fails the same test
  // as month 13, and the day is tested against the month's length below.
  if (century >= 100U || year_low >= 100U || month - 1U >= 12U) {
    return std::nullopt;
  }
  const unsigned year = century * 100U + year_low;
  // Bit m set: month m has 31 days.
  constexpr unsigned long_months = 0b1'0101'1010'1010U;
  unsigned days = 30U + ((long_months >> month) & 1U);
  if (month == 2U) {
    const bool leap = year % 4U == 0U && (year % 100U != 0U || year % 400U == 0U);
    days = leap ? 29U : 28U;
  }
  if (day - 1U >= days) {
    return std::nullopt;
  }
  return CivilDate{year, month, day};
}

/// None when the text is a valid date for parse_date; otherwise Code::invalid_date.
inline std::optional<Code> validate_date(std::string_view text) {
  if (parse_date(text)) {
    return std::nullopt;
  }
  return Code::invalid_date;
}

/// None when the text is `YYYY-MM-DDTHH:MM:SS`, an optional fraction of any length, and an
/// offset `Z` or `+HH:MM`/`-HH:MM` (either case for `T` and `Z`, second 60 allowed).
/// Otherwise Code::missing_timezone when the text is valid but stops before an offset, and
/// Code::invalid_datetime for anything else.
std::optional<Code> validate_datetime(std::string_view text);

}  // namespace vorn
