// JSON numbers: the RFC 8259 grammar and the node a number text becomes.
#pragma once

#include <bit>  // std::bit_cast
#include <cstdint>
#include <optional>

#include "json.hpp"  // Node, NodeTag

namespace vorn::json {

namespace number_detail {

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

/// The node of a checked integer text of 19 digits or more: the exact i64, then u64, and
/// WideInteger for everything beyond.
Node wide_integer(bool negative, const char* digits, std::size_t count);

/// The value of the checked number text [p, end), correctly rounded, ties to even;
/// magnitudes beyond binary64 become infinities or zeros. None if the conversion rejected
/// the text, which no checked text makes it do.
std::optional<double> float_value(const char* p, const char* end);

}  // namespace number_detail

/// Reads the number that starts at p (a `-` or a digit) and ends before `end` or at the
/// first byte that cannot continue it, returns its node and leaves p past it. If the text
/// breaks the grammar, sets `error` to a static message and leaves p where the failure is
/// reported. Inline: numbers are most of the values of a typical document, and the integer
/// path is a few instructions. The node comes back by value, in two registers.
inline Node read_number(const char*& p, const char* end, const char*& error) {
  using number_detail::is_digit;
  const char* start = p;
  const bool negative = *p == '-';
  if (negative) {
    ++p;
    if (p == end || !is_digit(*p)) {
      error = "expected a digit";
      return {};
    }
  }
  const char* digits = p;
  // Wraps past 19 digits; used only for up to 18, which cannot overflow.
  std::uint64_t magnitude = 0;
  if (*p == '0') {
    ++p;
  } else {
    while (p != end && is_digit(*p)) {
      magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
      ++p;
    }
  }
  const auto digit_count = static_cast<std::size_t>(p - digits);
  bool is_float = false;
  if (p != end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) {
      error = "expected a digit after `.`";
      return {};
    }
    while (p != end && is_digit(*p)) {
      ++p;
    }
    is_float = true;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) {
      ++p;
    }
    if (p == end || !is_digit(*p)) {
      error = "expected a digit in the exponent";
      return {};
    }
    while (p != end && is_digit(*p)) {
      ++p;
    }
    is_float = true;
  }
  if (is_float) {
    if (const std::optional<double> d = number_detail::float_value(start, p)) {
      return Node(NodeTag::Float, 0, 0, std::bit_cast<std::uint64_t>(*d));
    }
    error = "number does not fit an f64";
    return {};
  }
  if (digit_count <= 18) {
    const std::uint64_t bits = negative ? 0 - magnitude : magnitude;
    return Node(NodeTag::Integer, 0, 0, bits);
  }
  return number_detail::wide_integer(negative, digits, digit_count);
}

}  // namespace vorn::json
