// The JSON road of the output builder: every value of the result is created anew from the
// parsed document, since no Python object exists for it yet.
#include "python.hpp"

#include "py_output.hpp"

#include "validate.hpp"  // shape

namespace vorn::py {

namespace {

Owned new_str(std::string_view text) {
  return Owned::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The Python value of a scalar node; containers are left to the callers.
Owned scalar(const json::Document& doc, const json::Node& node) {
  switch (node.tag) {
    case json::NodeTag::Bool:
      return Owned::borrow(node.flag != 0 ? Py_True : Py_False);
    case json::NodeTag::Integer:
      if (node.flag != 0) {
        return Owned::steal(PyLong_FromUnsignedLongLong(node.b));
      }
      return Owned::steal(PyLong_FromLongLong(static_cast<long long>(node.b)));
    case json::NodeTag::Float:
      return Owned::steal(PyFloat_FromDouble(std::bit_cast<double>(node.b)));
    case json::NodeTag::Str:
      if (node.flag == 0) {
        // No escape: the raw bytes are the text, already checked as UTF-8.
        return new_str(doc.raw(json::Span{node.a, static_cast<std::uint32_t>(node.b), false}));
      }
      return new_str(doc.text(json::Span{node.a, static_cast<std::uint32_t>(node.b), true}).view());
    case json::NodeTag::Null:
    case json::NodeTag::WideInteger:  // no digits kept; validation never lets one through
    case json::NodeTag::Array:
    case json::NodeTag::Object:
      break;
  }
  return Owned::borrow(Py_None);
}

bool is_scalar(json::NodeTag tag) {
  return tag != json::NodeTag::Array && tag != json::NodeTag::Object;
}

// Types whose value is the node's plain conversion.
bool is_plain(Type::Tag tag) {
  return tag == Type::Tag::Bool || tag == Type::Tag::Int || tag == Type::Tag::Float ||
         tag == Type::Tag::String || tag == Type::Tag::Enum;
}

}  // namespace

Owned Out::object_from_json(const ObjectType& object, json::Ref r, const std::string* tag) {
  RecursionGuard guard;
  if (!guard) {
    return {};
  }
  Owned result = Owned::steal(PyDict_New());
  if (!result) {
    return {};
  }
  const json::Document& doc = *r.document();
  SlotHint hint;
  if (tag != nullptr) {
    const std::uint32_t found = r.member(*tag, hint);
    if (found != json::no_member && json::Ref(&doc, found).node().tag != json::NodeTag::Null) {
      Key key(bindings_, *tag, no_key_id);
      if (key.get() == nullptr) {
        return {};
      }
      Owned value = plain_json(json::Ref(&doc, found));
      if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) {
        return {};
      }
    }
  }
  const std::span<const json::Node> nodes = doc.nodes();
  for (const Field& field : object.fields) {
    const std::uint32_t found = r.member(field.name, hint);
    if (found == json::no_member) {
      continue;
    }
    // A scalar of a plain type (null included) straight from its node, without the call
    // into emit_json (benchmark JSON accept 7.47 -> 7.36 us).
    const json::Node& node = nodes[found];
    Owned value = is_plain(field.type.tag) && is_scalar(node.tag)
                      ? scalar(doc, node)
                      : emit_json(field.type, json::Ref(&doc, found));
    if (!value) {
      unwind(Segment{field.name, 0, false});
      return {};
    }
    Key key(bindings_, field.name, field.key_id);
    if (key.get() == nullptr || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) {
      return {};
    }
  }
  return result;
}

template <class Convert>
Owned Out::list_from_json(json::Ref r, Convert&& convert) {
  RecursionGuard guard;
  if (!guard) {
    return {};
  }
  std::span<const std::uint32_t> elements = r.elements();
  Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
  if (!list) {
    return {};
  }
  for (std::size_t i = 0; i < elements.size(); ++i) {
    Owned element = convert(json::Ref(r.document(), elements[i]));
    if (!element) {
      unwind(Segment{std::string(), i, true});
      return {};
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element.release());
  }
  return list;
}

Owned Out::emit_json(const Type& type, json::Ref r) {
  const json::Node& node = r.node();
  if (node.tag == json::NodeTag::Null) {
    return Owned::borrow(Py_None);
  }
  switch (type.tag) {
    case Type::Tag::Bool:
    case Type::Tag::Int:
    case Type::Tag::Float:
    case Type::Tag::String:
    case Type::Tag::Enum:
      if (is_scalar(node.tag)) {
        return scalar(*r.document(), node);
      }
      break;
    case Type::Tag::Date:
    case Type::Tag::DateTime: {
      std::optional<Text> text = r.as_str();
      if (!text) {
        break;
      }
      return date_from_text(type.tag == Type::Tag::DateTime, text->view());
    }
    case Type::Tag::Array: {
      if (node.tag != json::NodeTag::Array || !type.item) {
        break;
      }
      return list_from_json(r, [&](json::Ref element) { return emit_json(*type.item, element); });
    }
    case Type::Tag::Ref: {
      if (type.ref_object != nullptr) {
        return object_from_json(*type.ref_object, r, nullptr);
      }
      std::optional<Target> target = shape(type.ref_object, type.ref_union, r);
      if (!target) {
        break;
      }
      return object_from_json(*target->object, r, target->tag);
    }
  }
  return plain_json(r);
}

Owned Out::plain_json(json::Ref r) {
  const json::Node& node = r.node();
  switch (node.tag) {
    case json::NodeTag::Array: {
      return list_from_json(r, [&](json::Ref element) { return plain_json(element); });
    }
    case json::NodeTag::Object: {
      RecursionGuard guard;
      if (!guard) {
        return {};
      }
      Owned dict = Owned::steal(PyDict_New());
      if (!dict) {
        return {};
      }
      // Keys that decode alike (a and \u0061) meet here as equal str keys: the later value
      // overwrites and the earlier position stays, as dict assignment does.
      for (const json::Entry& e : r.entries()) {
        Owned key = new_str(r.document()->text(e.key).view());
        if (!key) {
          return {};
        }
        Owned value = plain_json(json::Ref(r.document(), e.value));
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
          return {};
        }
      }
      return dict;
    }
    default:
      return scalar(*r.document(), node);
  }
}

}  // namespace vorn::py
