// Validation issues: what went wrong (Code), where (Path) and a sentence for people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

/// Stable machine-readable kinds of problem; each member's public text is its name.
enum class Code : std::uint8_t {
  required,
  null_not_allowed,
  type_mismatch,
  out_of_range,
  unsafe_integer,
  integer_too_wide,
  not_finite,
  too_short,
  too_long,
  too_few_items,
  too_many_items,
  not_in_enum,
  invalid_format,
  invalid_date,
  invalid_datetime,
  missing_timezone,
  unknown_field,
  unknown_variant,
  depth_exceeded,
  size_exceeded,
  unknown_type,
};

/// The code's public text, exactly its name.
std::string_view code_name(Code code);

/// One step of a path: a member name, or an array position when `is_index` is set.
struct Segment {
  std::string key;
  std::uint64_t index = 0;
  bool is_index = false;
};

/// Where in the payload an issue sits, outermost step first; empty means the whole payload.
struct Path {
  std::vector<Segment> segments;

  /// The one text form of a path: `items[0].id`, `<root>` for the empty path.
  std::string render() const;
};

/// One recorded problem. Owns its text, so it outlives the payload and the schema.
struct Issue {
  Path path;
  Code code = Code::required;
  std::string message;
};

using IssueList = std::vector<Issue>;

}  // namespace vorn
