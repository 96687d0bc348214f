#include "error.hpp"

#include <charconv>  // std::to_chars

namespace vorn {

namespace {

constexpr std::string_view code_names[] = {
    "required",         "null_not_allowed", "type_mismatch",   "out_of_range",   "unsafe_integer",
    "integer_too_wide", "not_finite",       "too_short",       "too_long",       "too_few_items",
    "too_many_items",   "not_in_enum",      "invalid_format",  "invalid_date",   "invalid_datetime",
    "missing_timezone", "unknown_field",    "unknown_variant", "depth_exceeded", "size_exceeded",
    "unknown_type",
};

}  // namespace

std::string_view code_name(Code code) {
  return code_names[static_cast<std::size_t>(code)];
}

std::string Path::render() const {
  std::string out;
  for (const Segment& s : segments) {
    if (s.is_index) {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, s.index);
      out += '[';
      out.append(buf, res.ptr);
      out += ']';
    } else {
      // An empty name writes nothing and does not count as written text.
      if (!out.empty()) {
        out += '.';
      }
      out += s.key;
    }
  }
  return out.empty() ? std::string("<root>") : out;
}

}  // namespace vorn
