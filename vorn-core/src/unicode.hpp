// Unicode character properties (UCD 15.0, generated tables) and the quoted text form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

bool is_white_space(char32_t c);      // White_Space property
bool is_alphabetic(char32_t c);       // Alphabetic property
bool is_numeric(char32_t c);          // General category Nd, Nl or No
bool is_printable(char32_t c);        // not Cc, Cf, Zl, Zp, Zs (except U+0020), Co, Cn, Cs
bool is_grapheme_extend(char32_t c);  // Grapheme_Extend property

/// The double-quoted escaped form used by Schema and Issue reprs: `"` and `\` escaped,
/// \t \r \n \0, and \u{hex} for characters that are not printable or extend a grapheme.
std::string quoted(std::string_view utf8);

}  // namespace vorn
