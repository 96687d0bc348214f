#include "format.hpp"

#include <cstddef>

namespace vorn {

namespace {

constexpr std::string_view format_names[] = {"uuid", "email", "hostname", "ipv4", "ipv6"};

// Byte classes on unsigned values, so bytes from 0x80 up (UTF-8 continuation and lead bytes)
// never pass as ASCII through sign extension.
constexpr bool is_digit(char c) {
  return static_cast<unsigned char>(c) - unsigned{'0'} < 10U;
}

constexpr bool is_hex(char c) {
  const unsigned u = static_cast<unsigned char>(c);
  return u - unsigned{'0'} < 10U || (u | 0x20U) - unsigned{'a'} < 6U;
}

constexpr bool is_letter(char c) {
  return (static_cast<unsigned char>(c) | 0x20U) - unsigned{'a'} < 26U;
}

// 1 to 4 hex digits: one 16-bit group of an IPv6 address.
bool is_hex_group(std::string_view s) {
  if (s.empty() || s.size() > 4) {
    return false;
  }
  for (char c : s) {
    if (!is_hex(c)) {
      return false;
    }
  }
  return true;
}

bool is_uuid(std::string_view s) {
  // Exactly the 8-4-4-4-12 layout: hyphens at these positions and hex digits elsewhere is
  // the same as five hyphen-separated hex pieces of those lengths.
  if (s.size() != 36) {
    return false;
  }
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool hyphen_slot = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen_slot ? s[i] != '-' : !is_hex(s[i])) {
      return false;
    }
  }
  return true;
}

bool is_email(std::string_view s) {
  const std::size_t at = s.rfind('@');
  if (at == std::string_view::npos) {
    return false;
  }
  const std::string_view local = s.substr(0, at);
  const std::string_view domain = s.substr(at + 1);
  if (local.empty() || local.size() > 64 || local.front() == '.' || local.back() == '.') {
    return false;
  }
  char prev = '\0';
  for (char c : local) {
    const unsigned u = static_cast<unsigned char>(c);
    // Blanks, controls, the quote and backslash of quoted local parts, '@' and DEL are out;
    // non-ASCII bytes are allowed as they come.
    if (u < 0x21U || u == 0x22U || u == 0x40U || u == 0x5CU || u == 0x7FU) {
      return false;
    }
    if (c == '.' && prev == '.') {
      return false;
    }
    prev = c;
  }
  return domain.find('.') != std::string_view::npos && is_hostname(domain);
}

// One side of an IPv6 address around "::": its group count and whether it ends in an
// embedded IPv4 address (which stands for two groups).
struct Ipv6Side {
  std::size_t groups = 0;
  bool embedded_ipv4 = false;
  bool ok = true;
};

Ipv6Side read_ipv6_side(std::string_view s) {
  Ipv6Side side;
  if (s.empty()) {
    return side;
  }
  for (;;) {
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos) {
      break;
    }
    if (!is_hex_group(s.substr(0, colon))) {
      side.ok = false;
      return side;
    }
    ++side.groups;
    s.remove_prefix(colon + 1);
  }
  if (s.find('.') != std::string_view::npos) {
    side.ok = is_ipv4(s);
    side.groups += 2;
    side.embedded_ipv4 = true;
  } else {
    side.ok = is_hex_group(s);
    side.groups += 1;
  }
  return side;
}

bool is_ipv6(std::string_view s) {
  if (s.find('%') != std::string_view::npos) {
    return false;
  }
  const std::size_t gap = s.find("::");
  const bool compressed = gap != std::string_view::npos;
  std::string_view head = s;
  std::string_view tail;
  if (compressed) {
    head = s.substr(0, gap);
    tail = s.substr(gap + 2);
    // A second "::" (found left to right, without overlap) would make the gap ambiguous.
    if (tail.find("::") != std::string_view::npos) {
      return false;
    }
  }
  const Ipv6Side h = read_ipv6_side(head);
  const Ipv6Side t = read_ipv6_side(tail);
  if (!h.ok || !t.ok) {
    return false;
  }
  if (h.embedded_ipv4) {
    return !compressed && h.groups == 8;
  }
  if (compressed) {
    // "::" stands for at least one group of zeros.
    return h.groups + t.groups < 8;
  }
  return h.groups == 8;
}

}  // namespace

std::optional<Format> format_parse(std::string_view name) {
  for (std::size_t i = 0; i < std::size(format_names); ++i) {
    if (format_names[i] == name) {
      return static_cast<Format>(i);
    }
  }
  return std::nullopt;
}

std::string_view format_name(Format format) {
  return format_names[static_cast<std::size_t>(format)];
}

std::string format_name_list() {
  std::string out;
  for (std::string_view name : format_names) {
    if (!out.empty()) {
      out += ", ";
    }
    out += name;
  }
  return out;
}

bool format_matches(Format format, std::string_view text) {
  switch (format) {
    case Format::Uuid:
      return is_uuid(text);
    case Format::Email:
      return is_email(text);
    case Format::Hostname:
      return is_hostname(text);
    case Format::Ipv4:
      return is_ipv4(text);
    case Format::Ipv6:
      return is_ipv6(text);
  }
  return false;
}

bool is_hostname(std::string_view text) {
  if (text.empty() || text.size() > 253) {
    return false;
  }
  std::size_t label_start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      const std::size_t len = i - label_start;
      if (len == 0 || len > 63 || text[label_start] == '-' || text[i - 1] == '-') {
        return false;
      }
      label_start = i + 1;
    } else if (!is_letter(text[i]) && !is_digit(text[i]) && text[i] != '-') {
      return false;
    }
  }
  return true;
}

bool is_ipv4(std::string_view text) {
  std::size_t pieces = 0;
  std::size_t i = 0;
  for (;;) {
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && i - start < 4 && is_digit(text[i])) {
      value = value * 10U + (static_cast<unsigned char>(text[i]) - unsigned{'0'});
      ++i;
    }
    const std::size_t len = i - start;
    // Leading zeros are refused because some readers take them as octal.
    if (len == 0 || len > 3 || value > 255 || (len > 1 && text[start] == '0')) {
      return false;
    }
    ++pieces;
    if (i == text.size()) {
      return pieces == 4;
    }
    if (text[i] != '.' || pieces == 4) {
      return false;
    }
    ++i;
  }
}

}  // namespace vorn
