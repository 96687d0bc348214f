// libFuzzer entry point for the JSON parser and its input adapter. The first byte picks the
// limits, the rest is the document; every document that parses is walked in full and its
// structural invariants are checked, so a fault shows as a trap, not only as a sanitizer
// report. Built with VORN_FUZZ=ON under clang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json.hpp"

namespace {

using vorn::json::Document;
using vorn::json::NodeTag;
using vorn::json::Ref;

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// Walks the value below `r`, whose index must lie below `bound`: children come before
// their parents.
void walk(const Document& doc, Ref r, std::uint32_t bound, int depth) {
  check(r.index() < bound);
  check(depth <= 257);
  switch (r.tag()) {
    case NodeTag::Str: {
      std::optional<vorn::Text> text = r.as_str();
      check(text.has_value());
      check(text->view().size() <= r.str_raw().size());
      break;
    }
    case NodeTag::Array: {
      check(r.elements().size() == r.len());
      std::uint64_t i = 0;
      r.each_item([&](Ref e) {
        check(r.item(i).has_value() && r.item(i)->index() == e.index());
        walk(doc, e, r.index(), depth + 1);
        ++i;
      });
      check(i == r.len() && !r.item(i));
      break;
    }
    case NodeTag::Object: {
      // each_key and each_entry walk the entries in order, each key once.
      std::uint64_t keys = 0;
      r.each_key([&](std::string_view key) {
        check(keys < r.entries().size() && key == doc.key_text(r.entries()[keys].key));
        ++keys;
      });
      check(keys == r.len());
      std::uint64_t members = 0;
      r.each_entry([&](const vorn::Text& key, Ref value) {
        const vorn::json::Entry& e = r.entries()[members];
        check(key.view() == doc.key_text(e.key) && value.index() == e.value);
        ++members;
      });
      check(members == keys);
      for (const vorn::json::Entry& e : r.entries()) {
        // Keys are distinct texts after merging, so a key finds its own entry.
        const std::string_view name = doc.key_text(e.key);
        for (const vorn::json::Entry& other : r.entries()) {
          check(&e == &other || doc.key_text(other.key) != name);
        }
        vorn::Slot<Ref> slot = r.slot(vorn::MemberName{name, 0});
        const bool is_null = Ref(&doc, e.value).kind() == vorn::Kind::Null;
        check(slot.state == (is_null ? vorn::SlotState::Null : vorn::SlotState::Present));
        check(is_null || slot.value->index() == e.value);
        walk(doc, Ref(&doc, e.value), r.index(), depth + 1);
      }
      break;
    }
    case NodeTag::Integer:
      check(r.as_int().has_value());
      break;
    case NodeTag::Float:
      check(r.as_f64().has_value());
      break;
    case NodeTag::Null:
    case NodeTag::Bool:
    case NodeTag::WideInteger:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  vorn::Limits limits = vorn::default_limits;
  const std::uint8_t pick = data[0];
  if ((pick & 0x80) != 0) {
    limits.max_depth = pick & 0x07;
    limits.max_items = (pick >> 3) & 0x03;
    limits.max_string_bytes = (pick >> 1) & 0x0F;
    limits.max_object_keys = (pick >> 4) & 0x07;
  }
  // A private copy, so reads past the end are caught by the sanitizers.
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto parsed = Document::parse(text, limits);
  if (!parsed) {
    const vorn::json::JsonError& e = parsed.error();
    check(e.line >= 1 && e.column >= 1 && !e.message.empty());
    check(e.as_validation().size() == (e.code ? 1u : 0u));
    return 0;
  }
  const Document doc = std::move(parsed).value();
  check(!doc.nodes().empty() && doc.root_index() == doc.nodes().size() - 1);
  walk(doc, doc.root(), static_cast<std::uint32_t>(doc.nodes().size()), 0);
  return 0;
}
