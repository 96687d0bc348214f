// The output builder: the walk's policy for making the result (see py_output.hpp).
#include "python.hpp"

#include "py_output.hpp"

#include <cstring>  // std::memcmp, std::memcpy
#include <utility>  // std::swap

#include "classes.hpp"
#include "unicode.hpp"  // is_utf8_continuation, utf8_length

namespace vorn::py {

std::string python_iso(std::string_view text) {
  std::string_view body = text;
  std::string_view suffix;
  if (!text.empty()) {
    const char last = text.back();
    if (last == 'Z' || last == 'z') {
      body = text.substr(0, text.size() - 1);
      suffix = "+00:00";
    } else if (text.size() >= 20 && !is_utf8_continuation(text[19])) {
      const std::size_t sign = text.find_first_of("+-", 19);
      if (sign != std::string_view::npos) {
        body = text.substr(0, sign);
        suffix = text.substr(sign);
      }
    }
  }
  std::string out;
  const std::size_t dot = body.find('.');
  if (dot == std::string_view::npos) {
    out.reserve(body.size() + suffix.size());
    out.append(body);
  } else {
    out.append(body.substr(0, dot + 1));
    // Keep at most six characters of the fraction, then pad with zeros to six.
    std::size_t kept = 0;
    std::size_t i = dot + 1;
    while (i < body.size() && kept < 6) {
      const std::size_t len = utf8_length(body[i]);
      out.append(body.substr(i, len));
      i += len;
      ++kept;
    }
    out.append(6 - kept, '0');
  }
  out.append(suffix);
  return out;
}

namespace {

// Two ways a set, the one used last first: a key takes the set's older way, so two keys that
// share a set both stay (direct-mapped, the 1,000-member map benchmark missed 216 keys a
// call, each a new str and its hash). 2,048 sets of keys up to 64 bytes, as orjson bounds its
// own key cache, hold at most some 450 KB of str objects.
constexpr std::size_t key_cache_sets = 2048;
constexpr std::size_t key_cache_longest = 64;

struct KeySlot {
  std::uint64_t hash = 0;
  PyObject* str = nullptr;     // a strong reference, kept for the life of the process
  const char* utf8 = nullptr;  // the str's own UTF-8, which lives as long as the str
  std::size_t size = 0;
};

struct KeySet {
  KeySlot way[2];
};

// Process-wide like the class caches, and never freed: its references would otherwise be
// released after the interpreter is gone. Touched only with the interpreter lock held.
KeySet* key_sets = nullptr;

// Word at a time, the last word read whole from the end: no call for the tail, and every byte
// counts, so keys alike but for their middle still spread over the sets.
std::uint64_t key_hash(const char* p, std::size_t n) {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
  std::uint64_t h = n * k;
  std::uint64_t w = 0;
  while (n > 8) {
    std::memcpy(&w, p, 8);
    h = (h ^ w) * k;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n >= 4) {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    w = lo | (std::uint64_t{hi} << 32);
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    w = byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
  } else {
    w = 0;
  }
  h = (h ^ w) * k;
  return h ^ (h >> 32);
}

bool holds(const KeySlot& slot, std::uint64_t hash, std::string_view text) {
  return slot.hash == hash && slot.str != nullptr && slot.size == text.size() &&
         std::memcmp(slot.utf8, text.data(), text.size()) == 0;
}

}  // namespace

Owned key_string(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (text.size() > key_cache_longest) {
    return Owned::steal(PyUnicode_FromStringAndSize(text.data(), size));
  }
  if (key_sets == nullptr) {
    key_sets = new KeySet[key_cache_sets];
  }
  const std::uint64_t hash = key_hash(text.data(), text.size());
  KeySet& set = key_sets[hash & (key_cache_sets - 1)];
  if (holds(set.way[0], hash, text)) {
    return Owned::borrow(set.way[0].str);
  }
  if (holds(set.way[1], hash, text)) {
    std::swap(set.way[0], set.way[1]);
    return Owned::borrow(set.way[0].str);
  }
  Owned made = Owned::steal(PyUnicode_FromStringAndSize(text.data(), size));
  // Hashed now, so every dict the key goes into reads the hash instead of computing it.
  if (!made || PyObject_Hash(made.get()) == -1) {
    return Owned();
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(made.get(), &n);
  if (utf8 == nullptr) {
    return Owned();
  }
  // Making the str may have run a collection, and with it code that filled this very set:
  // the older way goes, whatever the set holds now.
  PyObject* old = set.way[1].str;
  set.way[1] = set.way[0];
  set.way[0] = KeySlot{hash, made.clone().release(), utf8, static_cast<std::size_t>(n)};
  Py_XDECREF(old);
  return made;
}

void Builder::fail() {
  failed_ = true;
  // Only the first failure is kept; a later one cannot happen while the walk has stopped
  // building, but must not leave an exception pending if it does.
  error_.park_error();
}

namespace {
constexpr const char* sequence_changed = "a sequence changed while it was validated";
}  // namespace

void Builder::unreadable(const PyInput& array, std::uint64_t i) {
  // The adapter swallowed the element's error, as reading must; a list the result needs
  // cannot leave the element out, so the build fails with the error a second read gives.
  Owned element = PyInput::sequence_item(array.object(), i);
  if (element) {
    PyErr_SetString(PyExc_RuntimeError, sequence_changed);
  }
  fail();
}

void Builder::fail_uncounted(const PyInput& array) {
  // As for an unreadable element: the adapter read a raising len() as 0, and an empty list
  // in the result would drop the caller's elements unchecked, so the build fails with the
  // error a second len() gives.
  if (PyObject_Size(array.object()) >= 0) {
    PyErr_SetString(PyExc_RuntimeError, sequence_changed);
  }
  fail();
}

bool Builder::set_new_key(Value& dict, std::string_view name, const Value& v) {
  Owned key = made(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  return key && checked(PyDict_SetItem(dict.get(), key.get(), v.get()));
}

PyObject* Builder::make_shape(const ObjectType& object) {
  Owned shape = made(PyDict_New());
  if (!shape) {
    return nullptr;
  }
  for (const Field& field : object.fields) {
    if (!set(shape, field.name, field.key_id, Owned::borrow(Py_None))) {
      return nullptr;
    }
  }
  Bindings::Shape& kept = bindings_.shapes[object.id];
  kept.dict = std::move(shape);
  return kept.dict.get();
}

bool Builder::leave_out(Value& dict, const Field& field) {
  // Every field has its interned key, the one its shape was made with.
  return checked(PyDict_DelItem(dict.get(), bindings_.key(field.key_id)));
}

Owned Builder::text_of(const std::string& schema_text) {
  if (PyObject* made_once = bindings_.text(schema_text)) {
    return Owned::borrow(made_once);
  }
  return made(
      PyUnicode_FromStringAndSize(schema_text.data(), static_cast<Py_ssize_t>(schema_text.size())));
}

Owned Builder::from_iso(std::string_view text, bool is_datetime, PyObject* own) {
  Owned arg;
  if (is_datetime && bindings_.iso_needs_rewrite(text)) {
    const std::string iso = python_iso(text);
    arg = made(PyUnicode_FromStringAndSize(iso.data(), static_cast<Py_ssize_t>(iso.size())));
  } else if (own != nullptr) {
    arg = Owned::borrow(own);
  } else {
    arg = made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  }
  if (!arg) {
    return {};
  }
  PyObject* convert =
      is_datetime ? bindings_.datetime_fromisoformat.get() : bindings_.date_fromisoformat.get();
  PyObject* result = PyObject_CallFunctionObjArgs(convert, arg.get(), nullptr);
  if (result == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
    // Valid text that Python's date types cannot hold (a year 0, a leap second) must not
    // surface as a crash of a payload just declared valid: it becomes an issue at this value.
    PyErr_Clear();
    std::string message = "`";
    message.append(text);
    message.append(is_datetime ? "` cannot be represented as a Python datetime"
                               : "` cannot be represented as a Python date");
    unrepresentable_ = Issue{Path{}, is_datetime ? Code::invalid_datetime : Code::invalid_date,
                             std::move(message)};
    failed_ = true;
    return {};
  }
  return made(result);
}

PyObject* Builder::finish(Owned result, IssueList&& issues) {
  if (!issues.empty()) {
    return raise_issues(std::move(issues));  // a parked build failure is dropped with error_
  }
  if (failed_) {
    if (unrepresentable_) {
      IssueList one;
      one.push_back(std::move(*unrepresentable_));
      return raise_issues(std::move(one));
    }
    error_.restore_error();
    return nullptr;
  }
  if (!result) {
    // The walk builds whenever it records no issue and no build fails.
    PyErr_SetString(PyExc_SystemError, "validation built no result");
    return nullptr;
  }
  return result.release();
}

}  // namespace vorn::py
