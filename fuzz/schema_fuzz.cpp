// libFuzzer entry point for the schema-language parser. Every text either parses into a
// schema whose references all resolve, or fails with a position inside the text.
// Built with VORN_FUZZ=ON under clang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser.hpp"

namespace {

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

void check_type(const vorn::Type& type) {
  if (type.tag == vorn::Type::Tag::Array) {
    check(type.item != nullptr);
    check_type(*type.item);
  } else if (type.tag == vorn::Type::Tag::Map) {
    // A key is text and never nullable, which the walk relies on.
    check(type.key != nullptr && type.item != nullptr);
    check(type.key->tag == vorn::Type::Tag::String || type.key->tag == vorn::Type::Tag::Enum);
    check_type(*type.item);
  } else if (type.tag == vorn::Type::Tag::Ref) {
    check((type.ref_object != nullptr) != (type.ref_union != nullptr));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = vorn::parse(text);
  if (!parsed) {
    const vorn::ParseError& e = parsed.error();
    check(e.line >= 1 && e.column >= 1 && e.line <= size + 1 && e.column <= size + 1);
    return 0;
  }
  for (const auto& [name, object] : parsed.value().objects) {
    for (const vorn::Field& field : object.fields) {
      check_type(field.type);
      check(field.key_id < parsed.value().key_names.size());
    }
  }
  for (const auto& [name, u] : parsed.value().unions) {
    for (const vorn::Variant& v : u.variants) {
      check(v.object != nullptr && v.object->field(u.tag) == nullptr);
    }
  }
  return 0;
}
