#include "format.hpp"

namespace vorn {

namespace {

constexpr std::string_view format_names[] = {"uuid", "email", "hostname", "ipv4", "ipv6"};

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

}  // namespace vorn
