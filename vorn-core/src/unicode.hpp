// All UTF-8 work of the engine and the binding: validation, decoding, encoding, counting
// scalar values and U+FFFD replacement; and the Unicode character properties (UCD 15.0,
// generated tables) with the quoted text form built on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>  // _mm_loadu_si128, _mm_movemask_epi8, _mm_or_si128
#endif

namespace vorn {

namespace utf8_detail {

inline std::uint64_t load64(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

constexpr std::uint64_t highs = 0x8080808080808080ULL;

}  // namespace utf8_detail

/// Writes the UTF-8 form of a scalar value (or of any code point below 0x110000), one to
/// four bytes, at `out` and returns the position past it.
inline char* encode_utf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

/// Appends the UTF-8 form of a scalar value (or of any code point below 0x110000).
inline void append_utf8(std::string& out, char32_t c) {
  char buf[4];
  out.append(buf, encode_utf8(buf, c));
}

/// Whether the byte continues a sequence rather than starting a character.
inline bool is_utf8_continuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

/// The number of scalar values in valid UTF-8 text: every byte that does not continue a
/// sequence starts one.
inline std::uint64_t count_scalars(std::string_view utf8) {
  std::uint64_t count = 0;
  for (char c : utf8) {
    count += is_utf8_continuation(c) ? 0u : 1u;
  }
  return count;
}

/// The byte length of the character that starts with the byte in valid UTF-8 text.
inline std::size_t utf8_length(char lead) {
  const auto b = static_cast<unsigned char>(lead);
  return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
}

/// One character read from text that may not be valid UTF-8.
struct Utf8Char {
  char32_t c = 0;       // the scalar value; 0 when invalid
  std::size_t len = 1;  // bytes read: the sequence, or for an invalid one its maximal
                        // prefix that could still have begun a character (at least 1)
  bool valid = true;
};

/// Decodes the character at text[i] (i below the size): shortest forms only, no surrogates,
/// nothing beyond U+10FFFF.
inline Utf8Char decode_utf8(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    return {b0, 1, true};
  }
  std::size_t len = 0;
  char32_t c = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    c = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    // E0 excludes overlong forms, ED the surrogates.
    len = 3;
    c = b0 & 0x0Fu;
    lo = b0 == 0xE0 ? 0xA0 : 0x80;
    hi = b0 == 0xED ? 0x9F : 0xBF;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    // F0 excludes overlong forms, F4 everything past U+10FFFF.
    len = 4;
    c = b0 & 0x07u;
    lo = b0 == 0xF0 ? 0x90 : 0x80;
    hi = b0 == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {0, 1, false};
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (i + k >= text.size()) {
      return {0, k, false};
    }
    const unsigned char b = byte(i + k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
      return {0, k, false};
    }
    c = (c << 6) | (b & 0x3Fu);
  }
  return {c, len, true};
}

/// Whether [p, end) is well-formed UTF-8: shortest forms only, no surrogates, nothing
/// beyond U+10FFFF.
inline bool is_valid_utf8(const char* p, const char* end) {
  while (p != end) {
#if defined(__SSE2__)
    // Four blocks per test: one movemask for 64 bytes took the parse of the benchmark's
    // 1,613-byte order document, whose check this is, from 1.89 to 1.84 us.
    while (end - p >= 64) {
      const auto* v = reinterpret_cast<const __m128i*>(p);
      const __m128i any =
          _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                       _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
      if (_mm_movemask_epi8(any) != 0) {
        break;
      }
      p += 64;
    }
    while (end - p >= 16 &&
           _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0) {
      p += 16;
    }
#endif
    while (end - p >= 8 && (utf8_detail::load64(p) & utf8_detail::highs) == 0) {
      p += 8;
    }
    // Then one character at a time, until the next run of ASCII.
    while (p != end) {
      const auto c = static_cast<unsigned char>(*p);
      if (c < 0x80) {
        ++p;
        break;
      }
      const auto left = end - p;
      auto cont = [&](std::ptrdiff_t i, unsigned lo, unsigned hi) {
        const auto b = static_cast<unsigned char>(p[i]);
        return b >= lo && b <= hi;
      };
      if (c >= 0xC2 && c <= 0xDF) {
        if (left < 2 || !cont(1, 0x80, 0xBF)) {
          return false;
        }
        p += 2;
      } else if (c >= 0xE0 && c <= 0xEF) {
        // E0 excludes overlong forms, ED the surrogates.
        const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = c == 0xED ? 0x9F : 0xBF;
        if (left < 3 || !cont(1, lo, hi) || !cont(2, 0x80, 0xBF)) {
          return false;
        }
        p += 3;
      } else if (c >= 0xF0 && c <= 0xF4) {
        // F0 excludes overlong forms, F4 everything past U+10FFFF.
        const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
        if (left < 4 || !cont(1, lo, hi) || !cont(2, 0x80, 0xBF) || !cont(3, 0x80, 0xBF)) {
          return false;
        }
        p += 4;
      } else {
        return false;
      }
    }
  }
  return true;
}

inline bool is_valid_utf8(std::string_view text) {
  return is_valid_utf8(text.data(), text.data() + text.size());
}

/// The text with each invalid sequence replaced by one U+FFFD, sequences cut at their
/// longest prefix that could have begun a character; the same text as Python's
/// bytes.decode("utf-8", "replace") gives.
std::string replace_invalid_utf8(std::string_view text);

/// UTF-8 that admits surrogates (Python's "surrogatepass" encoding) made valid: each lone
/// surrogate, ED A0..BF xx, becomes `per_surrogate` U+FFFD characters.
std::string replace_surrogates(std::string_view bytes, int per_surrogate);

bool is_white_space(char32_t c);      // White_Space property
bool is_alphabetic(char32_t c);       // Alphabetic property
bool is_numeric(char32_t c);          // General category Nd, Nl or No
bool is_printable(char32_t c);        // not Cc, Cf, Zl, Zp, Zs (except U+0020), Co, Cn, Cs
bool is_grapheme_extend(char32_t c);  // Grapheme_Extend property

/// The double-quoted escaped form used by Schema and Issue reprs: `"` and `\` escaped,
/// \t \r \n \0, and \u{hex} for characters that are not printable or extend a grapheme.
std::string quoted(std::string_view utf8);

}  // namespace vorn
