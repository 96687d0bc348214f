#include "unicode.hpp"

#include <algorithm>  // std::upper_bound
#include <iterator>   // std::begin, std::end

#include "unicode_tables.hpp"

namespace vorn {

namespace {

using unicode_tables::CodeRange;

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t c) {
  // The first range starting after c; c is inside the one before it, if any.
  const CodeRange* it =
      std::upper_bound(std::begin(table), std::end(table), c,
                       [](char32_t v, const CodeRange& r) { return v < r.first; });
  return it != std::begin(table) && c <= (it - 1)->last;
}

void append_hex_escape(std::string& out, char32_t c) {
  constexpr char digits[] = "0123456789abcdef";
  char buf[8];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = digits[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  out.append(p, end);
  out.push_back('}');
}

}  // namespace

bool is_white_space(char32_t c) {
  return in_table(unicode_tables::white_space_ranges, c);
}

bool is_alphabetic(char32_t c) {
  return in_table(unicode_tables::alphabetic_ranges, c);
}

bool is_numeric(char32_t c) {
  return in_table(unicode_tables::numeric_ranges, c);
}

bool is_printable(char32_t c) {
  return in_table(unicode_tables::printable_ranges, c);
}

bool is_grapheme_extend(char32_t c) {
  return in_table(unicode_tables::grapheme_extend_ranges, c);
}

std::string replace_invalid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char d = decode_utf8(text, i);
    if (d.valid) {
      out.append(text.substr(i, d.len));
    } else {
      append_utf8(out, U'\uFFFD');
    }
    i += d.len;
  }
  return out;
}

std::string replace_surrogates(std::string_view bytes, int per_surrogate) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const bool surrogate = b == 0xED && i + 2 < bytes.size() &&
                           (static_cast<unsigned char>(bytes[i + 1]) & 0xE0u) == 0xA0u;
    if (surrogate) {
      for (int k = 0; k < per_surrogate; ++k) {
        append_utf8(out, U'\uFFFD');
      }
      i += 2;
    } else {
      out += bytes[i];
    }
  }
  return out;
}

std::string quoted(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < utf8.size();) {
    // The text is valid UTF-8 by contract; a stray sequence still shows as U+FFFD.
    const Utf8Char d = decode_utf8(utf8, i);
    i += d.len;
    const char32_t c = d.valid ? d.c : U'\uFFFD';
    switch (c) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else if (!is_printable(c) || is_grapheme_extend(c)) {
          append_hex_escape(out, c);
        } else {
          append_utf8(out, c);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace vorn
