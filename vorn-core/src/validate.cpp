#include "validate.hpp"

#include <algorithm>  // std::min
#include <limits>

namespace vorn {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

void append_joined(std::string& out, const auto& items, auto&& text_of) {
  bool first = true;
  for (const auto& item : items) {
    if (!first) {
      out += ", ";
    }
    first = false;
    out += text_of(item);
  }
}

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view p : parts) {
    size += p.size();
  }
  std::string out;
  out.reserve(size);
  for (std::string_view p : parts) {
    out += p;
  }
  return out;
}

std::string dec(Int128 v) {
  return to_decimal(v);
}

std::string udec(std::uint64_t v) {
  return to_decimal(static_cast<Int128>(v));
}

// Room for ordinary sharing (one small dict referenced from every element of a full array)
// while an alias bomb runs out after a bounded amount of work.
std::uint64_t repeat_limit(std::uint64_t max_items, std::uint64_t max_object_keys) {
  return saturating_mul(10, saturating_add(max_items, max_object_keys));
}

}  // namespace

Root resolve_root(const Schema& schema, std::string_view name) {
  Root root;
  root.object = schema.get(name);
  root.union_type = root.object == nullptr ? schema.get_union(name) : nullptr;
  root.name = name;
  return root;
}

WalkState::WalkState(const Schema& schema, const Limits& limits, bool builds)
    : schema_(schema),
      max_depth_(std::min(limits.max_depth, depth_clamp)),
      max_items_(limits.max_items),
      max_string_bytes_(limits.max_string_bytes),
      max_object_keys_(limits.max_object_keys),
      build_(builds),
      repeat_budget_(repeat_limit(limits.max_items, limits.max_object_keys)) {}

WalkState::Visit WalkState::enter_tracked(const void* id, const void* type) {
  for (const Tracked& t : tracked_) {
    if (t.id == id && t.type == type) {
      // The walk would repeat itself until the depth limit: report that limit now.
      depth_exceeded();
      return Visit::Refused;
    }
  }
  bool repeated = false;
  if (first_seen_ == nullptr) {
    first_seen_ = id;
  } else if (first_seen_ == id) {
    repeated = true;
  } else {
    repeated = !seen_.insert(id).second;
  }
  if (repeated) {
    if (repeat_spent_) {
      return Visit::Refused;
    }
    ++repeat_depth_;
  }
  tracked_.push_back(Tracked{id, type});
  return repeated ? Visit::Repeat : Visit::Fresh;
}

void WalkState::leave_tracked(Visit visit) {
  if (visit == Visit::Refused) {
    return;
  }
  tracked_.pop_back();
  if (visit == Visit::Repeat) {
    --repeat_depth_;
  }
}

bool WalkState::charge_repeat() {
  if (repeat_spent_) {
    return false;
  }
  if (repeat_budget_ == 0) {
    repeat_spent_ = true;
    repeat_budget_spent();
    return false;
  }
  --repeat_budget_;
  return true;
}

Path WalkState::current_path() const {
  Path path;
  const std::size_t n = std::min(steps_used_, max_steps);
  path.segments.reserve(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    const Step& s = steps_[i];
    if (s.name != nullptr) {
      path.segments.push_back(Segment{std::string(s.name, s.index), 0, false});
    } else {
      path.segments.push_back(Segment{std::string(), s.index, true});
    }
  }
  return path;
}

void WalkState::push(Code code, std::string&& message) {
  begin_issue();
  issues_.push_back(Issue{current_path(), code, std::move(message)});
}

void WalkState::push_under(std::string_view name, Code code, std::string&& message) {
  begin_issue();
  Path path = current_path();
  path.segments.push_back(Segment{std::string(name), 0, false});
  issues_.push_back(Issue{std::move(path), code, std::move(message)});
}

void WalkState::begin_issue() {
  build_ = false;
  charge_repeated_issue();
  // A payload with one problem often has several; growing one at a time moved every issue
  // recorded so far five times over twenty issues.
  if (issues_.capacity() == 0) {
    issues_.reserve(16);
  }
}

void WalkState::charge_repeated_issue() {
  // An issue found again inside a repeated container costs far more memory than the value
  // it is about (an owned path and message, some 400 bytes): charging it a hundred values
  // keeps an alias bomb of invalid leaves to about a thousand issues instead of a hundred
  // thousand (45 MB measured).
  constexpr std::uint64_t issue_cost = 100;
  if (repeat_depth_ > 0) {
    repeat_budget_ -= std::min(repeat_budget_, issue_cost);
  }
}

void WalkState::depth_exceeded() {
  push(Code::depth_exceeded, "nesting deeper than the limit of " + udec(max_depth_));
}

void WalkState::mismatch(std::string_view expected, Kind found) {
  push(Code::type_mismatch, concat({"expected ", expected, ", found ", found_name(found)}));
}

void WalkState::string_too_large(std::uint64_t bytes) {
  push(Code::size_exceeded,
       concat({udec(bytes), " bytes exceeds the limit of ", udec(max_string_bytes_)}));
}

void WalkState::not_finite() {
  push(Code::not_finite, "NaN and infinity are not valid values");
}

void WalkState::integer_too_wide() {
  push(Code::integer_too_wide, "integer is wider than 64 bits");
}

void WalkState::unsafe_integer() {
  push(Code::unsafe_integer,
       "arrived in a numeric type that cannot hold it exactly;                  send it as the "
       "host's arbitrary-precision integer");
}

void WalkState::int_out_of_range(Int128 v, const Type& type) {
  const unsigned bits = 8u << static_cast<unsigned>(type.width);
  const Int128 lo = type.is_signed ? -(Int128{1} << (bits - 1)) : 0;
  const Int128 hi = type.is_signed ? (Int128{1} << (bits - 1)) - 1 : (Int128{1} << bits) - 1;
  push(Code::out_of_range, concat({dec(v), " is outside the range of ", int_type_name(type), " (",
                                   dec(lo), "..=", dec(hi), ")"}));
}

void WalkState::date_issue(Code code, std::string_view text, bool is_datetime) {
  if (code == Code::missing_timezone) {
    push(code, concat({"`", text, "` has no UTC offset; Vorn does not assume local time"}));
  } else {
    push(code, concat({"`", text, "` is not a valid ", is_datetime ? "datetime" : "date"}));
  }
}

void WalkState::not_in_enum(std::string_view text, const Type& type) {
  std::string message = concat({"`", text, "` is not one of: "});
  append_joined(message, type.values, [](const std::string& v) { return std::string_view(v); });
  push(Code::not_in_enum, std::move(message));
}

void WalkState::too_many_items(std::uint64_t n) {
  push(Code::size_exceeded, concat({udec(n), " items exceeds the limit of ", udec(max_items_)}));
}

void WalkState::too_many_keys(std::uint64_t n) {
  push(Code::size_exceeded,
       concat({udec(n), " keys exceeds the limit of ", udec(max_object_keys_)}));
}

void WalkState::null_element() {
  push(Code::null_not_allowed, "must not be null; declare the element as `T?` to allow it");
}

void WalkState::field_missing(const Field& field) {
  push(Code::required, field.nullable ? "required; may be null but must be present" : "required");
}

void WalkState::field_null(const Field& field) {
  push(Code::null_not_allowed,
       field.optional ? "may be absent, but must not be null when present" : "must not be null");
}

void WalkState::rule_failed(const Rule& rule, Int128 measured) {
  const std::string m = udec(rule.count);
  switch (rule.tag) {
    case Rule::Tag::MinLen:
      push(Code::too_short, concat({"length ", dec(measured), " is below the minimum of ", m}));
      return;
    case Rule::Tag::MaxLen:
      push(Code::too_long, concat({"length ", dec(measured), " exceeds the maximum of ", m}));
      return;
    case Rule::Tag::Range:
      push(Code::out_of_range,
           concat({dec(measured), " is outside ", dec(rule.min), "..=", dec(rule.max)}));
      return;
    case Rule::Tag::MinItems:
      push(Code::too_few_items, concat({dec(measured), " items is below the minimum of ", m}));
      return;
    case Rule::Tag::MaxItems:
      push(Code::too_many_items, concat({dec(measured), " items exceeds the maximum of ", m}));
      return;
    case Rule::Tag::Format:
      push(Code::invalid_format, concat({"not a valid ", format_name(rule.format)}));
      return;
  }
}

void WalkState::unknown_fields(const ObjectType& object, std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    push_under(key, Code::unknown_field,
               concat({"`", object.name, "` declares no field named `", key, "`"}));
  }
}

void WalkState::tag_missing(const UnionType& u) {
  push_under(u.tag, Code::required,
             concat({"`", u.tag, "` decides which variant of `", u.name, "` this is"}));
}

void WalkState::tag_null(const UnionType& u) {
  push_under(u.tag, Code::null_not_allowed, concat({"the tag of `", u.name, "` cannot be null"}));
}

void WalkState::tag_mismatch(const UnionType& u, Kind found) {
  push_under(u.tag, Code::type_mismatch, concat({"expected string, found ", found_name(found)}));
}

void WalkState::unknown_variant(const UnionType& u, std::string_view text) {
  std::string message =
      concat({"`", text, "` is not a variant of `", u.name, "`; expected one of: "});
  append_joined(message, u.variants, [](const Variant& v) { return std::string_view(v.tag); });
  push_under(u.tag, Code::unknown_variant, std::move(message));
}

void WalkState::unknown_type(std::string_view name) {
  push(Code::unknown_type, concat({"schema declares no type named `", name, "`"}));
}

void WalkState::repeat_budget_spent() {
  push(Code::size_exceeded, "shared containers repeat more than " +
                                udec(repeat_limit(max_items_, max_object_keys_)) +
                                " values; the payload unfolds too large");
}

}  // namespace vorn
