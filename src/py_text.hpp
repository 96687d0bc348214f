// Engine text as Python str: the one conversion every binding file uses for it.
#pragma once

#include "python.hpp"

#include <string>
#include <string_view>

#include "py_owned.hpp"
#include "unicode.hpp"  // is_valid_utf8, replace_invalid_utf8

namespace vorn::py {

/// A new str holding UTF-8 text from the engine or the file system. Engine text is valid
/// UTF-8, but a file name need not be: a stray sequence shows as U+FFFD, as Python's own
/// "replace" decoding would show it, rather than make the text unreadable. Null with an
/// exception set on failure.
inline Owned engine_text(std::string_view utf8) {
  if (is_valid_utf8(utf8)) [[likely]] {
    return Owned::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
  }
  const std::string fixed = replace_invalid_utf8(utf8);
  return Owned::steal(
      PyUnicode_FromStringAndSize(fixed.data(), static_cast<Py_ssize_t>(fixed.size())));
}

}  // namespace vorn::py
