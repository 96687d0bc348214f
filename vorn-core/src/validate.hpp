// The validation walk: one payload value against one schema type, through any Input,
// recording every problem and, through an output policy, building the result in the same
// pass. Hot code lives here so that each adapter's and each policy's operations inline; every
// message is formatted out of line (validate.cpp), and only when an issue is recorded.
//
// An output policy `Out` has a `Value` type (empty when nothing was built) and a constexpr
// `builds`. A policy that builds answers, for each adapter `In` it serves:
//   Value none()                               the result's null
//   Value scalar(const In&)                    a checked bool, integer or float
//   Value string(const In&, TextOnce<In>&)     a checked string
//   Value enum_value(const In&, const std::string& value)
//   Value date(const In&, std::string_view text, bool is_datetime)
//   Value tag_value(const In& tag, const Variant&)
//   bool keeps(const In&, const Type& array)   the array itself is the result (the payload's
//                                              own, read without running payload code), so its
//                                              elements are only checked
//   Value same(const In&)                      the payload's own value, for a kept array
//   Value list(std::uint64_t n); bool set_item(Value& list, std::uint64_t i, Value&&)
//   Value dict(); bool set_field(Value&, const Field&, Value&&)
//   bool prefills(const ObjectType&, std::uint64_t members)
//                                              whether dict(object) comes back holding every
//                                              declared key, for a payload of that many members
//   Value dict(const ObjectType&)              a result for the type, prefilled when it says so
//   bool leave_out(Value&, const Field&)       an absent field's key taken out of a prefilled one
//   bool set_member(Value& dict, const Key&, Value&&)   a map's or a Json object's member,
//                                              under the key as a plain str
//   bool set_tag(Value&, const UnionType&, Value&&)
//   void unreadable(const In& array, std::uint64_t i)   an element the adapter could not read
//   bool counted(const In& array)              asked of an array whose len() answered 0: false
//                                              when that 0 stands for a length the adapter
//                                              could not read, the failure then kept
//   void failed_at(Path&&)                     where the first failed build happened
// Every Value-returning call gives an empty Value, and every bool call false, when it fails; the
// policy keeps the failure, and the walk stops building and goes on checking.
#pragma once

#include <array>
#include <cmath>  // std::isfinite
#include <cstdint>
#include <memory>  // std::construct_at
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>  // std::move
#include <vector>

#include "datetime.hpp"
#include "error.hpp"
#include "format.hpp"
#include "input.hpp"
#include "schema.hpp"
#include "unicode.hpp"  // count_scalars

namespace vorn {

/// The output policy of walks that only check: nothing is built, and the compiler drops every
/// builder call.
struct CheckOnly {
  struct Value {
    explicit operator bool() const { return false; }
  };
  static constexpr bool builds = false;
};

/// A present value's text, asked of the adapter at most once and shared by the type check,
/// the field's rules and the builder: for a date object it is the result of its isoformat(),
/// whose code then runs once however many rules read the text.
template <Input In>
class TextOnce {
 public:
  explicit TextOnce(const In& in) : in_(in) {}
  // Forced, as everything a checked value runs through: GCC 12 outlined it once the map and
  // Json walks became callers.
  [[gnu::always_inline]] const std::optional<Text>& get() {
    if (!asked_) {
      // Built in place: assigning the returned optional went through an outlined move.
      std::construct_at(&text_, in_.as_str());
      asked_ = true;
    }
    return text_;
  }
  bool asked() const { return asked_; }

  /// The text that sizes, lengths and formats are measured on: the exact text, or for a
  /// string whose exact text cannot be produced (a str holding a lone surrogate) its text
  /// with each unencodable part replaced by U+FFFD, which keeps its length in characters
  /// and in bytes; such a string would otherwise slip past every limit and rule. None for
  /// values that are no strings.
  [[gnu::always_inline]] std::optional<std::string_view> measured() {
    if (const std::optional<Text>& t = get()) [[likely]] {
      return t->view();
    }
    return measured_lossy();
  }

 private:
  [[gnu::cold]] std::optional<std::string_view> measured_lossy() {
    if (in_.kind() != Kind::Str) {
      return std::nullopt;
    }
    if (!lossy_) {
      lossy_ = in_.as_str_lossy();
    }
    if (lossy_->empty()) {
      return std::nullopt;  // the adapter has no text at all (a failing isoformat)
    }
    return std::string_view(*lossy_);
  }

  const In& in_;
  std::optional<Text> text_;
  std::optional<std::string> lossy_;
  bool asked_ = false;
};

/// The declaration a walk starts from, resolved once (a validator resolves it when bound).
struct Root {
  const ObjectType* object = nullptr;  // at most one of these is set
  const UnionType* union_type = nullptr;
  std::string_view name;  // borrowed from whoever resolved it
};

/// Resolves a declared name; a Root with neither pointer set when the schema lacks it.
Root resolve_root(const Schema& schema, std::string_view name);

/// The part of a walk that does not depend on the input or the output: limits, the path,
/// the issues, the tracking of shared containers, and the recorders. Kept out of the template
/// so each recorder exists once, cold and out of line.
class WalkState {
 public:
  WalkState(const Schema& schema, const Limits& limits, bool builds);

  /// Records unknown_type for `name` at the current path.
  [[gnu::cold]] void unknown_type(std::string_view name);

  /// The issues recorded so far, in recording order.
  IssueList take_issues() { return std::move(issues_); }

 protected:
  // One step of the current path: a borrowed member name, or an index when `name` is null.
  // Names come from the schema, which outlives the walk, or from the payload, for map and
  // Json keys, whose steps are popped before the key's text goes.
  struct Step {
    const char* name;
    std::uint64_t index;  // the name's length, for a name
  };
  // Every container level pushes at most one step, and containers stop at the depth clamp,
  // so the walk needs the clamp plus one step for a scalar member of the deepest container.
  static constexpr std::size_t max_steps = depth_clamp + 2;

  // How a container is entered, for payloads that share containers or contain themselves.
  // Untracked: nothing to undo; Fresh: a tracked container met for the first time; Repeat: a
  // tracked container met again, whose values are charged to the repeat budget; Refused: a
  // cycle or a spent budget, not to be entered.
  enum class Visit : std::uint8_t { Untracked, Fresh, Repeat, Refused };

  void push_step(const std::string* name, std::uint64_t index) {
    if (name != nullptr) {
      push_key(*name);
      return;
    }
    if (steps_used_ < max_steps) {
      steps_[steps_used_] = Step{nullptr, index};
    }
    ++steps_used_;
  }
  void push_key(std::string_view name) {
    if (steps_used_ < max_steps) {
      // A view of empty text may have no data; the step must still read as a name.
      steps_[steps_used_] = Step{name.data() != nullptr ? name.data() : "", name.size()};
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
  Visit enter(const In& in, const void* type) {
    const void* id = in.identity();
    if (id == nullptr) [[likely]] {
      return Visit::Untracked;
    }
    return enter_tracked(id, type);
  }
  void leave(Visit visit) {
    if (visit != Visit::Untracked) [[unlikely]] {
      leave_tracked(visit);
    }
  }
  Visit enter_tracked(const void* id, const void* type);
  void leave_tracked(Visit visit);
  bool charge_repeat();
  void begin_issue();
  void charge_repeated_issue();

  /// Whether the integer is inside its type's range; records the issue when not.
  bool int_in_range(IntValue iv, const Type& type) {
    const Int128 v = iv.widen();
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
      return false;
    }
    return true;
  }

  Path current_path() const;

  // Recorders: out of line and cold, so a conforming payload never formats anything. Each
  // one also ends building: a result is returned only when no issue was found.
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
  // Whether values met now go into the result: true from the start when the policy builds,
  // false for good after the first issue or failed build, and false inside an array that is
  // itself the result.
  bool build_;
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

/// The state of one walk that checks a payload and, while it finds no issue, builds the
/// result through `Out`. Made by `walk`; never reused.
template <class Out>
class Validator : public WalkState {
 public:
  using Value = typename Out::Value;

  Validator(const Schema& schema, const Limits& limits, Out& out)
      : WalkState(schema, limits, Out::builds), out_(out) {}

  /// Checks one value against one type expression at the given depth; `text` is the value's
  /// own text reader, shared with the caller's rules.
  template <Input In>
  Value value(const Type& type, const In& in, std::uint64_t depth, TextOnce<In>& text);

  /// A union's part in an object it checks: the union, its chosen variant and the tag member.
  template <Input In>
  struct Tagged {
    const UnionType& u;
    const Variant& variant;
    const In& tag;
  };

  /// Checks an object against an object type. `tagged`, when not null, is the union that
  /// chose this type: its tag is not reported as undeclared and leads the result.
  // A pointer rather than an optional: the optional went through memory, and its one-byte
  // store read back as a word stalled every nested object's call (benchmark Python accept
  // 5.79 -> 5.62 us, JSON 7.62 -> 7.45 us).
  /// `hint` is where the member lookups start: a union passes its place after the tag (its
  /// list of 30 union objects in the benchmark, JSON road: 7.50 -> 7.37 us).
  template <Input In>
  Value object_with(const ObjectType& object, const In& in, std::uint64_t depth,
                    const Tagged<In>* tagged, SlotHint hint = {});
  template <Input In>
  Value tagged_result(const Tagged<In>& tagged);
  template <Input In>
  Value object_held(const ObjectType& object, const In& in, std::uint64_t depth, std::uint64_t n,
                    SlotHint hint);
  template <Input In>
  Value field_value(const Field& field, const Slot<In>& slot, std::uint64_t depth);
  template <Input In>
  void undeclared_members(const ObjectType& object, const In& in, const Tagged<In>* tagged);

  /// Chooses a union's variant by its tag member and checks the object against it.
  template <Input In>
  Value union_(const UnionType& u, const In& in, std::uint64_t depth);

  /// Checks the root; the result is empty when nothing was built.
  template <Input In>
  Value root(const Root& root, const In& in);

 private:
  bool building() const {
    if constexpr (Out::builds) {
      return build_;
    } else {
      return false;
    }
  }
  // Hands a built value on; an empty one means the build failed, which ends building.
  Value built(Value&& v) {
    if (!v) [[unlikely]] {
      build_failed();
    }
    return std::move(v);
  }
  void stored(bool ok) {
    if (!ok) [[unlikely]] {
      build_failed();
    }
  }
  [[gnu::cold]] void build_failed() {
    if constexpr (Out::builds) {
      build_ = false;
      out_.failed_at(current_path());
    }
  }

  // scalar and string_fits run for nearly every value; GCC 12 outlined both once the map and
  // Json walks became callers (union and drawing on the Python road, +3% instructions).
  template <Input In>
  [[gnu::always_inline]] Value scalar(const In& in) {
    if constexpr (Out::builds) {
      if (building()) {
        return built(out_.scalar(in));
      }
    }
    return Value{};
  }
  template <Input In>
  bool string_fits(const In& in, TextOnce<In>& text);
  template <Input In>
  [[gnu::cold]] std::optional<std::uint64_t> measured_size(TextOnce<In>& text);
  template <Input In>
  Value text_value(const Type& type, const In& in, Kind kind, TextOnce<In>& text);
  template <Input In>
  bool int_value(const Type& type, const In& in, Kind kind);
  template <Input In>
  Value array(const Type& type, const In& in, std::uint64_t depth);
  template <Input In>
  Value ref(const Type& type, const In& in, std::uint64_t depth);
  template <Input In>
  void rules(const Field& field, const In& in, TextOnce<In>& text);
  template <Input In>
  Value map(const Type& type, const In& in, std::uint64_t depth);
  template <Input In>
  Value json(const Type& type, const In& in, std::uint64_t depth, TextOnce<In>& text);
  template <Input In>
  Value json_array(const Type& type, const In& in, std::uint64_t depth);
  template <Input In>
  Value members(const Type& type, const In& in, std::uint64_t depth, const Type* key_enum,
                const Type& value_type, bool value_nullable);
  template <class Key>
  void check_key(const Key& key, const Type* key_enum);
  template <Input In>
  void map_rules(const Field& field, const In& in);

  Out& out_;
};

/// Whether a field has a rule that reads its value's text. Inline: a call for every field
/// with rules cost the order 0.7% of its instructions on the bytes road.
inline bool reads_text(const Field& field) {
  if (field.type.tag == Type::Tag::Map || field.type.tag == Type::Tag::Json) {
    return false;  // no text rule applies to either
  }
  for (const Rule& rule : field.rules) {
    if (rule.tag == Rule::Tag::MinLen || rule.tag == Rule::Tag::MaxLen ||
        rule.tag == Rule::Tag::Format) {
      return true;
    }
  }
  return false;
}

/// Checks `in` against the root declaration and, while no issue is found, builds the result
/// through `out`. The issues go to `issues` (empty when the payload conforms); the result is
/// empty when an issue was found or the build failed (the policy says which).
template <class Out, Input In>
typename Out::Value walk(const Schema& schema, const Root& root, const In& in, const Limits& limits,
                         Out& out, IssueList& issues) {
  Validator<Out> v(schema, limits, out);
  typename Out::Value result = v.root(root, in);
  issues = v.take_issues();
  return result;
}

/// Validates `root` against the named type without building anything. Empty when the payload
/// conforms; otherwise every issue in depth-first order.
template <Input In>
IssueList validate(const Schema& schema, std::string_view type_name, const In& root,
                   const Limits& limits) {
  CheckOnly out;
  IssueList issues;
  walk(schema, resolve_root(schema, type_name), root, limits, out, issues);
  return issues;
}

// ---- implementation -------------------------------------------------------------------

template <class Out>
template <Input In>
auto Validator<Out>::root(const Root& r, const In& in) -> Value {
  if (r.object != nullptr) {
    return object_with(*r.object, in, 0, static_cast<const Tagged<In>*>(nullptr));
  }
  if (r.union_type != nullptr) {
    return union_(*r.union_type, in, 0);
  }
  unknown_type(r.name);
  return Value{};
}

template <class Out>
template <Input In>
auto Validator<Out>::value(const Type& type, const In& in, std::uint64_t depth, TextOnce<In>& text)
    -> Value {
  if (repeat_depth_ > 0 && !charge_repeat()) {
    return Value{};
  }
  if (type.tag == Type::Tag::Json) {
    return json(type, in, depth, text);  // reads a date object as no JSON, before its text
  }
  const Kind kind = in.kind();
  if (type.tag == Type::Tag::Date || type.tag == Type::Tag::DateTime ||
      type.tag == Type::Tag::Enum) {
    return text_value(type, in, kind, text);
  }
  if (kind == Kind::Str && !string_fits(in, text)) {
    return Value{};
  }
  switch (type.tag) {
    case Type::Tag::Bool:
      if (!in.as_bool()) {
        mismatch("bool", kind);
        return Value{};
      }
      return scalar(in);
    case Type::Tag::Int:
      if (!int_value(type, in, kind)) {
        return Value{};
      }
      return scalar(in);
    case Type::Tag::Float:
      if (kind == Kind::Integer) {
        return scalar(in);
      }
      if (kind == Kind::Float) {
        std::optional<double> f = in.as_f64();
        if (!f || !std::isfinite(*f)) {
          not_finite();
          return Value{};
        }
        return scalar(in);
      }
      mismatch("float", kind);
      return Value{};
    case Type::Tag::String:
      if (kind != Kind::Str) {
        mismatch("string", kind);
        return Value{};
      }
      if constexpr (Out::builds) {
        if (building()) {
          return built(out_.string(in, text));
        }
      }
      return Value{};
    case Type::Tag::Array:
      return array(type, in, depth);
    case Type::Tag::Ref:
      return ref(type, in, depth);
    case Type::Tag::Map:
      return map(type, in, depth);
    case Type::Tag::Date:
    case Type::Tag::DateTime:
    case Type::Tag::Enum:
    case Type::Tag::Json:
      break;  // handled above
  }
  return Value{};
}

// The other types need only the byte length, which an unescaped JSON string has at hand
// without building a Text (validation of the benchmark payload 1.84 -> 1.65 us), unless the
// field's rules have read the text already.
template <class Out>
template <Input In>
[[gnu::always_inline]] inline bool Validator<Out>::string_fits(const In& in, TextOnce<In>& text) {
  std::optional<std::uint64_t> size;
  if (text.asked()) {
    if (const std::optional<Text>& t = text.get()) {
      size = t->view().size();
    }
  } else {
    size = in.str_size();
  }
  if (!size) [[unlikely]] {
    size = measured_size(text);
  }
  if (size && *size > max_string_bytes_) {
    string_too_large(*size);
    return false;
  }
  return true;
}

template <class Out>
template <Input In>
std::optional<std::uint64_t> Validator<Out>::measured_size(TextOnce<In>& text) {
  if (std::optional<std::string_view> m = text.measured()) {
    return m->size();
  }
  return std::nullopt;
}

template <class Out>
template <Input In>
auto Validator<Out>::ref(const Type& type, const In& in, std::uint64_t depth) -> Value {
  const ObjectType* object = type.ref_object;
  const UnionType* u = type.ref_union;
  if (object == nullptr && u == nullptr) {
    // Only a schema built by hand gets here: a parsed one resolves every reference.
    object = schema_.get(type.name);
    u = object == nullptr ? schema_.get_union(type.name) : nullptr;
  }
  if (object != nullptr) {
    return object_with(*object, in, depth, static_cast<const Tagged<In>*>(nullptr));
  }
  if (u != nullptr) {
    return union_(*u, in, depth);
  }
  unknown_type(type.name);
  return Value{};
}

template <class Out>
template <Input In>
auto Validator<Out>::text_value(const Type& type, const In& in, Kind kind, TextOnce<In>& text)
    -> Value {
  const std::optional<Text>* t = nullptr;
  if (kind == Kind::Str) {
    t = &text.get();
    if (*t && (*t)->view().size() > max_string_bytes_) {
      string_too_large((*t)->view().size());
      return Value{};
    }
  }
  const bool has_text = t != nullptr && t->has_value();
  if (type.tag == Type::Tag::Enum) {
    if (!has_text) {
      mismatch("string", kind);
      return Value{};
    }
    const std::string_view s = (*t)->view();
    for (const std::string& v : type.values) {
      if (v == s) {
        if constexpr (Out::builds) {
          if (building()) {
            return built(out_.enum_value(in, v));
          }
        }
        return Value{};
      }
    }
    not_in_enum(s, type);
    return Value{};
  }
  const bool is_datetime = type.tag == Type::Tag::DateTime;
  if (!has_text) {
    mismatch(is_datetime ? "datetime" : "date", kind);
    return Value{};
  }
  const std::string_view s = (*t)->view();
  if (std::optional<Code> bad = is_datetime ? validate_datetime(s) : validate_date(s)) {
    date_issue(*bad, s, is_datetime);
    return Value{};
  }
  if constexpr (Out::builds) {
    if (building()) {
      return built(out_.date(in, s, is_datetime));
    }
  }
  return Value{};
}

template <class Out>
template <Input In>
bool Validator<Out>::int_value(const Type& type, const In& in, Kind kind) {
  if (kind == Kind::WideInteger) {
    integer_too_wide();
    return false;
  }
  if (kind == Kind::InexactInteger) {
    unsafe_integer();
    return false;
  }
  std::optional<IntValue> iv = in.as_int();
  if (!iv) {
    mismatch(int_type_name(type), kind);
    return false;
  }
  return int_in_range(*iv, type);
}

template <class Out>
template <Input In>
auto Validator<Out>::array(const Type& type, const In& in, std::uint64_t depth) -> Value {
  if (!depth_ok(depth)) {
    return Value{};
  }
  const Visit visit = enter(in, &type);
  if (visit == Visit::Refused) {
    return Value{};
  }
  Value result{};
  const Kind kind = in.kind();
  if (kind != Kind::Array) {
    mismatch("array", kind);
  } else if (const std::uint64_t n = in.len(); n > max_items_) {
    too_many_items(n);
  } else {
    // An array whose elements need no conversion is itself the result: its elements are
    // checked and nothing is built inside it.
    bool kept = false;
    if constexpr (Out::builds) {
      if (building()) {
        if (n == 0 && !out_.counted(in)) {
          build_failed();  // a result cannot stand for elements nobody could count
        } else if (out_.keeps(in, type)) {
          kept = true;
          build_ = false;
        } else {
          result = built(out_.list(n));
        }
      }
    }
    const Type& item_type = *type.item;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::optional<In> element = in.item(i);
      if (!element) {
        if constexpr (Out::builds) {
          if (building()) {
            out_.unreadable(in, i);
            build_failed();
          }
        }
        continue;
      }
      push_step(nullptr, i);
      Value v{};
      if (element->kind() == Kind::Null) {
        if (!type.item_nullable) {
          null_element();
        } else if constexpr (Out::builds) {
          if (building()) {
            v = out_.none();
          }
        }
      } else {
        TextOnce<In> text(*element);
        v = value(item_type, *element, depth + 1, text);
      }
      if constexpr (Out::builds) {
        if (v && building()) {
          stored(out_.set_item(result, i, std::move(v)));
        }
      }
      pop_step();
    }
    if constexpr (Out::builds) {
      if (kept) {
        build_ = issues_.empty();
        if (building()) {
          result = built(out_.same(in));
        }
      }
    }
  }
  leave(visit);
  if (!building()) {
    return Value{};
  }
  return result;
}

template <class Out>
template <Input In>
auto Validator<Out>::object_with(const ObjectType& object, const In& in, std::uint64_t depth,
                                 const Tagged<In>* tagged, SlotHint hint) -> Value {
  if (!depth_ok(depth)) {
    return Value{};
  }
  // A union has already entered this very object under its own type.
  const Visit visit = tagged != nullptr ? Visit::Untracked : enter(in, &object);
  if (visit == Visit::Refused) {
    return Value{};
  }
  const Kind kind = in.kind();
  if (kind != Kind::Object) {
    mismatch("object", kind);
    leave(visit);
    return Value{};
  }
  const std::uint64_t n = in.len();
  if (n > max_object_keys_) {
    too_many_keys(n);
    leave(visit);
    return Value{};
  }
  if constexpr (Out::builds) {
    if constexpr (Out::template holds_input<In>) {
      if (building() && tagged == nullptr && Out::holds(in, object, n)) {
        Value result = object_held(object, in, depth, n, hint);
        leave(visit);
        return result;
      }
    }
  }
  Value result{};
  bool prefilled = false;
  if constexpr (Out::builds) {
    if (building()) {
      prefilled = tagged == nullptr && out_.prefills(object, n);
      if (prefilled) {
        result = built(out_.dict(object));
      } else {
        result = tagged == nullptr ? built(out_.dict()) : tagged_result(*tagged);
      }
    }
  }
  std::uint64_t present = tagged != nullptr ? 1 : 0;
  for (const Field& field : object.fields) {
    Slot<In> slot = in.slot(MemberName{field.name, field.key_id}, hint);
    push_step(&field.name, 0);
    if (slot.state != SlotState::Missing) {
      ++present;
      Value v = field_value(field, slot, depth);
      if constexpr (Out::builds) {
        if (v && building()) {
          stored(out_.set_field(result, field, std::move(v)));
        }
      }
    } else if (!field.optional) {
      field_missing(field);
    } else if constexpr (Out::builds) {
      if (prefilled && building()) {
        stored(out_.leave_out(result, field));
      }
    }
    pop_step();
  }
  // Each declared field found names a distinct member, so when they account for every
  // member there is nothing undeclared to look for.
  if (object.deny_unknown_fields && present != n) {
    undeclared_members(object, in, tagged);
  }
  leave(visit);
  if (!building()) {
    return Value{};
  }
  return result;
}

// The object walk for a payload the policy may take as its own result (Builder::holds):
// the field values are held while each is the payload's own plain value found where the
// last one ended; at the first that is not, the result is made from those held and built on
// as usual.
template <class Out>
template <Input In>
auto Validator<Out>::object_held(const ObjectType& object, const In& in, std::uint64_t depth,
                                 std::uint64_t n, SlotHint hint) -> Value {
  std::array<Value, Out::held_fields> held{};
  std::size_t kept = 0;  // how many values are held; the payload is its result while all are
  Value result{};        // made once it cannot be
  // The held values are those of the first `kept` fields, all present.
  bool prefilled = false;
  auto release = [&] {
    prefilled = out_.prefills(object, n);
    result = built(prefilled ? out_.dict(object) : out_.dict());
    for (std::size_t i = 0; i < kept && building(); ++i) {
      stored(out_.set_field(result, object.fields[i], std::move(held[i])));
    }
  };
  std::uint64_t present = 0;
  for (const Field& field : object.fields) {
    Slot<In> slot = in.slot(MemberName{field.name, field.key_id}, hint);
    push_step(&field.name, 0);
    if (slot.state != SlotState::Missing) {
      ++present;
      Value v = field_value(field, slot, depth);
      if (building() && !result) {
        if (hint.exact && Out::plain(v, slot)) {
          held[kept++] = std::move(v);
        } else {
          release();
        }
      }
      if (v && building()) {
        stored(out_.set_field(result, field, std::move(v)));
      }
    } else {
      if (building() && !result) {
        release();
      }
      if (!field.optional) {
        field_missing(field);
      } else if (prefilled && building()) {
        stored(out_.leave_out(result, field));
      }
    }
    pop_step();
  }
  if (object.deny_unknown_fields && present != n) {
    undeclared_members(object, in, static_cast<const Tagged<In>*>(nullptr));
  }
  if (!building()) {
    return Value{};
  }
  return result ? std::move(result) : built(out_.copy(in));
}

// A new result dict led by the tag of the union that chose the type.
template <class Out>
template <Input In>
auto Validator<Out>::tagged_result(const Tagged<In>& tagged) -> Value {
  Value result = built(out_.dict());
  if (building()) {
    if (Value tag = built(out_.tag_value(tagged.tag, tagged.variant))) {
      stored(out_.set_tag(result, tagged.u, std::move(tag)));
    }
  }
  return result;
}

// A present or null field's checked value: what the result holds for it, if anything.
template <class Out>
template <Input In>
[[gnu::always_inline]] inline auto Validator<Out>::field_value(const Field& field,
                                                               const Slot<In>& slot,
                                                               std::uint64_t depth) -> Value {
  if (slot.state == SlotState::Null) {
    if (!field.nullable) {
      field_null(field);
    } else if constexpr (Out::builds) {
      if (building()) {
        return out_.none();
      }
    }
    return Value{};
  }
  TextOnce<In> text(*slot.value);
  if (field.rules.empty()) {
    return value(field.type, *slot.value, depth + 1, text);
  }
  // Read the text before the type check when a rule needs it too, so both share it.
  if (reads_text(field)) {
    text.get();
  }
  Value v = value(field.type, *slot.value, depth + 1, text);
  rules(field, *slot.value, text);
  return v;
}

template <class Out>
template <Input In>
void Validator<Out>::undeclared_members(const ObjectType& object, const In& in,
                                        const Tagged<In>* tagged) {
  const std::string* exempt = tagged != nullptr ? &tagged->u.tag : nullptr;
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

template <class Out>
template <Input In>
void Validator<Out>::rules(const Field& field, const In& in, TextOnce<In>& text) {
  if (field.type.tag == Type::Tag::Map || field.type.tag == Type::Tag::Json) {
    map_rules(field, in);
    return;
  }
  std::optional<std::uint64_t> length;
  for (const Rule& rule : field.rules) {
    if (rule.tag == Rule::Tag::MinLen || rule.tag == Rule::Tag::MaxLen) {
      if (std::optional<std::string_view> m = text.measured()) {
        length = count_scalars(*m);
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
        if (std::optional<std::string_view> m = text.measured()) {
          if (!format_matches(rule.format, *m)) {
            rule_failed(rule, 0);
          }
        }
        break;
    }
  }
}

// Of a map field's rules only the item counts apply, to its count of members; no rule
// applies to a Json field. Neither depends on the kind of value given.
template <class Out>
template <Input In>
void Validator<Out>::map_rules(const Field& field, const In& in) {
  if (field.type.tag != Type::Tag::Map || in.kind() != Kind::Object) {
    return;
  }
  const std::uint64_t count = in.len();
  for (const Rule& rule : field.rules) {
    if ((rule.tag == Rule::Tag::MinItems && count < rule.count) ||
        (rule.tag == Rule::Tag::MaxItems && count > rule.count)) {
      rule_failed(rule, static_cast<Int128>(count));
    }
  }
}

template <class Out>
template <Input In>
auto Validator<Out>::map(const Type& type, const In& in, std::uint64_t depth) -> Value {
  const Type* key_enum = type.key->tag == Type::Tag::Enum ? type.key.get() : nullptr;
  return members(type, in, depth, key_enum, *type.item, type.item_nullable);
}

// A map, or an object inside a Json value: each member's key against the key type, then its
// value, in the payload's own member order. A key issue does not stop the value's check.
template <class Out>
template <Input In>
auto Validator<Out>::members(const Type& type, const In& in, std::uint64_t depth,
                             const Type* key_enum, const Type& value_type, bool value_nullable)
    -> Value {
  if (!depth_ok(depth)) {
    return Value{};
  }
  const Visit visit = enter(in, &type);
  if (visit == Visit::Refused) {
    return Value{};
  }
  Value result{};
  const Kind kind = in.kind();
  if (kind != Kind::Object) {
    mismatch("map", kind);  // a Json value comes here only as an object
  } else if (const std::uint64_t n = in.len(); n > max_object_keys_) {
    too_many_keys(n);
  } else {
    if constexpr (Out::builds) {
      if (building()) {
        result = built(out_.dict());
      }
    }
    in.each_member([&](const auto& key, const In& member) {
      push_key(key.text());
      check_key(key, key_enum);
      Value v{};
      if (member.kind() == Kind::Null) {
        if (!value_nullable) {
          null_element();
        } else if constexpr (Out::builds) {
          if (building()) {
            v = out_.none();
          }
        }
      } else {
        TextOnce<In> text(member);
        v = value(value_type, member, depth + 1, text);
      }
      if constexpr (Out::builds) {
        if (v && building()) {
          stored(out_.set_member(result, key, std::move(v)));
        }
      }
      pop_step();
    });
  }
  leave(visit);
  if (!building()) {
    return Value{};
  }
  return result;
}

// A key is text: on the Python road a dict may hold any other key, reported at the path
// its str() text gives. An over-long key is reported as a string would be.
template <class Out>
template <class Key>
void Validator<Out>::check_key(const Key& key, const Type* key_enum) {
  const Kind kind = key.kind();
  if (kind != Kind::Str) {
    mismatch("string", kind);
    return;
  }
  const std::string_view text = key.text();
  if (text.size() > max_string_bytes_) {
    string_too_large(text.size());
    return;
  }
  if (key_enum != nullptr) {
    for (const std::string& v : key_enum->values) {
      if (v == text) {
        return;
      }
    }
    not_in_enum(text, *key_enum);
  }
}

// Any JSON value. Nulls inside it are always accepted; whether the value itself may be null
// is its holder's business, as for every type. No rule applies inside it.
template <class Out>
template <Input In>
auto Validator<Out>::json(const Type& type, const In& in, std::uint64_t depth, TextOnce<In>& text)
    -> Value {
  const Kind kind = in.json_kind();
  switch (kind) {
    case Kind::Null:
      if constexpr (Out::builds) {
        if (building()) {
          return out_.none();
        }
      }
      return Value{};
    case Kind::Bool:
    case Kind::Integer:
      return scalar(in);
    case Kind::Float: {
      const std::optional<double> f = in.as_f64();
      if (!f || !std::isfinite(*f)) {
        not_finite();
        return Value{};
      }
      return scalar(in);
    }
    case Kind::WideInteger:
      integer_too_wide();
      return Value{};
    case Kind::InexactInteger:
      unsafe_integer();
      return Value{};
    case Kind::Str:
      if (!string_fits(in, text)) {
        return Value{};
      }
      if constexpr (Out::builds) {
        if (building()) {
          return built(out_.string(in, text));
        }
      }
      return Value{};
    case Kind::Array:
      return json_array(type, in, depth);
    case Kind::Object:
      return members(type, in, depth, nullptr, type, true);
    case Kind::Unsupported:
      break;
  }
  mismatch("JSON value", kind);
  return Value{};
}

// An array inside a Json value: always a new list, since a Json value's containers come back
// as the same types on both roads, a tuple as a list.
template <class Out>
template <Input In>
auto Validator<Out>::json_array(const Type& type, const In& in, std::uint64_t depth) -> Value {
  if (!depth_ok(depth)) {
    return Value{};
  }
  const Visit visit = enter(in, &type);
  if (visit == Visit::Refused) {
    return Value{};
  }
  Value result{};
  if (const std::uint64_t n = in.len(); n > max_items_) {
    too_many_items(n);
  } else {
    if constexpr (Out::builds) {
      if (building()) {
        if (n == 0 && !out_.counted(in)) {
          build_failed();
        } else {
          result = built(out_.list(n));
        }
      }
    }
    for (std::uint64_t i = 0; i < n; ++i) {
      std::optional<In> element = in.item(i);
      if (!element) {
        if constexpr (Out::builds) {
          if (building()) {
            out_.unreadable(in, i);
            build_failed();
          }
        }
        continue;
      }
      push_step(nullptr, i);
      TextOnce<In> text(*element);
      Value v = value(type, *element, depth + 1, text);
      if constexpr (Out::builds) {
        if (v && building()) {
          stored(out_.set_item(result, i, std::move(v)));
        }
      }
      pop_step();
    }
  }
  leave(visit);
  if (!building()) {
    return Value{};
  }
  return result;
}

template <class Out>
template <Input In>
auto Validator<Out>::union_(const UnionType& u, const In& in, std::uint64_t depth) -> Value {
  if (!depth_ok(depth)) {
    return Value{};
  }
  const Visit visit = enter(in, &u);
  if (visit == Visit::Refused) {
    return Value{};
  }
  const Kind kind = in.kind();
  if (kind != Kind::Object) {
    mismatch("object", kind);
    leave(visit);
    return Value{};
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
  Value result{};
  if (variant != nullptr) {
    const ObjectType* object =
        variant->object != nullptr ? variant->object : schema_.get(variant->type_name);
    if (object == nullptr) {
      unknown_type(variant->type_name);
    } else {
      const Tagged<In> tagged{u, *variant, *tag.value};
      result = object_with(*object, in, depth, &tagged, hint);
    }
  }
  leave(visit);
  return result;
}

}  // namespace vorn
