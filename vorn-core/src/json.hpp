// JSON documents: a one-pass parser that enforces the validator's limits while it reads,
// the flat document it leaves, and json::Ref, the validator's input over one node of it.
// The parser's grammars for numbers, strings and keys live in json_number, json_string and
// json_key.
#pragma once

#include <algorithm>  // std::lower_bound, std::binary_search
#include <bit>        // std::bit_cast
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "inline_vector.hpp"
#include "input.hpp"
#include "json_key.hpp"  // same_bytes
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

class Ref;
class Document;

/// One value of the document: a tag byte and a 12-byte payload, 16 bytes in all. The parser
/// makes nodes; only Ref and Document read them, so their layout can change without
/// touching a reader.
class Node {
 public:
  constexpr Node() = default;
  constexpr Node(NodeTag tag, std::uint8_t flag, std::uint32_t a, std::uint64_t b)
      : tag_(tag), flag_(flag), a_(a), b_(b) {}

 private:
  friend class Ref;
  friend class Document;

  NodeTag tag_ = NodeTag::Null;
  std::uint8_t flag_ = 0;  // Bool: the value. Integer: 1 when unsigned. Str: the span is escaped.
  std::uint16_t reserved_ = 0;
  std::uint32_t a_ = 0;  // Str: span start. Array, Object: start of the run.
  std::uint64_t b_ = 0;  // Integer: the word. Float: the bits. Str: span len. Array, Object: count.
};
static_assert(sizeof(Node) == 16);

/// The text of an object key: the raw bytes in the source for a key without escapes, its
/// decoded text in the document's key text otherwise. Keys of one object are distinct as
/// texts: the parser merges members whose keys decode alike.
struct KeySpan {
  std::uint32_t start = 0;
  std::uint32_t len = 0;
  bool decoded = false;  // start is an offset into the decoded key text, not the source
};

/// One object member: the last value seen for the key, and the key as first written.
struct Entry {
  std::uint32_t value = 0;
  KeySpan key;
};

/// The node index member lookups answer when there is no such member. Every node consumes
/// a byte of an input shorter than 2^32 bytes, so no node has this index.
inline constexpr std::uint32_t no_member = UINT32_MAX;

/// A parsed JSON text: flat vectors addressed by 32-bit indices, children before their
/// parents, so the root is the last node. Borrows the source bytes, which the caller keeps
/// alive and unchanged as long as the document. A small document keeps its vectors inside
/// itself, so Refs, which point at the document, and the spans of nodes(), items() and
/// member_entries() are valid only while the document lives at its address: moving it
/// invalidates them.
class Document {
 public:
  // Inline capacities: a document of up to 32 values, 16 members and 16 elements (about
  // 400 bytes of typical JSON) parses with no heap allocation at all. The accept of a
  // 90-byte event went from 10,070 to 9,310 instructions (callgrind), of a 34-byte one from
  // 0.465 to 0.42 us.
  static constexpr std::size_t inline_nodes = 32;
  static constexpr std::size_t inline_entries = 16;
  static constexpr std::size_t inline_items = 16;

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
  std::uint32_t root_index() const { return root_; }

  /// The text of a key; lives as long as the document. The parser made every key span lie
  /// inside its buffer, and nothing else makes entries, so this checks nothing.
  std::string_view key_text(KeySpan key) const { return {key_data(key), key.len}; }

  /// Decodes the escapes of raw string bytes the parser has checked. Never fails: anything
  /// malformed (only reachable through a forged span) decodes to U+FFFD.
  static std::string decode(std::string_view raw);

 private:
  friend class Ref;

  Document() = default;

  const char* key_data(KeySpan key) const {
    return (key.decoded ? decoded_text_.data() : source_.data()) + key.start;
  }

  std::string_view source_;
  InlineVector<Node, inline_nodes> nodes_;
  InlineVector<std::uint32_t, inline_items> items_;
  InlineVector<Entry, inline_entries> member_entries_;
  // The text of every escaped key, decoded while parsing, so that member lookups and the
  // merging of duplicate keys compare bytes instead of decoding a key each time.
  std::string decoded_text_;
  std::uint32_t root_ = 0;

  // Hash tables over the keys of long objects, so a member asked for out of order is found
  // without a scan: looking up every field of a shuffled object otherwise costs the product
  // of its fields and members. `tables_` holds each table as its slot count (a power of
  // two) and then the slots, each two words: an entry position plus one (0: empty) and the
  // high half of its key's hash, so a probe that lands on another key skips reading that
  // entry and its key text, scattered over a long object (a call on 100,000 or 1,000,000
  // shuffled keys went down by 3 to 8%). `table_of_` pairs each long object's node index,
  // in increasing order, with its table's start.
  // A table is built the first time a lookup in its object misses its hint: most long
  // objects never need one (a map's members are walked, not looked up; fields asked in
  // order hit their hints), and building them all while parsing was 7% of a call on a
  // 1,000-member map. Only the lookups, within one run, ever change these.
  /// The table's start for the object node, built now if it is a long object without one;
  /// no_table for any other node.
  std::uint32_t table_of(std::uint32_t node) const {
    auto it = std::lower_bound(table_of_.begin(), table_of_.end(), node,
                               [](const std::pair<std::uint32_t, std::uint32_t>& t,
                                  std::uint32_t n) { return t.first < n; });
    if (it != table_of_.end() && it->first == node) {
      return it->second;
    }
    if (!std::binary_search(long_objects_.begin(), long_objects_.end(), node)) {
      return no_table;
    }
    const std::uint32_t start = build_table(node);
    table_of_.insert(it, {node, start});
    return start;
  }
  std::uint32_t build_table(std::uint32_t node) const;
  static constexpr std::uint32_t no_table = UINT32_MAX;
  std::vector<std::uint32_t> long_objects_;  // node indices of the long objects, increasing
  mutable std::vector<std::uint32_t> tables_;
  mutable std::vector<std::pair<std::uint32_t, std::uint32_t>> table_of_;
  std::uint64_t seed_ = 0;
};

/// Objects with more members than this get a lookup table; shorter ones are scanned.
inline constexpr std::uint64_t table_members = 32;

/// The validator's input over one node of a Document: a document pointer and a node index.
/// Copied freely; valid while the document lives. An index outside the document reads as
/// null everywhere.
class Ref {
 public:
  Ref(const Document* document, std::uint32_t index) : doc_(document), index_(index) {}

  std::uint32_t index() const { return index_; }

  Kind kind() const {
    // Static: a local table is rebuilt on the stack at every call, and the byte load from
    // the fresh 16-byte store stalled (a third of emit_json's samples; the benchmark's
    // JSON accept went from 9.5 to 9.1 us).
    static constexpr Kind kinds[] = {Kind::Null,  Kind::Bool, Kind::Integer, Kind::WideInteger,
                                     Kind::Float, Kind::Str,  Kind::Array,   Kind::Object};
    return kinds[static_cast<std::uint8_t>(node().tag_)];
  }

  /// The node's tag; Null for an index outside the document.
  NodeTag tag() const { return node().tag_; }

  // Reads for a caller that has switched on tag(): each gives the value of a node of the
  // tag named. A node of that tag lies inside the document, so they read it unchecked (in
  // debug builds, a call on another tag fails an assertion), and inline to one load each,
  // as the field reads they replaced did.

  /// Of a Bool node.
  bool bool_value() const { return known(NodeTag::Bool).flag_ != 0; }
  /// Of an Integer node: whether its word is unsigned, else two's complement. (Two reads
  /// rather than one IntValue: returning the pair stopped GCC from inlining the builder's
  /// scalar into the walk.)
  bool int_unsigned() const { return known(NodeTag::Integer).flag_ != 0; }
  /// Of an Integer node: its word.
  std::uint64_t int_bits() const { return known(NodeTag::Integer).b_; }
  /// Of a Float node.
  double f64_value() const { return std::bit_cast<double>(known(NodeTag::Float).b_); }
  /// Of a Str node: whether the string has escapes, so that its text must be decoded.
  bool str_escaped() const { return known(NodeTag::Str).flag_ != 0; }
  /// Of a Str node: its raw bytes between the quotes, escapes undecoded; a view of the
  /// source.
  std::string_view str_raw() const {
    const Node& n = known(NodeTag::Str);
    return {doc_->source_.data() + n.a_, static_cast<std::size_t>(n.b_)};
  }

  std::optional<bool> as_bool() const {
    const Node& n = node();
    if (n.tag_ != NodeTag::Bool) {
      return std::nullopt;
    }
    return n.flag_ != 0;
  }

  std::optional<IntValue> as_int() const {
    const Node& n = node();
    if (n.tag_ != NodeTag::Integer) {
      return std::nullopt;
    }
    return IntValue{n.b_, n.flag_ != 0};
  }

  /// The value of a Float node, possibly infinite; none for every other node, integers too.
  std::optional<double> as_f64() const {
    const Node& n = node();
    if (n.tag_ != NodeTag::Float) {
      return std::nullopt;
    }
    return std::bit_cast<double>(n.b_);
  }

  /// Borrowed from the source unless the string has escapes.
  std::optional<Text> as_str() const {
    const Node& n = node();
    if (n.tag_ != NodeTag::Str) {
      return std::nullopt;
    }
    return doc_->text(span_of(n));
  }

  /// The byte length of as_str(): the raw length unless the string has escapes.
  [[gnu::always_inline]] std::optional<std::uint64_t> str_size() const {
    const Node& n = node();
    if (n.tag_ != NodeTag::Str) {
      return std::nullopt;
    }
    if (n.flag_ == 0) {
      return doc_->raw(span_of(n)).size();
    }
    return doc_->text(span_of(n)).view().size();
  }

  /// Every Str text is exact here: the parser admits only valid UTF-8 and scalar values.
  std::string as_str_lossy() const { return {}; }

  /// Elements of an array, distinct keys of an object, 0 otherwise.
  std::uint64_t len() const {
    const Node& n = node();
    return n.tag_ == NodeTag::Array || n.tag_ == NodeTag::Object ? n.b_ : 0;
  }

  std::optional<Ref> item(std::uint64_t i) const {
    std::span<const std::uint32_t> run = elements();
    if (i >= run.size()) {
      return std::nullopt;
    }
    return Ref(doc_, run[i]);
  }

  /// The member whose key decodes to exactly the name. The search starts at the hint, which
  /// moves past the entry found.
  Slot<Ref> slot(MemberName name, SlotHint& hint) const {
    const std::uint32_t found = member(name.text, hint);
    if (found == no_member) {
      return {};
    }
    Ref value(doc_, found);
    if (value.node().tag_ == NodeTag::Null) {
      return {SlotState::Null, std::nullopt};
    }
    return {SlotState::Present, value};
  }
  Slot<Ref> slot(MemberName name) const {
    SlotHint hint;
    return slot(name, hint);
  }

  /// The value node of the member whose key decodes to exactly the name, or no_member; for
  /// any node but an object, no_member.
  std::uint32_t member(std::string_view name, SlotHint& hint) const {
    const Node& n = node();
    // The parser made every object's run lie inside member_entries and every key span
    // inside its buffer, and nothing else makes nodes, so neither is checked again here.
    if (n.tag_ == NodeTag::Object && hint.next < n.b_) {
      const Entry& e = doc_->member_entries_[n.a_ + hint.next];
      if (e.key.len == name.size() && same_bytes(doc_->key_data(e.key), name.data(), name.size())) {
        ++hint.next;
        return e.value;
      }
    }
    return search(name, hint);
  }

  /// Calls f(std::string_view key) for each member in document order, the key decoded; the
  /// text lives as long as the document.
  template <class F>
  void each_key(F&& f) const {
    for (const Entry& e : entries()) {
      f(doc_->key_text(e.key));
    }
  }

  /// Calls f(Text key, Ref value) for each member in document order: each distinct key once,
  /// at its first place, with the last value written for it.
  template <class F>
  void each_entry(F&& f) const {
    for (const Entry& e : entries()) {
      f(Text(doc_->key_text(e.key)), Ref(doc_, e.value));
    }
  }

  /// An object member's key as map and Json walks read it: always text, decoded.
  struct Key {
    std::string_view view;  // lives as long as the document
    Kind kind() const { return Kind::Str; }
    std::string_view text() const { return view; }
  };

  /// Calls f(const Key&, const Ref& value) for each member in document order: each distinct
  /// key once, at its first place, with the last value written for it.
  template <class F>
  void each_member(F&& f) const {
    for (const Entry& e : entries()) {
      f(Key{doc_->key_text(e.key)}, Ref(doc_, e.value));
    }
  }

  /// Every value of a document is plain JSON data.
  Kind json_kind() const { return kind(); }

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
    const std::span<const Entry> all = doc_->member_entries_;
    if (n.tag_ != NodeTag::Object || n.a_ > all.size() || n.b_ > all.size() - n.a_) {
      return {};
    }
    return all.subspan(n.a_, static_cast<std::size_t>(n.b_));
  }

  /// The element indices of an Array node; empty for any other node.
  std::span<const std::uint32_t> elements() const {
    const Node& n = node();
    const std::span<const std::uint32_t> all = doc_->items_;
    if (n.tag_ != NodeTag::Array || n.a_ > all.size() || n.b_ > all.size() - n.a_) {
      return {};
    }
    return all.subspan(n.a_, static_cast<std::size_t>(n.b_));
  }

 private:
  // The node itself; a null node for an index outside the document.
  const Node& node() const {
    static constexpr Node null_node{};
    return index_ < doc_->nodes_.size() ? doc_->nodes_[index_] : null_node;
  }

  // The node, known to have the tag.
  const Node& known([[maybe_unused]] NodeTag tag) const {
    const Node& n = node();
    VORN_ASSERT(n.tag_ == tag);
    return n;
  }

  // The lookup past the hinted entry. Out of line, so that the hinted comparison, which
  // answers members written in declaration order, inlines into its callers without the
  // register saves this loop needs (validation of the benchmark payload 1.53 -> 1.32 us,
  // its JSON accept 8.1 -> 7.5 us). Escaped keys compare their text decoded at parse time:
  // on an 864 KB object of 900 keys of 158 \u escapes each, against 30 declared fields,
  // decoding on every lookup took 50 ms a call, against 1.6 ms for plain keys.
  [[gnu::noinline]] std::uint32_t search(std::string_view name, SlotHint& hint) const {
    const Node& n = node();
    if (n.tag_ != NodeTag::Object) {
      return no_member;
    }
    if (n.b_ > table_members) {
      return search_table(name, hint);
    }
    const Entry* run = doc_->member_entries_.data() + n.a_;
    const auto count = static_cast<std::uint32_t>(n.b_);
    const auto size = static_cast<std::uint32_t>(name.size());
    // Keys that decode alike were merged while parsing, so at most one entry matches and
    // the search may start anywhere.
    std::uint32_t i = hint.next < count ? hint.next : 0;
    for (std::uint32_t k = 0; k < count; ++k) {
      const Entry& e = run[i];
      if (e.key.len == size && same_bytes(doc_->key_data(e.key), name.data(), size)) {
        hint.next = i + 1;
        return e.value;
      }
      if (++i == count) {
        i = 0;
      }
    }
    return no_member;
  }

  // A long object's member through its table (see Document::tables_).
  std::uint32_t search_table(std::string_view name, SlotHint& hint) const {
    const Node& n = node();
    const std::uint32_t start = doc_->table_of(index_);
    if (start == Document::no_table) {
      return no_member;  // every long object has a table; a forged node has none
    }
    const std::uint32_t* slots = doc_->tables_.data() + start + 1;
    const std::size_t mask = doc_->tables_[start] - 1;
    const Entry* run = doc_->member_entries_.data() + n.a_;
    const std::uint64_t hash = hash_key(name.data(), name.size(), doc_->seed_);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      if (slots[2 * i] == 0) {
        return no_member;
      }
      if (slots[2 * i + 1] != tag) {
        continue;
      }
      const std::uint32_t position = slots[2 * i] - 1;
      const KeySpan key = run[position].key;
      if (key.len == name.size() && same_bytes(doc_->key_data(key), name.data(), name.size())) {
        hint.next = position + 1;
        return run[position].value;
      }
    }
  }

  static Span span_of(const Node& n) {
    return Span{n.a_, static_cast<std::uint32_t>(n.b_), n.flag_ != 0};
  }

  const Document* doc_;
  std::uint32_t index_;
};

static_assert(Input<Ref>);

inline Ref Document::root() const {
  return Ref(this, root_);
}

}  // namespace vorn::json
