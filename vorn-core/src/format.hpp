// The five string formats: purely syntactic, byte-oriented recognisers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "schema.hpp"

namespace vorn {

/// The format whose name equals the text byte for byte ("uuid", ...), or none.
std::optional<Format> format_parse(std::string_view name);

/// The format's name as the schema language and the "not a valid {name}" message write it.
std::string_view format_name(Format format);

/// Every format's name in declaration order, joined by ", ", for the parser's message.
std::string format_name_list();

/// Whether the UTF-8 text has the format's shape. Never fails.
bool format_matches(Format format, std::string_view text);

/// Host-name recogniser: 1 to 253 bytes of dot-separated labels of letters, digits and '-'.
bool is_hostname(std::string_view text);

/// IPv4 dotted-quad recogniser, no leading zeros.
bool is_ipv4(std::string_view text);

}  // namespace vorn
