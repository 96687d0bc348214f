#include "schema.hpp"

namespace vorn {

std::string_view int_type_name(const Type& type) {
  static constexpr std::string_view names[2][4] = {{"u8", "u16", "u32", "u64"},
                                                   {"i8", "i16", "i32", "i64"}};
  return names[type.is_signed ? 1 : 0][static_cast<std::size_t>(type.width)];
}

const Field* ObjectType::field(std::string_view wanted) const {
  if (!index.empty()) {
    auto it = index.find(wanted);
    return it == index.end() ? nullptr : &fields[it->second];
  }
  for (const Field& f : fields) {
    if (f.name == wanted) {
      return &f;
    }
  }
  return nullptr;
}

const Variant* UnionType::variant(std::string_view tag_value) const {
  for (const Variant& v : variants) {
    if (v.tag == tag_value) {
      return &v;
    }
  }
  return nullptr;
}

const ObjectType* Schema::get(std::string_view name) const {
  auto it = objects.find(name);
  return it == objects.end() ? nullptr : &it->second;
}

const UnionType* Schema::get_union(std::string_view name) const {
  auto it = unions.find(name);
  return it == unions.end() ? nullptr : &it->second;
}

bool Schema::declares(std::string_view name) const {
  return get(name) != nullptr || get_union(name) != nullptr;
}

}  // namespace vorn
