// The output policy that builds a run's result while the walk checks it: a new dict holding
// exactly the declared fields (and a union's tag), dates converted. One builder serves both
// roads; the walk only hands it values it has just checked, so the result holds nothing that
// was not checked. On the Python road values that need no conversion are the payload's own
// objects; on the JSON road every value is made from the document.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>  // std::is_same_v

#include "bindings.hpp"
#include "error.hpp"
#include "json.hpp"
#include "py_input.hpp"
#include "py_owned.hpp"
#include "schema.hpp"
#include "validate.hpp"

namespace vorn::py {

/// A date-time text rewritten for datetime.fromisoformat: a trailing Z becomes +00:00 and a
/// fraction of a second becomes exactly six digits.
std::string python_iso(std::string_view text);

/// A str of the UTF-8 text of a payload key (valid UTF-8, as every key of a parsed document
/// is), or an empty Owned with an error set. Short keys come from a process-wide cache kept
/// across calls, each str made once with its hash computed, since a map's keys recur from
/// payload to payload: making and hashing a new str per key cost a 1,000-member map about
/// as much as parsing it.
Owned key_string(std::string_view text);

class Builder {
 public:
  using Value = Owned;
  static constexpr bool builds = true;

  explicit Builder(const Bindings& bindings) : bindings_(bindings) {}

  Value none() { return Owned::borrow(Py_None); }

  // ---- the Python road: checked values are the payload's own objects ----
  Value scalar(const PyInput& in) { return Owned::borrow(in.object()); }
  Value string(const PyInput& in, TextOnce<PyInput>& /*text*/) { return scalar(in); }
  Value enum_value(const PyInput& in, const std::string& /*value*/) { return scalar(in); }
  Value tag_value(const PyInput& tag, const Variant& /*variant*/) { return scalar(tag); }
  Value date(const PyInput& in, std::string_view text, bool is_datetime) {
    // A date object of the field's own class is its own result; any other text is converted.
    if (in.date_class() == (is_datetime ? DateClass::DateTime : DateClass::Date)) {
      return scalar(in);
    }
    // The payload's own str serves as fromisoformat's argument when it needs no rewriting.
    PyObject* own = PyUnicode_CheckExact(in.object()) ? in.object() : nullptr;
    return from_iso(text, is_datetime, own);
  }
  /// Whether the array comes back as the caller's own object: only an exact list or tuple
  /// of values that need no conversion. Reading its elements runs no Python code, so it
  /// holds what was checked. A subclass answers through its own __len__ and __getitem__,
  /// and an array of arrays through its elements', so either comes back as a new list of
  /// the values checked.
  bool keeps(const PyInput& in, const Type& array) const {
    PyObject* o = in.object();
    return (PyList_CheckExact(o) || PyTuple_CheckExact(o)) && array.item &&
           passes_through(array.item->tag);
  }
  Value same(const PyInput& in) { return scalar(in); }
  void unreadable(const PyInput& array, std::uint64_t i);
  bool counted(const PyInput& array) {
    if (array.uncounted()) {
      fail_uncounted(array);
      return false;
    }
    return true;
  }

  // ---- the JSON road: every value is made anew ----
  // Inline: out of line, these two calls were 2.6% of the benchmark order's JSON accept.
  [[gnu::always_inline]] Value scalar(const json::Ref& r) {
    switch (r.tag()) {
      case json::NodeTag::Bool:
        return Owned::borrow(r.bool_value() ? Py_True : Py_False);
      case json::NodeTag::Integer:
        if (r.int_unsigned()) {
          return made(PyLong_FromUnsignedLongLong(r.int_bits()));
        }
        return made(PyLong_FromLongLong(static_cast<long long>(r.int_bits())));
      case json::NodeTag::Float:
        return made(PyFloat_FromDouble(r.f64_value()));
      case json::NodeTag::Null:
      case json::NodeTag::WideInteger:  // no digits are kept; the walk never accepts one
      case json::NodeTag::Str:          // strings go through string()
      case json::NodeTag::Array:
      case json::NodeTag::Object:
        break;
    }
    return none();
  }

  Value string(const json::Ref& r, TextOnce<json::Ref>& text) {
    std::string_view view;
    if (!r.str_escaped()) {
      // No escape: the raw bytes are the text, checked as UTF-8 by the parser.
      view = r.str_raw();
    } else if (const std::optional<Text>& decoded = text.get()) {
      view = decoded->view();
    }
    return made(PyUnicode_FromStringAndSize(view.data(), static_cast<Py_ssize_t>(view.size())));
  }

  Value enum_value(const json::Ref& /*r*/, const std::string& value) { return text_of(value); }
  Value tag_value(const json::Ref& /*tag*/, const Variant& variant) { return text_of(variant.tag); }
  Value date(const json::Ref& /*r*/, std::string_view text, bool is_datetime) {
    return from_iso(text, is_datetime, nullptr);
  }
  bool keeps(const json::Ref& /*r*/, const Type& /*array*/) const { return false; }
  Value same(const json::Ref& /*r*/) { return Value{}; }
  void unreadable(const json::Ref& /*array*/, std::uint64_t /*i*/) {}
  bool counted(const json::Ref& /*array*/) const { return true; }

  // ---- containers ----
  Value list(std::uint64_t n) { return made(PyList_New(static_cast<Py_ssize_t>(n))); }
  bool set_item(Value& list, std::uint64_t i, Value&& v) {
    // PyList_SetItem steals the value even when it fails.
    return checked(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v.release()));
  }
  Value dict() { return made(PyDict_New()); }
  /// Results of types this wide that hold every key come from a copy of the type's shape
  /// (Bindings::shapes). Below six keys, key-by-key filling costs no more than the copy.
  static constexpr std::size_t shaped_fields = 6;
  bool prefills(const ObjectType& object, std::uint64_t members) {
    return object.fields.size() >= shaped_fields && members >= object.fields.size() &&
           shape_of(object) != nullptr;
  }
  /// Only after prefills() said yes.
  Value dict(const ObjectType& object) {
    return made(PyDict_Copy(bindings_.shapes[object.id].dict.get()));
  }
  bool leave_out(Value& dict, const Field& field);

  // A payload dict that is its own result: an exact dict holding exactly the declared
  // members, in order, under exact str keys (the schema's own, or equal ones as json.loads
  // makes them), each value a plain int, float, str, bool or None that came back as
  // itself. Checking such values runs no Python code, so the dict still holds what was
  // checked, and its copy (PyDict_Copy copies the table whole) replaces a new dict filled
  // key by key: the order on the Python road 68.5k -> 57.4k instructions a call, the batch
  // 3.21M -> 2.59M. The walk holds the values of a candidate until it knows.
  template <class In>
  static constexpr bool holds_input = std::is_same_v<In, PyInput>;
  // Below three members a new dict costs no more than the copy (records of 1 field: +3%,
  // the drawing's two-field points: +3%).
  static constexpr std::size_t held_min_fields = 3;
  static constexpr std::size_t held_fields = 8;
  static bool holds(const PyInput& in, const ObjectType& object, std::uint64_t members) {
    if (members != object.fields.size() || members < held_min_fields || members > held_fields ||
        !PyDict_CheckExact(in.object())) {
      return false;
    }
    for (const Field& field : object.fields) {
      if (!passes_through(field.type.tag)) {
        return false;
      }
    }
    return true;
  }
  static bool plain(const Value& v, const Slot<PyInput>& slot) {
    if (!slot.value) {
      return v.get() == Py_None;  // a null member
    }
    PyObject* o = slot.value->object();
    PyTypeObject* type = Py_TYPE(o);
    return v.get() == o && (type == &PyLong_Type || type == &PyFloat_Type ||
                            type == &PyUnicode_Type || type == &PyBool_Type);
  }
  Value copy(const PyInput& in) { return made(PyDict_Copy(in.object())); }
  bool set_field(Value& dict, const Field& field, Value&& v) {
    return set(dict, field.name, field.key_id, v);
  }
  bool set_tag(Value& dict, const UnionType& u, Value&& v) {
    return set(dict, u.tag, no_key_id, v);
  }
  /// A map's or a Json object's member. Keys come back as plain str, so keys whose text is
  /// equal merge as JSON duplicates do: the last value wins, at the first key's place. A str
  /// subclass's text is copied without running its code, so a lying __eq__ or __hash__ has
  /// no say in the result.
  bool set_member(Value& dict, const PyKey& key, Value&& v) {
    PyObject* k = key.object();
    if (PyUnicode_CheckExact(k)) [[likely]] {
      return checked(PyDict_SetItem(dict.get(), k, v.get()));
    }
    Owned plain = made(PyUnicode_Substring(k, 0, PyUnicode_GetLength(k)));
    return plain && checked(PyDict_SetItem(dict.get(), plain.get(), v.get()));
  }
  bool set_member(Value& dict, const json::Ref::Key& key, Value&& v) {
    Owned k = key_string(key.view);
    if (!k) [[unlikely]] {
      fail();
      return false;
    }
    return checked(PyDict_SetItem(dict.get(), k.get(), v.get()));
  }

  /// Records where the first failed build happened (a date Python cannot hold is reported
  /// at that value's path).
  void failed_at(Path&& path) {
    if (unrepresentable_ && !placed_) {
      unrepresentable_->path = std::move(path);
      placed_ = true;
    }
  }

  /// The run's answer once the walk is over: the issues if any, else the build failure if
  /// any, else the result. Returns a new reference or nullptr with an exception set.
  PyObject* finish(Owned result, IssueList&& issues);

 private:
  static bool passes_through(Type::Tag tag) {
    return tag == Type::Tag::Bool || tag == Type::Tag::Int || tag == Type::Tag::Float ||
           tag == Type::Tag::String || tag == Type::Tag::Enum;
  }

  // A new reference from the C API, the failure parked when it is null.
  Value made(PyObject* p) {
    if (p == nullptr) [[unlikely]] {
      fail();
    }
    return Owned::steal(p);
  }
  bool checked(int status) {
    if (status < 0) [[unlikely]] {
      fail();
      return false;
    }
    return true;
  }
  // Forced: once the map and Json walks added callers, GCC 12 stopped inlining this into
  // the object walk, and union results on the Python road took 8% longer (ab.py).
  [[gnu::always_inline]] bool set(Value& dict, const std::string& name, std::uint32_t key_id,
                                  const Value& v) {
    if (PyObject* key = bindings_.key(name, key_id)) [[likely]] {
      return checked(PyDict_SetItem(dict.get(), key, v.get()));
    }
    return set_new_key(dict, name, v);
  }
  bool set_new_key(Value& dict, std::string_view name, const Value& v);
  PyObject* shape_of(const ObjectType& object) {
    Bindings::Shape& shape = bindings_.shapes[object.id];
    if (shape.dict) [[likely]] {
      return shape.dict.get();
    }
    if (!shape.wanted) {
      shape.wanted = true;
      return nullptr;
    }
    return make_shape(object);
  }
  PyObject* make_shape(const ObjectType& object);
  Value text_of(const std::string& schema_text);
  // `own`, when not null, is a str holding exactly `text`, used instead of a new one.
  Value from_iso(std::string_view text, bool is_datetime, PyObject* own);
  [[gnu::cold]] void fail();
  [[gnu::cold]] void fail_uncounted(const PyInput& array);

  const Bindings& bindings_;
  bool failed_ = false;
  RunState error_;  // the first failure's Python error, parked while the walk goes on
  std::optional<Issue> unrepresentable_;
  bool placed_ = false;
};

}  // namespace vorn::py
