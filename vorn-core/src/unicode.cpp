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

// Decodes one scalar value at text[i] and advances i. The text is valid UTF-8 by contract;
// a stray byte still comes out as U+FFFD instead of reading past the end.
char32_t next_scalar(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t len = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
  if (len == 0 || i + len > text.size()) {
    ++i;
    return len == 1 ? lead : U'\uFFFD';
  }
  char32_t c = len == 1 ? lead : static_cast<char32_t>(lead & (0x7F >> len));
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return U'\uFFFD';
    }
    c = (c << 6) | (byte(i + k) & 0x3Fu);
  }
  i += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
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

std::string quoted(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t c = next_scalar(utf8, i);
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
