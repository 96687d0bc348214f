#include "input.hpp"

namespace vorn {

std::string_view found_name(Kind kind) {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return "bool";
    case Kind::Integer:
      return "integer";
    case Kind::Float:
      return "float";
    case Kind::Str:
      return "string";
    case Kind::Array:
      return "array";
    case Kind::Object:
      return "object";
    case Kind::InexactInteger:
      return "integer beyond exact precision";
    case Kind::WideInteger:
      return "integer wider than 64 bits";
    case Kind::Unsupported:
      break;
  }
  return "unsupported value";
}

}  // namespace vorn
