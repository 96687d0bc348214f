// JSON documents: a one-pass parser that enforces the validator's limits while it reads,
// the flat document it leaves, and json::Ref, the validator's input over one node of it.
#pragma once

#include <bit>  // std::bit_cast
#include <cstdint>
#include <cstring>  // std::memcmp, std::memcpy
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "input.hpp"
#include "result.hpp"

namespace vorn::json {

/// A failed parse. `line` and `column` are 1-based and count bytes; `code` is set only for
/// a breached limit (depth_exceeded or size_exceeded), which is reported as an issue rather
/// than as a syntax error.
struct JsonError {
  std::string message;
  std::uint64_t line = 1;
  std::uint64_t column = 1;
  std::optional<Code> code;

  /// "{line}:{column}: {message}".
  std::string text() const;
  /// One issue at the root path with the code and the message (no position) for a limit
  /// failure; empty for a syntax failure.
  IssueList as_validation() const;
};

/// A string of the source: the raw bytes between the quotes, escapes undecoded.
struct Span {
  std::uint32_t start = 0;  // byte offset of the first byte after the opening quote
  std::uint32_t len = 0;    // raw bytes up to the closing quote
  bool escaped = false;     // the raw bytes hold at least one backslash escape
};

/// Node kinds; the values are fixed and are the tag byte of a Node.
enum class NodeTag : std::uint8_t { Null, Bool, Integer, WideInteger, Float, Str, Array, Object };

/// One value of the document: a tag byte and a 12-byte payload, 16 bytes in all.
struct Node {
  NodeTag tag = NodeTag::Null;
  // Bool: the value. Integer: 1 when unsigned. Str: the span is escaped. Object: some key
  // is escaped, so two entries may decode to the same text.
  std::uint8_t flag = 0;
  std::uint16_t reserved = 0;
  std::uint32_t a = 0;  // Str: span start. Array, Object: start of the run.
  std::uint64_t b = 0;  // Integer: the word. Float: the bits. Str: span len. Array, Object: count.
};
static_assert(sizeof(Node) == 16);

/// One object member: the last value seen for the key and the key's first occurrence.
struct Entry {
  std::uint32_t value = 0;
  Span key;
};

namespace detail {

template <class W>
W load(const char* p) {
  W w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Byte equality of two texts of length n. Member names are short, and comparing them
// in overlapping words, inline, instead of calling memcmp took validation of the
// benchmark payload from 1.71 to 1.60 us, and its parse, where the duplicate-key check
// compares keys of equal length, from 1.90 to 1.84 us.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n >= 8) {
    if (n > 16) {
      return std::memcmp(a, b, n) == 0;
    }
    return ((load<std::uint64_t>(a) ^ load<std::uint64_t>(b)) |
            (load<std::uint64_t>(a + n - 8) ^ load<std::uint64_t>(b + n - 8))) == 0;
  }
  if (n >= 4) {
    return ((load<std::uint32_t>(a) ^ load<std::uint32_t>(b)) |
            (load<std::uint32_t>(a + n - 4) ^ load<std::uint32_t>(b + n - 4))) == 0;
  }
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

}  // namespace detail

class Ref;

/// The node index member lookups answer when there is no such member. Every node consumes
/// a byte of an input shorter than 2^32 bytes, so no node has this index.
inline constexpr std::uint32_t no_member = UINT32_MAX;

/// A parsed JSON text: flat vectors addressed by 32-bit indices, children before their
/// parents, so the root is the last node. Borrows the source bytes, which the caller keeps
/// alive and unchanged as long as the document; moving the document invalidates nothing.
class Document {
 public:
  /// Parses UTF-8 JSON text under `limits`. On failure returns the first error met: a
  /// limit failure (with a code) or a syntax failure (without one); no partial document.
  static Result<Document, JsonError> parse(std::string_view bytes, const Limits& limits);

  /// The root value; valid while this document lives and is not moved.
  Ref root() const;

  /// The text of a span: a view of the source when it has no escape, otherwise a decoded
  /// copy. A span outside the source reads as the empty text.
  Text text(Span span) const {
    if (span.start > source_.size() || span.len > source_.size() - span.start) {
      return Text(std::string_view());
    }
    std::string_view raw = source_.substr(span.start, span.len);
    return span.escaped ? Text(decode(raw)) : Text(raw);
  }

  /// The raw bytes of a span, escapes undecoded; empty for a span outside the source.
  std::string_view raw(Span span) const {
    if (span.start > source_.size() || span.len > source_.size() - span.start) {
      return {};
    }
    return source_.substr(span.start, span.len);
  }

  std::span<const Node> nodes() const { return nodes_; }
  std::span<const std::uint32_t> items() const { return items_; }
  std::span<const Entry> member_entries() const { return member_entries_; }
  std::string_view source() const { return source_; }
  std::uint32_t root_index() const { return root_; }

  /// Decodes the escapes of raw string bytes the parser has checked. Never fails: anything
  /// malformed (only reachable through a forged span) decodes to U+FFFD.
  static std::string decode(std::string_view raw);

 private:
  friend class Ref;

  // Whether an escaped key decodes to exactly `name`. Out of line: the decoding it needs
  // made every member lookup save and restore registers for a path only escaped keys take
  // (validation of the benchmark payload 1.65 -> 1.60 us).
  [[gnu::cold]] bool escaped_key_is(Span key, std::string_view name) const;

  Document(std::string_view source, std::vector<Node>&& nodes, std::vector<std::uint32_t>&& items,
           std::vector<Entry>&& entries, std::uint32_t root)
      : source_(source),
        nodes_(std::move(nodes)),
        items_(std::move(items)),
        member_entries_(std::move(entries)),
        root_(root) {}

  std::string_view source_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> items_;
  std::vector<Entry> member_entries_;
  std::uint32_t root_ = 0;
};

/// The validator's input over one node of a Document: a document pointer and a node index.
/// Copied freely; valid while the document lives. An index outside the document reads as
/// null everywhere.
class Ref {
 public:
  Ref(const Document* document, std::uint32_t index) : doc_(document), index_(index) {}

  const Document* document() const { return doc_; }
  std::uint32_t index() const { return index_; }

  Kind kind() const {
    // Static: a local table is rebuilt on the stack at every call, and the byte load from
    // the fresh 16-byte store stalled (a third of emit_json's samples; the benchmark's
    // JSON accept went from 9.5 to 9.1 us).
    static constexpr Kind kinds[] = {Kind::Null,  Kind::Bool, Kind::Integer, Kind::WideInteger,
                                     Kind::Float, Kind::Str,  Kind::Array,   Kind::Object};
    return kinds[static_cast<std::uint8_t>(node().tag)];
  }

  std::optional<bool> as_bool() const {
    const Node& n = node();
    if (n.tag != NodeTag::Bool) {
      return std::nullopt;
    }
    return n.flag != 0;
  }

  std::optional<IntValue> as_int() const {
    const Node& n = node();
    if (n.tag != NodeTag::Integer) {
      return std::nullopt;
    }
    return IntValue{n.b, n.flag != 0};
  }

  /// The value of a Float node, possibly infinite; none for every other node, integers too.
  std::optional<double> as_f64() const {
    const Node& n = node();
    if (n.tag != NodeTag::Float) {
      return std::nullopt;
    }
    return std::bit_cast<double>(n.b);
  }

  /// Borrowed from the source unless the string has escapes.
  std::optional<Text> as_str() const {
    const Node& n = node();
    if (n.tag != NodeTag::Str) {
      return std::nullopt;
    }
    return doc_->text(span_of(n));
  }

  /// The byte length of as_str(): the raw length unless the string has escapes.
  std::optional<std::uint64_t> str_size() const {
    const Node& n = node();
    if (n.tag != NodeTag::Str) {
      return std::nullopt;
    }
    if (n.flag == 0) {
      return doc_->raw(span_of(n)).size();
    }
    return doc_->text(span_of(n)).view().size();
  }

  /// Every Str text is exact here: the parser admits only valid UTF-8 and scalar values.
  std::string as_str_lossy() const { return {}; }

  /// Elements of an array, distinct keys of an object, 0 otherwise.
  std::uint64_t len() const {
    const Node& n = node();
    return n.tag == NodeTag::Array || n.tag == NodeTag::Object ? n.b : 0;
  }

  std::optional<Ref> item(std::uint64_t i) const {
    std::span<const std::uint32_t> run = elements();
    if (i >= run.size()) {
      return std::nullopt;
    }
    return Ref(doc_, run[i]);
  }

  /// The member whose key decodes to exactly the name; with decoded-equal keys, the first.
  /// The search starts at the hint, which moves past the entry found.
  Slot<Ref> slot(MemberName name, SlotHint& hint) const {
    const std::uint32_t found = member(name.text, hint);
    if (found == no_member) {
      return {};
    }
    Ref value(doc_, found);
    if (value.node().tag == NodeTag::Null) {
      return {SlotState::Null, std::nullopt};
    }
    return {SlotState::Present, value};
  }
  Slot<Ref> slot(MemberName name) const {
    SlotHint hint;
    return slot(name, hint);
  }

  /// The value node of the member whose key decodes to exactly the name (with
  /// decoded-equal keys, the first), or no_member; no_member for any node but an object.
  std::uint32_t member(std::string_view name, SlotHint& hint) const {
    const Node& n = node();
    // The parser made every object's run lie inside member_entries and every key span
    // inside the source, and nothing else makes nodes, so neither is checked again here.
    // With an escaped key in the object (flag), "the first" match needs search()'s full
    // scan: an earlier key may decode to the same name.
    if (n.tag == NodeTag::Object && n.flag == 0 && hint.next < n.b) {
      const Entry& e = doc_->member_entries_[n.a + hint.next];
      if (e.key.len == name.size() &&
          detail::same_bytes(doc_->source_.data() + e.key.start, name.data(), name.size())) {
        ++hint.next;
        return e.value;
      }
    }
    return search(name, hint);
  }
  std::uint32_t member(std::string_view name) const {
    SlotHint hint;
    return member(name, hint);
  }

  /// Calls f(std::string_view key) for each member in document order; the text lives only
  /// during the call.
  template <class F>
  void each_key(F&& f) const {
    for (const Entry& e : entries()) {
      if (!e.key.escaped) {
        f(doc_->raw(e.key));
      } else {
        std::string decoded = Document::decode(doc_->raw(e.key));
        f(std::string_view(decoded));
      }
    }
  }

  /// Calls f(Text key, Ref value) for each member in document order.
  template <class F>
  void each_entry(F&& f) const {
    for (const Entry& e : entries()) {
      f(doc_->text(e.key), Ref(doc_, e.value));
    }
  }

  /// Calls f(Ref element) for each element of an array, in order.
  template <class F>
  void each_item(F&& f) const {
    for (std::uint32_t i : elements()) {
      f(Ref(doc_, i));
    }
  }

  /// JSON values are never shared, so the validator need not track them.
  const void* identity() const { return nullptr; }

  /// The members of an Object node; empty for any other node.
  std::span<const Entry> entries() const {
    const Node& n = node();
    const std::vector<Entry>& all = doc_->member_entries_;
    if (n.tag != NodeTag::Object || n.a > all.size() || n.b > all.size() - n.a) {
      return {};
    }
    return std::span<const Entry>(all).subspan(n.a, static_cast<std::size_t>(n.b));
  }

  /// The element indices of an Array node; empty for any other node.
  std::span<const std::uint32_t> elements() const {
    const Node& n = node();
    const std::vector<std::uint32_t>& all = doc_->items_;
    if (n.tag != NodeTag::Array || n.a > all.size() || n.b > all.size() - n.a) {
      return {};
    }
    return std::span<const std::uint32_t>(all).subspan(n.a, static_cast<std::size_t>(n.b));
  }

  /// The node itself; a null node for an index outside the document.
  const Node& node() const {
    static constexpr Node null_node{};
    return index_ < doc_->nodes_.size() ? doc_->nodes_[index_] : null_node;
  }

 private:
  // The lookup past the hinted entry. Out of line, so that the hinted comparison, which
  // answers members written in declaration order, inlines into its callers without the
  // register saves this loop needs (validation of the benchmark payload 1.53 -> 1.32 us,
  // its JSON accept 8.1 -> 7.5 us).
  [[gnu::noinline]] std::uint32_t search(std::string_view name, SlotHint& hint) const {
    const Node& n = node();
    if (n.tag != NodeTag::Object) {
      return no_member;
    }
    const Entry* run = doc_->member_entries_.data() + n.a;
    const auto count = static_cast<std::uint32_t>(n.b);
    const char* source = doc_->source_.data();
    const auto size = static_cast<std::uint32_t>(name.size());
    // Raw-equal keys were merged while parsing, so without escapes at most one entry can
    // match and the search may start anywhere. With escapes, "the first" needs a full scan.
    std::uint32_t i = n.flag == 0 && hint.next < count ? hint.next : 0;
    for (std::uint32_t k = 0; k < count; ++k) {
      const Entry& e = run[i];
      const bool match =
          e.key.escaped
              ? doc_->escaped_key_is(e.key, name)
              : e.key.len == size && detail::same_bytes(source + e.key.start, name.data(), size);
      if (match) {
        hint.next = i + 1;
        return e.value;
      }
      if (++i == count) {
        i = 0;
      }
    }
    return no_member;
  }

  static Span span_of(const Node& n) {
    return Span{n.a, static_cast<std::uint32_t>(n.b), n.flag != 0};
  }

  const Document* doc_;
  std::uint32_t index_;
};

static_assert(Input<Ref>);

inline Ref Document::root() const {
  return Ref(this, root_);
}

}  // namespace vorn::json
