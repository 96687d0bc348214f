#include "json.hpp"

#include <algorithm>  // std::min
#include <charconv>   // std::to_chars
#include <cstddef>
#include <cstring>  // std::memcmp
#include <limits>
#include <memory>  // std::unique_ptr

#include "json_key.hpp"
#include "json_number.hpp"
#include "json_string.hpp"
#include "unicode.hpp"  // append_utf8, is_valid_utf8

namespace vorn::json {

namespace {

// value() and friends return a node index or this. Every node consumes at least one byte
// of an input shorter than 2^32 bytes, so no node index ever equals it.
constexpr std::uint32_t failed = std::numeric_limits<std::uint32_t>::max();

void append_decimal_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// The state of one parse. Tracks only the read pointer; line and column are worked out
// from it when a parse fails. In the anonymous namespace, so that GCC inlines string()
// into its two callers: with external linkage it did not, and the benchmark's order
// document took 900 more instructions per accept (117,200 -> 118,100, callgrind).
class Parser {
 public:
  Parser(std::string_view source, const Limits& limits)
      : begin_(source.data()),
        cur_(source.data()),
        end_(source.data() + source.size()),
        depth_limit_(std::min<std::uint64_t>(limits.max_depth, depth_clamp)),
        max_items_(limits.max_items),
        max_string_(limits.max_string_bytes),
        max_keys_(limits.max_object_keys),
        // Addresses differ from run to run, so a payload cannot be built in advance to
        // make its keys collide in the index.
        seed_(mix_bits(reinterpret_cast<std::uintptr_t>(this) ^
                       (reinterpret_cast<std::uintptr_t>(source.data()) << 1))) {}

  // The root's index, or `failed` with the error in error().
  std::uint32_t run() {
    skip_ws();
    const auto size = static_cast<std::size_t>(end_ - cur_);
    if (size > small_document && (*cur_ == '[' || *cur_ == '{')) {
      // Sized from the text, so a typical payload allocates each vector once. The figures
      // come from records of short strings and numbers (about 15 bytes per node) and cut a
      // 230-byte parse from 440 to 320 ns; the cap keeps a huge string from reserving far
      // beyond its needs. Members of such records take about 18 bytes each: one entry per
      // 16 bytes spares the benchmark's order document a regrowth (1.95 -> 1.89 us).
      const auto capped = std::min<std::size_t>(size, 1 << 24);
      nodes.reserve(capped / 12 + 4);
      entries.reserve(capped / 16 + 2);
      items.reserve(capped / 48 + 2);
    }
    std::uint32_t root = value(0);
    if (root == failed) {
      return failed;
    }
    skip_ws();
    if (cur_ != end_) {
      return fail("trailing characters after the document", cur_);
    }
    return root;
  }

  JsonError take_error() { return std::move(error_); }
  std::size_t decoded_used() const { return decoded_used_; }

  // The document being built, taken over by Document::parse.
  InlineVector<Node, Document::inline_nodes> nodes;
  InlineVector<std::uint32_t, Document::inline_items> items;
  InlineVector<Entry, Document::inline_entries> entries;
  std::vector<std::uint32_t> long_objects;  // objects that get a lookup table, in node order
  std::string decoded_text;

 private:
  // Texts up to this size fit the document's inline vectors (about 15 bytes per node), so
  // reserving from the size would only move them to the heap.
  static constexpr std::size_t small_document = Document::inline_nodes * 12;

  // The text of a key read so far: decoded_text moves as it grows, so keys hold offsets.
  std::string_view key_text(KeySpan key) const {
    return {(key.decoded ? decoded_text.data() : begin_) + key.start, key.len};
  }

  std::uint32_t offset(const char* p) const { return static_cast<std::uint32_t>(p - begin_); }

  void skip_ws() {
    while (cur_ != end_ && (*cur_ == ' ' || *cur_ == '\n' || *cur_ == '\r' || *cur_ == '\t')) {
      ++cur_;
    }
  }

  std::uint32_t push(const Node& node) {
    nodes.push_back(node);
    return static_cast<std::uint32_t>(nodes.size() - 1);
  }

  std::uint32_t value(std::uint64_t depth) {
    if (depth > depth_limit_) {
      return fail_limit("nesting deeper than the limit of ", depth_limit_, "", Code::depth_exceeded,
                        cur_);
    }
    if (cur_ == end_) {
      return fail("unexpected end of input", cur_);
    }
    switch (*cur_) {
      case '"': {
        Span s;
        if (!string<false>(s)) {
          return failed;
        }
        return push(
            Node(NodeTag::Str, s.escaped ? std::uint8_t{1} : std::uint8_t{0}, s.start, s.len));
      }
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': {
        const char* error = nullptr;
        const Node number = read_number(cur_, end_, error);
        if (error != nullptr) [[unlikely]] {
          return fail(error, cur_);
        }
        return push(number);
      }
      case '[':
        return array(depth);
      case '{':
        return object(depth);
      case 't':
        return literal("true", Node(NodeTag::Bool, 1, 0, 0));
      case 'f':
        return literal("false", Node(NodeTag::Bool, 0, 0, 0));
      case 'n':
        return literal("null", Node(NodeTag::Null, 0, 0, 0));
      default:
        return fail_unexpected(cur_);
    }
  }

  // A word of N - 1 letters: the constant length lets memcmp become one or two loads
  // rather than a call (the benchmark's order parse 1.88 -> 1.84 us).
  template <std::size_t N>
  std::uint32_t literal(const char (&word)[N], const Node& node) {
    constexpr std::size_t size = N - 1;
    if (static_cast<std::size_t>(end_ - cur_) < size || std::memcmp(cur_, word, size) != 0) {
      return fail_expected(std::string_view(word, size), cur_);
    }
    cur_ += size;
    return push(node);
  }

  std::uint32_t array(std::uint64_t depth) {
    ++cur_;
    skip_ws();
    if (cur_ != end_ && *cur_ == ']') {
      ++cur_;
      return push(Node(NodeTag::Array, 0, 0, 0));
    }
    // Elements wait on the shared stack until the array closes, so nested containers can
    // append their own runs to `items` in between.
    const std::size_t base = scratch_items_.size();
    for (;;) {
      skip_ws();
      std::uint32_t element = value(depth + 1);
      if (element == failed) {
        return failed;
      }
      scratch_items_.push_back(element);
      if (scratch_items_.size() - base > max_items_) {
        return fail_limit("more than ", max_items_, " items in one array", Code::size_exceeded,
                          cur_);
      }
      skip_ws();
      if (cur_ == end_) {
        return fail("expected `,` or `]`", cur_);
      }
      char c = *cur_++;
      if (c == ']') {
        break;
      }
      if (c != ',') {
        return fail("expected `,` or `]`", cur_);
      }
    }
    const std::size_t count = scratch_items_.size() - base;
    const auto start = static_cast<std::uint32_t>(items.size());
    items.append(scratch_items_.begin() + base, scratch_items_.end());
    scratch_items_.truncate(base);
    return push(Node(NodeTag::Array, 0, start, count));
  }

  std::uint32_t object(std::uint64_t depth) {
    ++cur_;
    skip_ws();
    if (cur_ != end_ && *cur_ == '}') {
      ++cur_;
      return push(Node(NodeTag::Object, 0, 0, 0));
    }
    const std::size_t base = scratch_entries_.size();
    OpenObjectKeys keys(seed_);
    for (;;) {
      skip_ws();
      KeySpan key;
      if (!read_key(key)) {
        return failed;
      }
      skip_ws();
      if (cur_ == end_ || *cur_ != ':') {
        return fail("expected `:`", cur_);
      }
      ++cur_;
      skip_ws();
      const std::uint32_t member = value(depth + 1);
      if (member == failed || !add_member(keys, base, key, member, depth)) {
        return failed;
      }
      skip_ws();
      if (cur_ == end_) {
        return fail("expected `,` or `}`", cur_);
      }
      char c = *cur_++;
      if (c == '}') {
        break;
      }
      if (c != ',') {
        return fail("expected `,` or `}`", cur_);
      }
    }
    const std::size_t count = scratch_entries_.size() - base;
    const auto start = static_cast<std::uint32_t>(entries.size());
    entries.append(scratch_entries_.begin() + base, scratch_entries_.end());
    scratch_entries_.truncate(base);
    const std::uint32_t node = push(Node(NodeTag::Object, 0, start, count));
    if (count > table_members) {
      long_objects.push_back(node);
    }
    return node;
  }

  // Adds a member to the open object whose entries start at `base`. A key with the text of
  // an earlier one, however either is written, takes that member's place: the last value
  // wins and the member stays where it first occurred. False on a breach of the key limit.
  bool add_member(OpenObjectKeys& keys, std::size_t base, KeySpan key, std::uint32_t value,
                  std::uint64_t depth) {
    // scratch_entries_ may have moved while the value was parsed: index, never point.
    const std::size_t count = scratch_entries_.size() - base;
    auto text_of = [&](std::size_t i) { return key_text(scratch_entries_[base + i].key); };
    const std::int64_t earlier = keys.find(key_text(key), count, text_of);
    if (earlier >= 0) {
      scratch_entries_[base + static_cast<std::size_t>(earlier)].value = value;
      return true;
    }
    scratch_entries_.push_back(Entry{value, key});
    keys.add(count + 1, text_of, [&]() -> KeyIndex& {
      // An object keeps its index while nested objects use theirs, one per depth.
      if (indexes_.size() <= depth) {
        indexes_.resize(depth + 1);
      }
      if (!indexes_[depth]) {
        indexes_[depth] = std::make_unique<KeyIndex>();
      }
      indexes_[depth]->begin(++stamp_);
      return *indexes_[depth];
    });
    if (count + 1 > max_keys_) {
      fail_limit("more than ", max_keys_, " keys in one object", Code::size_exceeded, cur_);
      return false;
    }
    return true;
  }

  // Reads an object key at cur_: a view of the source, or for a key with escapes its text,
  // decoded into decoded_text.
  bool read_key(KeySpan& out) {
    Span raw;
    if (!string<true>(raw)) {
      return false;
    }
    out = raw.escaped ? escaped_key_ : KeySpan{raw.start, raw.len, false};
    return true;
  }

  // Reads a quoted string at cur_ and leaves cur_ past its closing quote. Escapes are
  // checked here; a value's are decoded only when the text is read, a key's at once, by
  // escaped_key().
  template <bool Key>
  bool string(Span& out) {
    if (cur_ == end_ || *cur_ != '"') {
      fail("expected `\"`", cur_);
      return false;
    }
    ++cur_;
    const char* start = cur_;
    bool escaped = false;
    for (;;) {
      cur_ = find_quote_or_backslash(cur_, end_);
      if (cur_ == end_) {
        fail("unterminated string", cur_);
        return false;
      }
      if (*cur_ == '"') {
        break;
      }
      if constexpr (Key) {
        return escaped_key(start, out);
      }
      escaped = true;
      EscapeCheck check;
      cur_ = read_escape(cur_ + 1, end_, check);
      if (cur_ == nullptr) {
        fail(check.message, check.at);
        return false;
      }
    }
    return end_string(start, escaped, out);
  }

  // At the closing quote of the string that began at `start`.
  bool end_string(const char* start, bool escaped, Span& out) {
    const auto len = static_cast<std::size_t>(cur_ - start);
    ++cur_;
    if (len > max_string_) {
      fail_limit("string longer than ", max_string_, " bytes", Code::size_exceeded, cur_);
      return false;
    }
    out = Span{offset(start), static_cast<std::uint32_t>(len), escaped};
    return true;
  }

  // The rest of a key from its first escape, at cur_: checked and decoded in one pass into
  // decoded_text, with the text's place left in escaped_key_, so that duplicate keys and
  // lookups compare bytes. One pass instead of a check and a later decoding, taking runs
  // of escapes without a search, brought a call on 900 keys of 158 \u escapes each from
  // 27.8 to 18.0 million instructions. Out of line, so the loop for plain keys stays small.
  [[gnu::noinline]] bool escaped_key(const char* start, Span& out) {
    struct Sink : EscapeWrite {
      const char* message = nullptr;
      const char* at = nullptr;
      const char* fail(const char* m, const char* a) {
        message = m;
        at = a;
        return nullptr;
      }
    };
    const std::size_t text_start = decoded_used_;
    append_raw(start, cur_);
    for (;;) {
      if (cur_ == end_) {
        fail("unterminated string", cur_);
        return false;
      }
      if (*cur_ == '"') {
        break;
      }
      if (*cur_ != '\\') {
        const char* stop = find_quote_or_backslash(cur_, end_);
        append_raw(cur_, stop);
        cur_ = stop;
        continue;
      }
      room(4);
      Sink sink{{decoded_text.data() + decoded_used_}};
      cur_ = read_escape(cur_ + 1, end_, sink);
      if (cur_ == nullptr) {
        fail(sink.message, sink.at);
        return false;
      }
      decoded_used_ = static_cast<std::size_t>(sink.out - decoded_text.data());
    }
    // Decoding never lengthens a text, so the buffer stays below the input's 4 GiB.
    escaped_key_ = KeySpan{static_cast<std::uint32_t>(text_start),
                           static_cast<std::uint32_t>(decoded_used_ - text_start), true};
    return end_string(start, true, out);
  }

  void room(std::size_t n) {
    if (decoded_text.size() - decoded_used_ < n) {
      decoded_text.resize(std::max<std::size_t>({decoded_text.size() * 2, decoded_used_ + n, 64}));
    }
  }

  void append_raw(const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    room(n);
    std::memcpy(decoded_text.data() + decoded_used_, from, n);
    decoded_used_ += n;
  }

  [[gnu::cold]] std::uint32_t fail(std::string_view message, const char* at) {
    record(std::string(message), at, std::nullopt);
    return failed;
  }

  [[gnu::cold]] std::uint32_t fail_limit(std::string_view before, std::uint64_t limit,
                                         std::string_view after, Code code, const char* at) {
    std::string message(before);
    append_decimal_u64(message, limit);
    message += after;
    record(std::move(message), at, code);
    return failed;
  }

  // The byte shown as the character whose code point is its value, so a byte from 0x80
  // up shows as a Latin-1 character rather than the sequence it begins.
  [[gnu::cold]] std::uint32_t fail_unexpected(const char* at) {
    std::string message = "unexpected `";
    append_utf8(message, static_cast<unsigned char>(*at));
    message += '`';
    record(std::move(message), at, std::nullopt);
    return failed;
  }

  [[gnu::cold]] std::uint32_t fail_expected(std::string_view word, const char* at) {
    std::string message = "expected `";
    message += word;
    message += '`';
    record(std::move(message), at, std::nullopt);
    return failed;
  }

  [[gnu::cold]] void record(std::string&& message, const char* at, std::optional<Code> code) {
    const char* last_line = begin_;
    std::uint64_t line = 1;
    for (const char* p = begin_; p != at; ++p) {
      if (*p == '\n') {
        ++line;
        last_line = p + 1;
      }
    }
    error_ =
        JsonError{std::move(message), line, static_cast<std::uint64_t>(at - last_line) + 1, code};
  }

  const char* begin_;
  const char* cur_;
  const char* end_;
  std::uint64_t depth_limit_;
  std::uint64_t max_items_;
  std::uint64_t max_string_;
  std::uint64_t max_keys_;
  std::uint64_t seed_;
  // One stack each for the children of every open container; see array() and object().
  InlineVector<std::uint32_t, 32> scratch_items_;
  InlineVector<Entry, 16> scratch_entries_;
  KeySpan escaped_key_;           // the last escaped key read
  std::size_t decoded_used_ = 0;  // decoded_text's bytes in use; the rest is room
  // By depth, made on first need; each on the heap, so that an object's OpenObjectKeys can
  // point at its index while deeper objects grow the vector.
  std::vector<std::unique_ptr<KeyIndex>> indexes_;
  // Distinct for every object that uses an index. An object needs more than eight keys, so
  // more than 40 bytes, to take one: a 4 GiB input cannot wrap the counter.
  std::uint32_t stamp_ = 0;
  JsonError error_;
};

}  // namespace

std::string JsonError::text() const {
  std::string out;
  append_decimal_u64(out, line);
  out += ':';
  append_decimal_u64(out, column);
  out += ": ";
  out += message;
  return out;
}

IssueList JsonError::as_validation() const {
  IssueList issues;
  if (code) {
    issues.push_back(Issue{Path{}, *code, message});
  }
  return issues;
}

Result<Document, JsonError> Document::parse(std::string_view bytes, const Limits& limits) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return unexpected(JsonError{"document larger than 4 GiB", 1, 1, Code::size_exceeded});
  }
  if (!is_valid_utf8(bytes)) {
    return unexpected(JsonError{"input is not valid UTF-8", 1, 1, std::nullopt});
  }
  Parser parser(bytes, limits);
  const std::uint32_t root = parser.run();
  if (root == failed) {
    return unexpected(parser.take_error());
  }
  Document doc;
  doc.source_ = bytes;
  doc.nodes_ = std::move(parser.nodes);
  doc.items_ = std::move(parser.items);
  doc.member_entries_ = std::move(parser.entries);
  parser.decoded_text.resize(parser.decoded_used());
  doc.decoded_text_ = std::move(parser.decoded_text);
  doc.root_ = root;
  doc.seed_ = mix_bits(reinterpret_cast<std::uintptr_t>(bytes.data()) ^
                       reinterpret_cast<std::uintptr_t>(&parser));
  doc.long_objects_ = std::move(parser.long_objects);
  return doc;
}

std::uint32_t Document::build_table(std::uint32_t node) const {
  const Node& n = nodes_[node];
  std::size_t size = 64;
  while (size < n.b_ * 2) {
    size *= 2;
  }
  const auto start = static_cast<std::uint32_t>(tables_.size());
  tables_.push_back(static_cast<std::uint32_t>(size));
  tables_.resize(tables_.size() + 2 * size, 0);
  const std::size_t mask = size - 1;
  std::uint32_t* slots = tables_.data() + start + 1;
  for (std::uint32_t position = 0; position < n.b_; ++position) {
    // The keys of an object are distinct texts, so each takes the first free slot.
    const std::string_view key = key_text(member_entries_[n.a_ + position].key);
    const std::uint64_t hash = hash_key(key.data(), key.size(), seed_);
    std::size_t k = hash & mask;
    while (slots[2 * k] != 0) {
      k = (k + 1) & mask;
    }
    slots[2 * k] = position + 1;
    slots[2 * k + 1] = static_cast<std::uint32_t>(hash >> 32);
  }
  return start;
}

std::string Document::decode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  decode_escapes(raw, out);
  return out;
}

}  // namespace vorn::json
