// The validation walk: one payload value against one schema type, through any Input,
// recording every problem. Hot code lives here so that each adapter's operations inline;
// every message is formatted out of line (validate.cpp), and only when an issue is recorded.
#pragma once

#include <array>
#include <cmath>  // std::isfinite
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "datetime.hpp"
#include "error.hpp"
#include "format.hpp"
#include "input.hpp"
#include "schema.hpp"

namespace vorn {

/// The state of one validation walk. Made by `validate`; never reused.
class Validator {
 public:
  Validator(const Schema& schema, const Limits& limits);

  /// Checks one value against one type expression at the given depth.
  template <Input In>
  void value(const Type& type, const In& in, std::uint64_t depth);

  /// Checks an object against an object type; `exempt`, when not null, names a member (a
  /// union's tag, borrowed from the schema) that is not reported as undeclared.
  // A pointer rather than an optional view (here and for the output builder's tag): the
  // optional went through memory, and its one-byte store read back as a word stalled every
  // nested object's call (benchmark Python accept 5.79 -> 5.62 us, JSON 7.62 -> 7.45 us).
  /// `hint` is where the member lookups start: a union passes its place after the tag (its
  /// list of 30 union objects in bench/roads.py, JSON road: 7.50 -> 7.37 us).
  template <Input In>
  void object_with(const ObjectType& object, const In& in, std::uint64_t depth,
                   const std::string* exempt, SlotHint hint = {});

  /// Chooses a union's variant by its tag member and checks the object against it.
  template <Input In>
  void union_(const UnionType& u, const In& in, std::uint64_t depth);

  /// Records unknown_type for `name` at the current path.
  [[gnu::cold]] void unknown_type(std::string_view name);

  /// The issues recorded so far, in recording order.
  IssueList take_issues() { return std::move(issues_); }

 private:
  // One step of the current path: a borrowed member name (from the schema, which outlives
  // the walk), or an index when `name` is null.
  struct Step {
    const std::string* name;
    std::uint64_t index;
  };
  // Every container level pushes at most one step, and containers stop at the depth clamp,
  // so the walk needs the clamp plus one step for a scalar member of the deepest container.
  static constexpr std::size_t max_steps = depth_clamp + 2;

  // How a container is entered, for payloads that share containers or contain themselves.
  // Untracked: nothing to undo; Fresh: a tracked container met for the first time; Repeat: a
  // tracked container met again, whose values are charged to the repeat budget; Refused: a
  // cycle or a spent budget, not to be entered.
  enum class Entry : std::uint8_t { Untracked, Fresh, Repeat, Refused };

  void push_step(const std::string* name, std::uint64_t index) {
    if (steps_used_ < max_steps) {
      steps_[steps_used_] = Step{name, index};
    }
    ++steps_used_;
  }
  void pop_step() {
    if (steps_used_ > 0) {
      --steps_used_;
    }
  }

  bool depth_ok(std::uint64_t depth) {
    if (depth > max_depth_) [[unlikely]] {
      depth_exceeded();
      return false;
    }
    return true;
  }

  template <Input In>
  Entry enter(const In& in, const void* type);
  void leave(Entry entry) {
    if (entry != Entry::Untracked) [[unlikely]] {
      leave_tracked(entry);
    }
  }
  Entry enter_tracked(const void* id, const void* type);
  void leave_tracked(Entry entry);
  bool charge_repeat();
  void charge_repeated_issue();

  template <Input In>
  void int_value(const Type& type, const In& in);
  // Date, DateTime and Enum: the types that read the text itself.
  template <Input In>
  void text_value(const Type& type, const In& in, Kind kind);
  template <Input In>
  void array(const Type& type, const In& in, std::uint64_t depth);
  template <Input In>
  void rules(const Field& field, const In& in);

  Path current_path() const;

  // Recorders: out of line and cold, so a conforming payload never formats anything.
  [[gnu::cold]] void push(Code code, std::string&& message);
  [[gnu::cold]] void push_under(std::string_view name, Code code, std::string&& message);
  [[gnu::cold]] void depth_exceeded();
  [[gnu::cold]] void mismatch(std::string_view expected, Kind found);
  [[gnu::cold]] void string_too_large(std::uint64_t bytes);
  [[gnu::cold]] void not_finite();
  [[gnu::cold]] void integer_too_wide();
  [[gnu::cold]] void unsafe_integer();
  [[gnu::cold]] void int_out_of_range(Int128 v, const Type& type);
  [[gnu::cold]] void date_issue(Code code, std::string_view text, bool is_datetime);
  [[gnu::cold]] void not_in_enum(std::string_view text, const Type& type);
  [[gnu::cold]] void too_many_items(std::uint64_t n);
  [[gnu::cold]] void too_many_keys(std::uint64_t n);
  [[gnu::cold]] void null_element();
  [[gnu::cold]] void field_missing(const Field& field);
  [[gnu::cold]] void field_null(const Field& field);
  [[gnu::cold]] void rule_failed(const Rule& rule, Int128 measured);
  [[gnu::cold]] void unknown_fields(const ObjectType& object, std::vector<std::string>& keys);
  [[gnu::cold]] void tag_missing(const UnionType& u);
  [[gnu::cold]] void tag_null(const UnionType& u);
  [[gnu::cold]] void tag_mismatch(const UnionType& u, Kind found);
  [[gnu::cold]] void unknown_variant(const UnionType& u, std::string_view text);
  [[gnu::cold]] void repeat_budget_spent();

  const Schema& schema_;
  std::uint64_t max_depth_;
  std::uint64_t max_items_;
  std::uint64_t max_string_bytes_;
  std::uint64_t max_object_keys_;
  IssueList issues_;
  std::array<Step, max_steps> steps_;
  std::size_t steps_used_ = 0;

  // Shared and cyclic payloads (only adapters whose values can be shared report an
  // identity, so a JSON walk never touches any of this). `tracked_` holds the tracked
  // containers on the current path with the type each was entered under; `seen_` every
  // tracked container entered so far. Values examined inside a container entered for the
  // second time are charged to `repeat_budget_`, so an alias bomb cannot unfold.
  struct Tracked {
    const void* id;
    const void* type;
  };
  std::vector<Tracked> tracked_;
  const void* first_seen_ = nullptr;
  std::unordered_set<const void*> seen_;
  std::uint64_t repeat_depth_ = 0;
  std::uint64_t repeat_budget_;
  bool repeat_spent_ = false;
};

/// Validates `root` against the named type. Empty when the payload conforms; otherwise every
/// issue in depth-first order.
template <Input In>
IssueList validate(const Schema& schema, std::string_view type_name, const In& root,
                   const Limits& limits) {
  Validator v(schema, limits);
  if (const ObjectType* object = schema.get(type_name)) {
    v.object_with(*object, root, 0, nullptr);
  } else if (const UnionType* u = schema.get_union(type_name)) {
    v.union_(*u, root, 0);
  } else {
    v.unknown_type(type_name);
  }
  return v.take_issues();
}

/// The object type whose output a successful run builds, and the tag member it carries.
struct Target {
  const ObjectType* object = nullptr;
  const std::string* tag = nullptr;  // the union's tag name, borrowed from the schema
};

/// Finds the output target for a declared name: the object type itself, or the variant a
/// union's tag selects. Empty when there is none.
template <Input In>
std::optional<Target> shape(const ObjectType* object, const UnionType* u, const In& in) {
  if (object != nullptr) {
    return Target{object, nullptr};
  }
  if (u == nullptr) {
    return std::nullopt;
  }
  SlotHint hint;
  Slot<In> tag = in.slot(MemberName{u->tag, no_key_id}, hint);
  if (tag.state != SlotState::Present) {
    return std::nullopt;
  }
  std::optional<Text> text = tag.value->as_str();
  if (!text) {
    return std::nullopt;
  }
  const Variant* variant = u->variant(text->view());
  if (variant == nullptr || variant->object == nullptr) {
    return std::nullopt;
  }
  return Target{variant->object, &u->tag};
}

// ---- implementation -------------------------------------------------------------------

template <Input In>
Validator::Entry Validator::enter(const In& in, const void* type) {
  const void* id = in.identity();
  if (id == nullptr) [[likely]] {
    return Entry::Untracked;
  }
  return enter_tracked(id, type);
}

template <Input In>
void Validator::value(const Type& type, const In& in, std::uint64_t depth) {
  if (repeat_depth_ > 0 && !charge_repeat()) {
    return;
  }
  const Kind kind = in.kind();
  if (type.tag == Type::Tag::Date || type.tag == Type::Tag::DateTime ||
      type.tag == Type::Tag::Enum) {
    text_value(type, in, kind);
    return;
  }
  // The other types need only the byte length, which an unescaped JSON string has at hand
  // without building a Text (validation of the benchmark payload 1.84 -> 1.65 us).
  if (kind == Kind::Str) {
    if (std::optional<std::uint64_t> size = in.str_size(); size && *size > max_string_bytes_) {
      string_too_large(*size);
      return;
    }
  }
  switch (type.tag) {
    case Type::Tag::Bool:
      if (!in.as_bool()) {
        mismatch("bool", kind);
      }
      return;
    case Type::Tag::Int:
      int_value(type, in);
      return;
    case Type::Tag::Float:
      if (kind == Kind::Integer) {
        return;
      }
      if (kind == Kind::Float) {
        std::optional<double> f = in.as_f64();
        if (!f || !std::isfinite(*f)) {
          not_finite();
        }
        return;
      }
      mismatch("float", kind);
      return;
    case Type::Tag::String:
      if (kind != Kind::Str) {
        mismatch("string", kind);
      }
      return;
    case Type::Tag::Array:
      array(type, in, depth);
      return;
    case Type::Tag::Ref:
      if (type.ref_object != nullptr) {
        object_with(*type.ref_object, in, depth, nullptr);
      } else if (type.ref_union != nullptr) {
        union_(*type.ref_union, in, depth);
      } else if (const ObjectType* o = schema_.get(type.name)) {
        object_with(*o, in, depth, nullptr);
      } else if (const UnionType* u = schema_.get_union(type.name)) {
        union_(*u, in, depth);
      } else {
        unknown_type(type.name);
      }
      return;
    case Type::Tag::Date:
    case Type::Tag::DateTime:
    case Type::Tag::Enum:
      return;  // handled by text_value above
  }
}

template <Input In>
void Validator::text_value(const Type& type, const In& in, Kind kind) {
  std::optional<Text> text;
  if (kind == Kind::Str) {
    text = in.as_str();
    if (text && text->view().size() > max_string_bytes_) {
      string_too_large(text->view().size());
      return;
    }
  }
  if (type.tag == Type::Tag::Enum) {
    if (!text) {
      mismatch("string", kind);
      return;
    }
    for (const std::string& v : type.values) {
      if (v == text->view()) {
        return;
      }
    }
    not_in_enum(text->view(), type);
    return;
  }
  const bool is_datetime = type.tag == Type::Tag::DateTime;
  if (!text) {
    mismatch(is_datetime ? "datetime" : "date", kind);
    return;
  }
  std::optional<Code> bad =
      is_datetime ? validate_datetime(text->view()) : validate_date(text->view());
  if (bad) {
    date_issue(*bad, text->view(), is_datetime);
  }
}

template <Input In>
void Validator::int_value(const Type& type, const In& in) {
  const Kind kind = in.kind();
  if (kind == Kind::WideInteger) {
    integer_too_wide();
    return;
  }
  if (kind == Kind::InexactInteger) {
    unsafe_integer();
    return;
  }
  std::optional<IntValue> iv = in.as_int();
  if (!iv) {
    mismatch(int_type_name(type), kind);
    return;
  }
  const Int128 v = iv->widen();
  const unsigned bits = 8u << static_cast<unsigned>(type.width);
  Int128 lo = 0;
  Int128 hi = 0;
  if (type.is_signed) {
    lo = -(Int128{1} << (bits - 1));
    hi = (Int128{1} << (bits - 1)) - 1;
  } else {
    hi = (Int128{1} << bits) - 1;
  }
  if (v < lo || v > hi) {
    int_out_of_range(v, type);
  }
}

template <Input In>
void Validator::array(const Type& type, const In& in, std::uint64_t depth) {
  if (!depth_ok(depth)) {
    return;
  }
  const Entry entry = enter(in, &type);
  if (entry == Entry::Refused) {
    return;
  }
  const Kind kind = in.kind();
  if (kind != Kind::Array) {
    mismatch("array", kind);
  } else if (const std::uint64_t n = in.len(); n > max_items_) {
    too_many_items(n);
  } else {
    const Type& item_type = *type.item;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::optional<In> element = in.item(i);
      if (!element) {
        continue;
      }
      push_step(nullptr, i);
      if (element->kind() == Kind::Null) {
        if (!type.item_nullable) {
          null_element();
        }
      } else {
        value(item_type, *element, depth + 1);
      }
      pop_step();
    }
  }
  leave(entry);
}

template <Input In>
void Validator::object_with(const ObjectType& object, const In& in, std::uint64_t depth,
                            const std::string* exempt, SlotHint hint) {
  if (!depth_ok(depth)) {
    return;
  }
  // A union has already entered this very object under its own type.
  const Entry entry = exempt != nullptr ? Entry::Untracked : enter(in, &object);
  if (entry == Entry::Refused) {
    return;
  }
  const Kind kind = in.kind();
  if (kind != Kind::Object) {
    mismatch("object", kind);
    leave(entry);
    return;
  }
  const std::uint64_t n = in.len();
  if (n > max_object_keys_) {
    too_many_keys(n);
    leave(entry);
    return;
  }
  std::uint64_t present = exempt != nullptr ? 1 : 0;
  for (const Field& field : object.fields) {
    Slot<In> slot = in.slot(MemberName{field.name, field.key_id}, hint);
    push_step(&field.name, 0);
    switch (slot.state) {
      case SlotState::Missing:
        if (!field.optional) {
          field_missing(field);
        }
        break;
      case SlotState::Null:
        ++present;
        if (!field.nullable) {
          field_null(field);
        }
        break;
      case SlotState::Present:
        ++present;
        value(field.type, *slot.value, depth + 1);
        if (!field.rules.empty()) {
          rules(field, *slot.value);
        }
        break;
    }
    pop_step();
  }
  // Each declared field found names a distinct member, so when they account for every
  // member there is nothing undeclared to look for.
  if (object.deny_unknown_fields && present != n) {
    std::vector<std::string> unknown;
    in.each_key([&](std::string_view key) {
      if (object.field(key) == nullptr && !(exempt != nullptr && *exempt == key)) {
        unknown.emplace_back(key);
      }
    });
    if (!unknown.empty()) {
      unknown_fields(object, unknown);
    }
  }
  leave(entry);
}

template <Input In>
void Validator::rules(const Field& field, const In& in) {
  std::optional<std::uint64_t> length;
  for (const Rule& rule : field.rules) {
    if (rule.tag == Rule::Tag::MinLen || rule.tag == Rule::Tag::MaxLen) {
      if (std::optional<Text> text = in.as_str()) {
        std::uint64_t count = 0;
        for (char c : text->view()) {
          // Count scalar values: every byte that does not continue a sequence starts one.
          count += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1u : 0u;
        }
        length = count;
      }
      break;
    }
  }
  for (const Rule& rule : field.rules) {
    switch (rule.tag) {
      case Rule::Tag::MinLen:
        if (length && *length < rule.count) {
          rule_failed(rule, static_cast<Int128>(*length));
        }
        break;
      case Rule::Tag::MaxLen:
        if (length && *length > rule.count) {
          rule_failed(rule, static_cast<Int128>(*length));
        }
        break;
      case Rule::Tag::Range:
        if (std::optional<IntValue> iv = in.as_int()) {
          const Int128 w = iv->widen();
          if (w < rule.min || w > rule.max) {
            rule_failed(rule, w);
          }
        }
        break;
      case Rule::Tag::MinItems:
      case Rule::Tag::MaxItems:
        if (in.kind() == Kind::Array) {
          const std::uint64_t count = in.len();
          if (rule.tag == Rule::Tag::MinItems ? count < rule.count : count > rule.count) {
            rule_failed(rule, static_cast<Int128>(count));
          }
        }
        break;
      case Rule::Tag::Format:
        if (std::optional<Text> text = in.as_str()) {
          if (!format_matches(rule.format, text->view())) {
            rule_failed(rule, 0);
          }
        }
        break;
    }
  }
}

template <Input In>
void Validator::union_(const UnionType& u, const In& in, std::uint64_t depth) {
  if (!depth_ok(depth)) {
    return;
  }
  const Entry entry = enter(in, &u);
  if (entry == Entry::Refused) {
    return;
  }
  const Kind kind = in.kind();
  if (kind != Kind::Object) {
    mismatch("object", kind);
    leave(entry);
    return;
  }
  SlotHint hint;
  Slot<In> tag = in.slot(MemberName{u.tag, no_key_id}, hint);
  const Variant* variant = nullptr;
  if (tag.state == SlotState::Missing) {
    tag_missing(u);
  } else if (tag.state == SlotState::Null) {
    tag_null(u);
  } else if (const Kind tag_kind = tag.value->kind(); tag_kind != Kind::Str) {
    tag_mismatch(u, tag_kind);
  } else if (std::optional<Text> text = tag.value->as_str()) {
    variant = u.variant(text->view());
    if (variant == nullptr) {
      unknown_variant(u, text->view());
    }
  } else {
    // The adapter could not produce the exact text (a lone surrogate, a failing isoformat):
    // no variant can match it, so say which text was seen rather than stay silent.
    unknown_variant(u, tag.value->as_str_lossy());
  }
  if (variant != nullptr) {
    const ObjectType* object =
        variant->object != nullptr ? variant->object : schema_.get(variant->type_name);
    if (object == nullptr) {
      unknown_type(variant->type_name);
    } else {
      object_with(*object, in, depth, &u.tag, hint);
    }
  }
  leave(entry);
}

}  // namespace vorn
