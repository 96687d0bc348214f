// The validator's view of a Python object. Classifies the object once, then answers every
// read with the C API. Python errors become empty answers (the validator turns those into
// issues), except a dict mutated during its key walk, which is parked in the RunState.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <cstring>  // std::memcmp
#include <optional>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "input.hpp"
#include "py_owned.hpp"

namespace vorn::py {

/// UTF-8 of a str with each lone surrogate replaced by `per_surrogate` U+FFFD characters
/// (1 for texts shown in messages, 3 for keys, one per byte of the surrogate's encoding).
/// Empty when even that fails (the error is cleared).
std::string lossy_utf8(PyObject* str, int per_surrogate);

/// The class a date object was classified by: a datetime, or a date that is no datetime.
enum class DateClass : std::uint8_t { None, Date, DateTime };

/// The text a path shows for a dict key that is not a str, or has no exact UTF-8: its
/// str() text with each lone surrogate as three U+FFFD, or "<key>" when str() raises.
std::string key_path_text(PyObject* key);

class PyInput;

/// A dict key as map and Json walks read it (see PyInput::each_member). Made in place for
/// one member and never copied: its text may point into its own storage.
class PyKey {
 public:
  /// `key` is borrowed from the caller, who holds it for the key's life.
  PyKey(PyObject* key, const PyInput& dict);
  PyKey(const PyKey&) = delete;
  PyKey& operator=(const PyKey&) = delete;

  PyObject* object() const { return key_; }
  /// Str for a str or str subclass; for any other key its kind as JSON data.
  Kind kind() const { return kind_; }
  /// The UTF-8 of a str; for other keys, and a str holding a lone surrogate, its path text.
  std::string_view text() const { return text_; }

 private:
  void read_other(const PyInput& dict);  // the rare keys: not a str, or not encodable

  PyObject* key_;
  Kind kind_ = Kind::Str;
  std::string_view text_;
  std::string owned_;  // the text, when it is not the str's own UTF-8
};

class PyInput {
 public:
  /// Takes over `object` (a strong reference) and classifies it.
  PyInput(Owned object, const Bindings& bindings, RunState& run)
      : object_(std::move(object)), bindings_(&bindings), run_(&run) {
    classify();
  }
  PyInput(const PyInput& o)
      : object_(o.object_.clone()),
        bindings_(o.bindings_),
        run_(o.run_),
        int_(o.int_),
        kind_(o.kind_),
        date_class_(o.date_class_),
        uncounted_(o.uncounted_),
        counted_(o.counted_) {}
  PyInput(PyInput&&) noexcept = default;
  PyInput& operator=(PyInput&&) noexcept = default;

  PyObject* object() const { return object_.get(); }
  DateClass date_class() const { return date_class_; }
  /// Whether len() answered 0 because the object's __len__ raised.
  bool uncounted() const { return uncounted_; }

  Kind kind() const { return kind_; }

  std::optional<bool> as_bool() const {
    if (kind_ != Kind::Bool) {
      return std::nullopt;
    }
    return object_.get() == Py_True;
  }

  std::optional<IntValue> as_int() const {
    if (kind_ != Kind::Integer) {
      return std::nullopt;
    }
    return int_;
  }

  std::optional<double> as_f64() const {
    if (kind_ != Kind::Float && kind_ != Kind::Integer) {
      return std::nullopt;
    }
    double d = PyFloat_AsDouble(object_.get());
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // the adapter answers none instead of raising
      return std::nullopt;
    }
    return d;
  }

  std::optional<Text> as_str() const {
    if (kind_ != Kind::Str) {
      return std::nullopt;
    }
    if (date_class_ != DateClass::None) {
      return isoformat();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object_.get(), &size);
    if (utf8 == nullptr) {
      PyErr_Clear();  // a lone surrogate: the text cannot be produced
      return std::nullopt;
    }
    // The buffer belongs to the str, which this input keeps alive.
    return Text(std::string_view(utf8, static_cast<std::size_t>(size)));
  }

  std::optional<std::uint64_t> str_size() const {
    if (kind_ != Kind::Str) {
      return std::nullopt;
    }
    if (date_class_ != DateClass::None) {
      std::optional<Text> text = isoformat();
      if (!text) {
        return std::nullopt;
      }
      return text->view().size();
    }
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(object_.get(), &size) == nullptr) {
      PyErr_Clear();  // a lone surrogate: the text cannot be produced
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(size);
  }

  std::string as_str_lossy() const {
    if (kind_ != Kind::Str || date_class_ != DateClass::None) {
      return std::string();
    }
    return lossy_utf8(object_.get(), 1);
  }

  std::uint64_t len() const {
    if (counted_ >= 0) {
      return static_cast<std::uint64_t>(counted_);
    }
    PyObject* o = object_.get();
    Py_ssize_t n = 0;
    if (kind_ == Kind::Object) {
      // The dict's own storage, which is exactly what the key walk visits.
      n = PyDict_Size(o);
    } else if (kind_ == Kind::Array) {
      n = PyObject_Size(o);
    }
    if (n < 0) {
      PyErr_Clear();  // a failing __len__ reads as empty, and the builder is told so
      uncounted_ = true;
      n = 0;
    }
    // The walk and the item-count rules must see one answer: a subclass's __len__ that said
    // 3 to the walk and 1 to `@max_items(2)` passed three elements.
    counted_ = n;
    return static_cast<std::uint64_t>(n);
  }

  // item() and slot() return one named object from every path, so it is built in the
  // caller's slot: a PyInput moved out of a temporary read back, in wide loads, the bytes
  // classify() had just stored narrowly, and the stall was half of slot()'s samples
  // (benchmark Python accept 6.14 -> 5.82 us, reject 3.14 -> 2.98 us).
  std::optional<PyInput> item(std::uint64_t i) const {
    std::optional<PyInput> found;
    if (kind_ != Kind::Array) {
      return found;
    }
    Owned element = sequence_item(object_.get(), i);
    if (!element) {
      PyErr_Clear();  // an unreadable element is skipped
      return found;
    }
    found.emplace(std::move(element), *bindings_, *run_);
    return found;
  }

  /// The member of that name, read the way PyDict_GetItemWithError reads it. The hint is
  /// the dict position after the member found last: when the entry there holds the key
  /// asked for, that entry is the member and no lookup is needed.
  // Forced: with two object walks calling it GCC 12 outlined it (shuffled order: +8%).
  [[gnu::always_inline]] Slot<PyInput> slot(MemberName name, SlotHint& hint) const {
    Slot<PyInput> found;
    if (kind_ != Kind::Object) {
      return found;
    }
    PyObject* value = nullptr;
    if (PyObject* key = bindings_->key(name.text, name.key_id)) {
      value = next_if_key(key, name.text, hint);
      if (value == nullptr) {
        hint.exact = false;
        value = PyDict_GetItemWithError(object_.get(), key);
      }
    } else {
      hint.exact = false;
      Owned made = Owned::steal(
          PyUnicode_FromStringAndSize(name.text.data(), static_cast<Py_ssize_t>(name.text.size())));
      if (made) {
        value = PyDict_GetItemWithError(object_.get(), made.get());
      }
    }
    if (value == nullptr) {
      PyErr_Clear();  // a raising lookup (a key's __eq__) reads as absent
      return found;
    }
    if (value == Py_None) {
      found.state = SlotState::Null;
      return found;
    }
    found.state = SlotState::Present;
    found.value.emplace(Owned::borrow(value), *bindings_, *run_);
    return found;
  }

  template <class F>
  void each_key(F&& callback) const {
    if (kind_ != Kind::Object || run_->failed) {
      return;
    }
    PyObject* dict = object_.get();
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t pos = 0;
    Py_ssize_t visited = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      // Hold both: str() of a key can run code that mutates this dict.
      Owned held_key = Owned::borrow(key);
      Owned held_value = Owned::borrow(value);
      if (++visited > size) {
        fail_walk("dictionary keys changed during iteration");
        return;
      }
      Py_ssize_t n = 0;
      const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
      if (utf8 != nullptr) {
        callback(std::string_view(utf8, static_cast<std::size_t>(n)));
      } else {
        PyErr_Clear();  // not a str, or not encodable: use its str() text
        std::string text = key_text(key);
        if (PyDict_Size(dict) != size) {
          fail_walk("dictionary changed size during iteration");
          return;
        }
        callback(std::string_view(text));
      }
    }
  }

  /// Calls f(const PyKey&, const PyInput& value) for each member of a dict, in its own order.
  /// The values are read past any override, as slot() reads them. Code run by a member's
  /// check may change the dict: a change in size fails the run, as in each_key, and the
  /// walk otherwise goes on with whatever PyDict_Next gives, which stays memory-safe.
  template <class F>
  void each_member(F&& callback) const {
    if (kind_ != Kind::Object || run_->failed) {
      return;
    }
    PyObject* dict = object_.get();
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t pos = 0;
    Py_ssize_t visited = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      // Held for the member's whole check, which can run code that mutates this dict.
      Owned held_key = Owned::borrow(key);
      const PyInput member(Owned::borrow(value), *bindings_, *run_);
      const PyKey k(held_key.get(), *this);
      if (PyDict_Size(dict) != size) {
        fail_walk("dictionary changed size during iteration");
        return;
      }
      if (++visited > size) {
        fail_walk("dictionary keys changed during iteration");
        return;
      }
      callback(k, member);
      if (run_->failed) {
        return;
      }
    }
    if (PyDict_Size(dict) != size) {
      fail_walk("dictionary changed size during iteration");
    }
  }

  /// A date object is text only through its isoformat(): as JSON data it is unsupported.
  Kind json_kind() const { return date_class_ != DateClass::None ? Kind::Unsupported : kind_; }

  const Bindings& bindings() const { return *bindings_; }
  RunState& run() const { return *run_; }

  /// Names containers that may occur more than once in the payload. A container referenced
  /// from two places holds those two references plus this input's own; one with at most two
  /// (its parent's and ours) cannot occur anywhere else, so it costs the validator nothing.
  const void* identity() const {
    if ((kind_ == Kind::Array || kind_ == Kind::Object) && Py_REFCNT(object_.get()) > 2) {
      return object_.get();
    }
    return nullptr;
  }

  /// Element i of a list, tuple or sequence subclass, read the way the validator reads it.
  /// A new reference, or nullptr with an error set.
  static Owned sequence_item(PyObject* seq, std::uint64_t i) {
    const auto index = static_cast<Py_ssize_t>(i);
    if (PyList_CheckExact(seq)) {
      return Owned::borrow(PyList_GetItem(seq, index));
    }
    if (PyTuple_CheckExact(seq)) {
      return Owned::borrow(PyTuple_GetItem(seq, index));
    }
    return Owned::steal(PySequence_GetItem(seq, index));
  }

 private:
  // The value of the dict entry at the hinted position when its key is `key`, else
  // nullptr. A dict holds no two equal keys, so that entry is what a lookup would find.
  // Order benchmark, Python road: 67.0k -> 64.9k instructions a call; tree 7.17M -> 6.95M.
  PyObject* next_if_key(PyObject* key, std::string_view text, SlotHint& hint) const {
    if (hint.next == hint_off) {
      return nullptr;
    }
    Py_ssize_t pos = hint.next;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (PyDict_Next(object_.get(), &pos, &k, &v) && pos < hint_off &&
        (k == key || same_text(k, text))) {
      hint.next = static_cast<std::uint32_t>(pos);
      return v;
    }
    // Kept past a miss (an absent optional field), the hint cost a dict in another order
    // more than it saved: a shuffled order took 1.8% (two misses in a row) to 3.6% (two in
    // all) more instructions, and the benchmark order gained nothing.
    hint.next = hint_off;
    return nullptr;
  }
  // `key` is the interned str of `text`. A dict from json.loads holds its own str for each
  // key, equal but never identical; an exact str's UTF-8 is read without running Python code
  // (for ASCII it is the str's own data; other text keeps the UTF-8 made, as str always
  // does), and comparing it cost less than the lookup (order
  // from json.loads, Python road: 79.1k -> 74.0k instructions a call). Comparing hashes
  // first cost as much as the lookup saved.
  static bool same_text(PyObject* k, std::string_view text) {
    if (!PyUnicode_CheckExact(k)) {
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(k, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return false;
    }
    return static_cast<std::size_t>(size) == text.size() &&
           std::memcmp(utf8, text.data(), text.size()) == 0;
  }
  static constexpr std::uint32_t hint_off = UINT32_MAX;

  void classify();
  void classify_int();   // an int or int subclass: Integer with its value, or WideInteger
  void classify_date();  // anything else: a date object read as Str, or Unsupported
  std::optional<Text> isoformat() const;
  std::string key_text(PyObject* key) const;
  void fail_walk(const char* message) const;

  Owned object_;
  const Bindings* bindings_;
  RunState* run_;
  IntValue int_;  // the value when kind_ is Integer, read once
  Kind kind_ = Kind::Unsupported;
  DateClass date_class_ = DateClass::None;  // a date object, read through its isoformat()
  mutable bool uncounted_ = false;          // set by len(), which the Input contract keeps const
  mutable Py_ssize_t counted_ = -1;         // len()'s first answer; -1 until it is asked
};

static_assert(Input<PyInput>);

inline PyKey::PyKey(PyObject* key, const PyInput& dict) : key_(key) {
  if (PyUnicode_Check(key)) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n)) {
      // The buffer belongs to the key, which the caller holds.
      text_ = std::string_view(utf8, static_cast<std::size_t>(n));
      return;
    }
    PyErr_Clear();  // a lone surrogate: shown by its path text
  }
  read_other(dict);
}

}  // namespace vorn::py
