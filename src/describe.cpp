// Schema.describe(). Every call builds fresh objects, so a caller may mutate the result.
#include "python.hpp"

#include <climits>  // LLONG_MIN, LLONG_MAX
#include <string>
#include <string_view>

#include "describe.hpp"
#include "format.hpp"  // format_name
#include "int128.hpp"  // to_decimal
#include "py_owned.hpp"
#include "py_text.hpp"  // engine_text

namespace vorn::py {

const char describe_doc[] =
    "describe($self)\n--\n\n"
    "The schema as plain data, for tooling that generates types.\n\n"
    "Deliberately not a validator: it carries shape, not rules-as-behaviour.\n"
    "Each binding renders its own language's types from this, which is why\n"
    "it is exposed instead of writing the code generator inside the engine.";

namespace {

Owned text(std::string_view s) {
  return engine_text(s);
}

Owned boolean(bool b) {
  return Owned::borrow(b ? Py_True : Py_False);
}

Owned count(std::uint64_t n) {
  return Owned::steal(PyLong_FromUnsignedLongLong(n));
}

// Range bounds span the whole signed 128-bit range, beyond what any C conversion takes;
// the decimal text converts exactly.
Owned wide(Int128 v) {
  if (v >= LLONG_MIN && v <= LLONG_MAX) {
    return Owned::steal(PyLong_FromLongLong(static_cast<long long>(v)));
  }
  const std::string digits = to_decimal(v);
  return Owned::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
}

// Sets dict[key] = value; a null value is a failed constructor whose error is already set.
bool put(PyObject* dict, const char* key, const Owned& value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Owned describe_type(const Type& type) {
  Owned d = Owned::steal(PyDict_New());
  if (!d) {
    return d;
  }
  bool ok = true;
  switch (type.tag) {
    case Type::Tag::Bool:
      ok = put(d.get(), "kind", text("bool"));
      break;
    case Type::Tag::Int: {
      // A JS number holds integers exactly only up to 2^53, which 32-bit widths never reach.
      ok = put(d.get(), "kind", text("int")) && put(d.get(), "name", text(int_type_name(type))) &&
           put(d.get(), "signed", boolean(type.is_signed)) &&
           put(d.get(), "fits_js_number", boolean(type.width != IntWidth::W64));
      break;
    }
    case Type::Tag::Float:
      ok = put(d.get(), "kind", text("float"));
      break;
    case Type::Tag::String:
      ok = put(d.get(), "kind", text("string"));
      break;
    case Type::Tag::Date:
      ok = put(d.get(), "kind", text("date"));
      break;
    case Type::Tag::DateTime:
      ok = put(d.get(), "kind", text("datetime"));
      break;
    case Type::Tag::Enum: {
      Owned values = Owned::steal(PyList_New(static_cast<Py_ssize_t>(type.values.size())));
      if (!values) {
        return values;
      }
      for (std::size_t i = 0; i < type.values.size(); ++i) {
        Owned v = text(type.values[i]);
        if (!v || PyList_SetItem(values.get(), static_cast<Py_ssize_t>(i), v.release()) < 0) {
          return Owned();
        }
      }
      ok = put(d.get(), "kind", text("enum")) && put(d.get(), "values", values);
      break;
    }
    case Type::Tag::Array:
      // Recursion is bounded: the parser refuses array types nested deeper than 256.
      ok = put(d.get(), "kind", text("array")) && put(d.get(), "item", describe_type(*type.item)) &&
           put(d.get(), "item_nullable", boolean(type.item_nullable));
      break;
    case Type::Tag::Ref:
      ok = put(d.get(), "kind", text("ref")) && put(d.get(), "name", text(type.name));
      break;
  }
  return ok ? std::move(d) : Owned();
}

Owned describe_rule(const Rule& rule) {
  Owned d = Owned::steal(PyDict_New());
  if (!d) {
    return d;
  }
  bool ok = true;
  switch (rule.tag) {
    case Rule::Tag::MinLen:
      ok = put(d.get(), "rule", text("min_len")) && put(d.get(), "value", count(rule.count));
      break;
    case Rule::Tag::MaxLen:
      ok = put(d.get(), "rule", text("max_len")) && put(d.get(), "value", count(rule.count));
      break;
    case Rule::Tag::Range:
      ok = put(d.get(), "rule", text("range")) && put(d.get(), "min", wide(rule.min)) &&
           put(d.get(), "max", wide(rule.max));
      break;
    case Rule::Tag::MinItems:
      ok = put(d.get(), "rule", text("min_items")) && put(d.get(), "value", count(rule.count));
      break;
    case Rule::Tag::MaxItems:
      ok = put(d.get(), "rule", text("max_items")) && put(d.get(), "value", count(rule.count));
      break;
    case Rule::Tag::Format:
      ok = put(d.get(), "rule", text("format")) &&
           put(d.get(), "value", text(format_name(rule.format)));
      break;
  }
  return ok ? std::move(d) : Owned();
}

Owned describe_field(const Field& field) {
  Owned rules = Owned::steal(PyList_New(static_cast<Py_ssize_t>(field.rules.size())));
  if (!rules) {
    return rules;
  }
  for (std::size_t i = 0; i < field.rules.size(); ++i) {
    Owned r = describe_rule(field.rules[i]);
    if (!r || PyList_SetItem(rules.get(), static_cast<Py_ssize_t>(i), r.release()) < 0) {
      return Owned();
    }
  }
  Owned d = Owned::steal(PyDict_New());
  if (!d || !put(d.get(), "name", text(field.name)) ||
      !put(d.get(), "type", describe_type(field.type)) ||
      !put(d.get(), "optional", boolean(field.optional)) ||
      !put(d.get(), "nullable", boolean(field.nullable)) || !put(d.get(), "rules", rules)) {
    return Owned();
  }
  return d;
}

Owned describe_object(const ObjectType& object) {
  Owned fields = Owned::steal(PyList_New(static_cast<Py_ssize_t>(object.fields.size())));
  if (!fields) {
    return fields;
  }
  for (std::size_t i = 0; i < object.fields.size(); ++i) {
    Owned f = describe_field(object.fields[i]);
    if (!f || PyList_SetItem(fields.get(), static_cast<Py_ssize_t>(i), f.release()) < 0) {
      return Owned();
    }
  }
  Owned d = Owned::steal(PyDict_New());
  if (!d || !put(d.get(), "kind", text("object")) || !put(d.get(), "name", text(object.name)) ||
      !put(d.get(), "deny_unknown_fields", boolean(object.deny_unknown_fields)) ||
      !put(d.get(), "fields", fields)) {
    return Owned();
  }
  return d;
}

Owned describe_union(const UnionType& u) {
  Owned variants = Owned::steal(PyList_New(static_cast<Py_ssize_t>(u.variants.size())));
  if (!variants) {
    return variants;
  }
  for (std::size_t i = 0; i < u.variants.size(); ++i) {
    Owned v = Owned::steal(PyDict_New());
    if (!v || !put(v.get(), "tag", text(u.variants[i].tag)) ||
        !put(v.get(), "type", text(u.variants[i].type_name)) ||
        PyList_SetItem(variants.get(), static_cast<Py_ssize_t>(i), v.release()) < 0) {
      return Owned();
    }
  }
  Owned d = Owned::steal(PyDict_New());
  if (!d || !put(d.get(), "kind", text("union")) || !put(d.get(), "name", text(u.name)) ||
      !put(d.get(), "tag", text(u.tag)) || !put(d.get(), "variants", variants)) {
    return Owned();
  }
  return d;
}

// Keys are names the lexer took from valid UTF-8, so the sized constructor never fails on
// their content; a failure here is memory.
bool put_named(PyObject* result, const std::string& name, Owned&& value) {
  if (!value) {
    return false;
  }
  Owned key = text(name);
  return key && PyDict_SetItem(result, key.get(), value.get()) == 0;
}

}  // namespace

PyObject* describe_schema(const Schema& schema) {
  Owned result = Owned::steal(PyDict_New());
  if (!result) {
    return nullptr;
  }
  for (const auto& [name, object] : schema.objects) {
    if (!put_named(result.get(), name, describe_object(object))) {
      return nullptr;
    }
  }
  for (const auto& [name, u] : schema.unions) {
    if (!put_named(result.get(), name, describe_union(u))) {
      return nullptr;
    }
  }
  return result.release();
}

}  // namespace vorn::py
