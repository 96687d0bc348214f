#include "schema.hpp"

namespace vorn {

const Field* ObjectType::field(std::string_view wanted) const {
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
