// The schema language: text in, a checked Schema or the first error out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "result.hpp"
#include "schema.hpp"

namespace vorn {

/// The one error type of the schema language; line and column count from 1, columns in
/// characters.
struct ParseError {
  std::string message;
  std::uint64_t line = 1;
  std::uint64_t column = 1;

  /// "{line}:{column}: {message}".
  std::string text() const;
};

/// Parses a whole schema text (UTF-8). On failure, the first error in text order.
Result<Schema, ParseError> parse(std::string_view text);

}  // namespace vorn
