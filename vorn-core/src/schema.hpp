// The in-memory form of a parsed schema text. Immutable once the parser hands it out.
#pragma once

#include <cstdint>
#include <functional>  // std::less<>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "int128.hpp"

namespace vorn {

enum class IntWidth : std::uint8_t { W8, W16, W32, W64 };

/// The five string formats, in the order the parser's "unknown format" message lists them.
enum class Format : std::uint8_t { Uuid, Email, Hostname, Ipv4, Ipv6 };

struct ObjectType;
struct UnionType;

/// A type expression. Nullability is a flag of whoever holds the type, never a type.
struct Type {
  enum class Tag : std::uint8_t {
    Bool,
    Int,
    Float,
    String,
    Date,
    DateTime,
    Enum,
    Array,
    Ref,
    Map,   // [K: V]: an object whose every member is a key K and a value V
    Json,  // any JSON value
  };

  Tag tag = Tag::Bool;
  bool is_signed = false;         // Int
  IntWidth width = IntWidth::W8;  // Int
  // Array: the element type; Map: the value type. Owned, so types nest without cycles, and
  // shared by both so that whatever follows a container's contents follows both.
  bool item_nullable = false;
  std::unique_ptr<Type> item;
  std::unique_ptr<Type> key;        // Map: String or an Enum, never nullable
  std::vector<std::string> values;  // Enum: at least one, distinct, in written order
  std::string name;                 // Ref: the referenced declaration
  // Ref, filled when parsing ends: exactly one is set. They point into the owning Schema's
  // maps, whose nodes never move, so the hot path never looks a name up.
  const ObjectType* ref_object = nullptr;
  const UnionType* ref_union = nullptr;
};

/// The integer type's name as the language writes it: "u8" ... "i64".
std::string_view int_type_name(const Type& type);

struct Rule {
  enum class Tag : std::uint8_t { MinLen, MaxLen, Range, MinItems, MaxItems, Format };

  Tag tag = Tag::MinLen;
  std::uint64_t count = 0;  // MinLen, MaxLen, MinItems, MaxItems
  Int128 min = 0;           // Range, inclusive, min <= max
  Int128 max = 0;
  Format format = Format::Uuid;  // Format
};

/// Marks a member name with no interned key (union tag names).
inline constexpr std::uint32_t no_key_id = UINT32_MAX;

struct Field {
  std::string name;
  std::vector<Rule> rules;
  Type type;
  bool optional = false;
  bool nullable = false;
  // Index into Schema::key_names: equal names share one id across the schema, so a binding
  // can keep one interned key per id and reach it without hashing the text.
  std::uint32_t key_id = no_key_id;
};

/// Hashes text for maps that are looked up by std::string_view without a copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

/// Field positions by name, for object types too long to scan on every lookup.
using FieldIndex = std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>>;

struct ObjectType {
  std::string name;
  std::vector<Field> fields;
  bool deny_unknown_fields = true;
  // Filled when parsing ends for types of more than `indexed_fields` fields, so a payload
  // with many undeclared members does not cost members times fields; empty otherwise.
  FieldIndex index;
  // The type's position among Schema::objects, filled when parsing ends, so a binding can
  // keep per-type data in a vector.
  std::uint32_t id = 0;

  static constexpr std::size_t indexed_fields = 16;

  /// The field with that name, or nullptr.
  const Field* field(std::string_view name) const;
};

struct Variant {
  std::string tag;  // may be empty
  std::string type_name;
  const ObjectType* object = nullptr;  // filled when parsing ends; points into the Schema
};

struct UnionType {
  std::string name;
  std::string tag;  // never empty
  std::vector<Variant> variants;

  /// The variant whose tag equals the text (first match), or nullptr.
  const Variant* variant(std::string_view tag_value) const;
};

/// A whole parsed schema. Maps are ordered byte-wise, so walking them lists names sorted.
struct Schema {
  std::map<std::string, ObjectType, std::less<>> objects;
  std::map<std::string, UnionType, std::less<>> unions;
  // Every distinct field name, in the order met walking `objects` by name and each type's
  // fields in order; Field::key_id indexes it.
  std::vector<std::string> key_names;

  /// The object type of that name, or nullptr (a union's name gives nullptr).
  const ObjectType* get(std::string_view name) const;
  /// The union of that name, or nullptr (an object type's name gives nullptr).
  const UnionType* get_union(std::string_view name) const;
  /// Whether an object type or a union has that name.
  bool declares(std::string_view name) const;
};

}  // namespace vorn
