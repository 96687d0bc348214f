// The read-only interface through which the validator reads a payload value.
// Implemented by the Python adapter (binding) and by json::Ref; the validator is a template
// over it, so every operation inlines and nothing on the hot path is an indirect call.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>  // std::unique_ptr
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "int128.hpp"

namespace vorn {

/// Classification of a payload value. Values are fixed: adapters store it in one byte.
enum class Kind : std::uint8_t {
  Null,
  Bool,
  Integer,
  Float,
  Str,
  Array,
  Object,
  InexactInteger,
  WideInteger,
  Unsupported,
};

/// The words type-mismatch messages use for a value of that kind.
std::string_view found_name(Kind kind);

/// An integer read from a payload: signed whenever it fits i64, unsigned only from 2^63 up.
struct IntValue {
  std::uint64_t bits = 0;  // two's complement when !is_unsigned
  bool is_unsigned = false;

  static IntValue from_signed(std::int64_t v) { return {static_cast<std::uint64_t>(v), false}; }
  static IntValue from_unsigned(std::uint64_t v) { return {v, true}; }
  Int128 widen() const {
    return is_unsigned ? static_cast<Int128>(bits)
                       : static_cast<Int128>(static_cast<std::int64_t>(bits));
  }
};

/// UTF-8 text read from a payload: a view borrowed from the payload, or an owned decoding.
/// A borrowed view lives as long as the input that produced it.
class Text {
 public:
  explicit Text(std::string_view borrowed) : view_(borrowed) {}
  // The owned text lives on the heap so that moving a Text keeps its view valid; only
  // decoded escapes and isoformat() results take this path.
  explicit Text(std::string&& owned)
      : owned_(std::make_unique<std::string>(std::move(owned))), view_(*owned_) {}

  std::string_view view() const { return view_; }

 private:
  std::unique_ptr<std::string> owned_;
  std::string_view view_;
};

/// A member name as the validator asks for it: its text and, for declared fields, the
/// schema-wide key id (no_key_id otherwise) that lets an adapter use a prepared key.
struct MemberName {
  std::string_view text;
  std::uint32_t key_id;
};

enum class SlotState : std::uint8_t { Missing, Null, Present };

/// The answer to a member lookup; `value` is set only when Present.
template <class In>
struct Slot {
  SlotState state = SlotState::Missing;
  std::optional<In> value;
};

/// A caller's place among one object's members, for lookups made in declaration order:
/// an adapter may start the next search where the last one matched, so members written in
/// that order match on the first comparison. Only a hint: any value gives the same answers.
/// Held by the caller rather than the adapter, it stays out of the adapter's memory: kept
/// in the JSON document instead, the benchmark's lookups cost twice as many samples.
struct SlotHint {
  std::uint32_t next = 0;
  // Cleared by an adapter when a member was not found at the hint: the Python road copies
  // a dict only while every member was.
  bool exact = true;
};

/// The operations the validator asks of a payload value. Every one answers for any kind,
/// with its empty answer (none, 0, Missing, no callback) when the kind does not fit.
///
/// `identity()` names a container that may occur more than once in the payload (nullptr for
/// one that cannot, and always for scalars), so the validator can bound shared and cyclic
/// data. `str_size()` is the byte length of the text `as_str()` would give, none when it
/// gives none; it may run the same Python code as `as_str()`, so a value asks for one of
/// them, once. `as_str_lossy()` is the text of a Str value whose exact text cannot be
/// produced, with each unencodable part replaced by U+FFFD (empty when there is none).
///
/// `json_kind()` is the kind as plain JSON data: kind(), except that a value read as text
/// only through a conversion (a date object on the Python road) is Unsupported.
/// `each_member(f)` calls f(const Key& key, const In& value) for each member of an Object,
/// in its own order, and does nothing for other kinds. A Key answers `kind()` (Str for a
/// text key, else the key's json_kind) and `text()`: the key's UTF-8, or for a key that is
/// not text, or has no exact text, the text a path shows for it; valid during the call.
template <class In>
concept Input = std::copy_constructible<In> &&
    requires(const In& in, std::uint64_t i, MemberName name, SlotHint& hint) {
  { in.kind() } -> std::same_as<Kind>;
  { in.as_bool() } -> std::same_as<std::optional<bool>>;
  { in.as_int() } -> std::same_as<std::optional<IntValue>>;
  { in.as_f64() } -> std::same_as<std::optional<double>>;
  { in.as_str() } -> std::same_as<std::optional<Text>>;
  { in.str_size() } -> std::same_as<std::optional<std::uint64_t>>;
  { in.as_str_lossy() } -> std::same_as<std::string>;
  { in.len() } -> std::same_as<std::uint64_t>;
  { in.item(i) } -> std::same_as<std::optional<In>>;
  { in.slot(name, hint) } -> std::same_as<Slot<In>>;
  {in.each_key([](std::string_view) {})};
  {in.each_member([](const auto&, const In&) {})};
  { in.json_kind() } -> std::same_as<Kind>;
  { in.identity() } -> std::same_as<const void*>;
};

/// The four resource limits of a validator, read by the JSON parser and the validator.
struct Limits {
  std::uint64_t max_depth = 64;
  std::uint64_t max_items = 10000;
  std::uint64_t max_string_bytes = 1048576;
  std::uint64_t max_object_keys = 1000;
};

inline constexpr Limits default_limits{};

/// Both consumers lower max_depth to this, which also bounds their recursion.
inline constexpr std::uint64_t depth_clamp = 256;

}  // namespace vorn
