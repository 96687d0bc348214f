#include "json.hpp"

#include <algorithm>  // std::min
#include <cfloat>     // FLT_EVAL_METHOD
#include <charconv>   // std::from_chars, std::to_chars
#include <cstddef>
#include <cstring>  // std::memcmp, std::memcpy
#include <limits>
#include <system_error>  // std::errc

#include "json_scan.hpp"

namespace vorn::json {

namespace {

// value() and friends return a node index or this. Every node consumes at least one byte
// of an input shorter than 2^32 bytes, so no node index ever equals it.
constexpr std::uint32_t failed = std::numeric_limits<std::uint32_t>::max();

// Objects up to this many entries find a duplicate key by a linear scan of their run;
// larger ones through a hash index, which keeps a long object linear in its size.
constexpr std::size_t linear_keys = 8;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_decimal_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// The value of a number text whose magnitude from_chars found outside binary64: an infinity
// when it is at least 1, a zero below. Such texts lie beyond 1e308 or below 1e-323, so the
// decimal position of the first significant digit decides. The exponent saturates, since
// a hostile text may carry any number of exponent digits.
[[gnu::cold]] double beyond_range(const char* p, const char* end) {
  bool negative = *p == '-';
  if (negative) {
    ++p;
  }
  constexpr std::int64_t cap = std::int64_t{1} << 40;
  std::int64_t int_digits = 0;
  std::int64_t magnitude = 0;
  bool significant = false;
  for (; p != end && is_digit(*p); ++p) {
    if (!significant && *p != '0') {
      significant = true;
      magnitude = 0;
    }
    if (significant && int_digits < cap) {
      ++int_digits;
    }
  }
  if (significant) {
    magnitude = int_digits - 1;
  }
  if (p != end && *p == '.') {
    ++p;
    std::int64_t zeros = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (!significant) {
        if (*p != '0') {
          significant = true;
          magnitude = -(zeros + 1);
        } else if (zeros < cap) {
          ++zeros;
        }
      }
    }
  }
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < cap) {
        exponent = exponent * 10 + (*p - '0');
      }
    }
    if (exp_negative) {
      exponent = -exponent;
    }
  }
  double result =
      significant && magnitude + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -result : result;
}

// The powers of ten that binary64 holds exactly.
constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Longer number texts, sign aside, go straight to from_chars: they hold more than 15
// digits, which rarely stay below 2^53, and trying them first cost more than it saved.
constexpr std::ptrdiff_t short_float_bytes = 16;

// The value of the checked number text [p, end) when one binary64 operation gives it
// correctly rounded: its digits, read as an integer, are exact up to 2^53 and so is 10^k
// up to 10^22, and an IEEE multiply or divide rounds its exact result once, to nearest,
// ties to even. False otherwise, and wherever doubles are evaluated in a wider format,
// which would round twice. Sparing from_chars this way took a parse of 2,000 two-decimal
// prices from 39.1 to 30.6 us, and of the benchmark's order document from 1.86 to 1.84 us.
bool short_float(const char* p, const char* end, double& out) {
  const bool negative = *p == '-';
  if (negative) {
    ++p;
  }
  if (FLT_EVAL_METHOD != 0 || end - p > short_float_bytes) {
    return false;
  }
  // At most 16 digits in all, so neither number can wrap.
  std::uint64_t digits = 0;
  std::int64_t scale = 0;
  for (; p != end && is_digit(*p); ++p) {
    digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  if (p != end && *p == '.') {
    for (++p; p != end && is_digit(*p); ++p) {
      digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
      --scale;
    }
  }
  if (p != end) {  // e or E, an optional sign, then digits
    ++p;
    const bool exponent_negative = *p == '-';
    if (*p == '+' || *p == '-') {
      ++p;
    }
    std::int64_t exponent = 0;
    for (; p != end; ++p) {
      exponent = exponent * 10 + (*p - '0');
    }
    scale += exponent_negative ? -exponent : exponent;
  }
  if (digits > std::uint64_t{1} << 53 || scale < -22 || scale > 22) {
    return false;
  }
  const auto d = static_cast<double>(digits);
  const double magnitude = scale >= 0 ? d * exact_powers[scale] : d / exact_powers[-scale];
  out = negative ? -magnitude : magnitude;
  return true;
}

// Open-addressing index from raw key bytes to positions in the open object's run. One per
// nesting depth, so an object keeps its index while nested objects use theirs; reused by
// every later object at that depth. A slot belongs to the current object only when it
// carries the object's stamp, so starting a new object costs nothing, however large the
// table grew before.
class KeyIndex {
 public:
  // Starts serving a new object.
  void begin(std::uint32_t stamp) { stamp_ = stamp; }

  // The position stored under the key, or -1; `same` compares a stored position's key.
  template <class Same>
  std::int64_t find(std::uint64_t hash, Same&& same) const {
    if (slots_.empty()) {
      return -1;
    }
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.stamp != stamp_) {
        return -1;
      }
      if (s.hash == static_cast<std::uint32_t>(hash >> 32) && same(s.position)) {
        return s.position;
      }
    }
  }

  // Adds a key known to be absent. `count` is the number of keys held after the insert and
  // `rehash(i)` gives the hash of the key at position i, for growing.
  template <class Rehash>
  void insert(std::uint64_t hash, std::uint32_t position, std::size_t count, Rehash&& rehash) {
    if (count * 2 > slots_.size()) {
      grow(count, rehash);
      return;  // grow() re-inserts every position below count, this one included
    }
    place(hash, position);
  }

 private:
  struct Slot {
    std::uint32_t stamp = 0;  // 0 never names an object
    std::uint32_t hash = 0;
    std::uint32_t position = 0;
  };

  void place(std::uint64_t hash, std::uint32_t position) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].stamp == stamp_) {
      i = (i + 1) & mask;
    }
    slots_[i] = Slot{stamp_, static_cast<std::uint32_t>(hash >> 32), position};
  }

  template <class Rehash>
  void grow(std::size_t count, Rehash&& rehash) {
    std::size_t size = 32;
    while (size < count * 4) {
      size *= 2;
    }
    slots_.assign(size, Slot{});
    for (std::size_t i = 0; i < count; ++i) {
      place(rehash(i), static_cast<std::uint32_t>(i));
    }
  }

  std::vector<Slot> slots_;
  std::uint32_t stamp_ = 0;
};

// The state of one parse. Tracks only the read pointer; line and column are worked out
// from it when a parse fails.
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
        seed_(mix(reinterpret_cast<std::uintptr_t>(this) ^
                  (reinterpret_cast<std::uintptr_t>(source.data()) << 1))) {}

  // The root's index, or `failed` with the error in error().
  std::uint32_t run() {
    skip_ws();
    if (cur_ != end_ && (*cur_ == '[' || *cur_ == '{')) {
      // Sized from the text, so a typical payload allocates each vector once. The figures
      // come from records of short strings and numbers (about 15 bytes per node) and cut a
      // 230-byte parse from 440 to 320 ns; the cap keeps a huge string from reserving far
      // beyond its needs. Members of such records take about 18 bytes each: one entry per
      // 16 bytes spares the benchmark's order document a regrowth (1.95 -> 1.89 us).
      const auto size = std::min<std::size_t>(static_cast<std::size_t>(end_ - cur_), 1 << 24);
      nodes.reserve(size / 12 + 4);
      entries.reserve(size / 16 + 2);
      items.reserve(size / 48 + 2);
      scratch_items_.reserve(16);
      scratch_entries_.reserve(16);
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

  std::vector<Node> nodes;
  std::vector<std::uint32_t> items;
  std::vector<Entry> entries;

 private:
  static std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
  }

  std::uint64_t hash_key(Span key) const {
    const char* p = begin_ + key.start;
    std::size_t n = key.len;
    std::uint64_t h = seed_ ^ (n * 0x9E3779B97F4A7C15ULL);
    while (n >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
      h ^= h >> 29;
      p += 8;
      n -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ tail) * 0x9E3779B97F4A7C15ULL;
    return mix(h);
  }

  bool same_key(Span a, Span b) const {
    return a.len == b.len && detail::same_bytes(begin_ + a.start, begin_ + b.start, a.len);
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
        if (!string(s)) {
          return failed;
        }
        return push(
            Node{NodeTag::Str, s.escaped ? std::uint8_t{1} : std::uint8_t{0}, 0, s.start, s.len});
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
      case '9':
        return number();
      case '[':
        return array(depth);
      case '{':
        return object(depth);
      case 't':
        return literal("true", Node{NodeTag::Bool, 1, 0, 0, 0});
      case 'f':
        return literal("false", Node{NodeTag::Bool, 0, 0, 0, 0});
      case 'n':
        return literal("null", Node{NodeTag::Null, 0, 0, 0, 0});
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
      return push(Node{NodeTag::Array, 0, 0, 0, 0});
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
    items.insert(items.end(), scratch_items_.begin() + static_cast<std::ptrdiff_t>(base),
                 scratch_items_.end());
    scratch_items_.resize(base);
    return push(Node{NodeTag::Array, 0, 0, start, count});
  }

  std::uint32_t object(std::uint64_t depth) {
    ++cur_;
    skip_ws();
    if (cur_ != end_ && *cur_ == '}') {
      ++cur_;
      return push(Node{NodeTag::Object, 0, 0, 0, 0});
    }
    const std::size_t base = scratch_entries_.size();
    bool indexed = false;  // the object has outgrown linear search and uses indexes_[depth]
    std::uint8_t any_escaped = 0;
    for (;;) {
      skip_ws();
      Span key;
      if (!string(key)) {
        return failed;
      }
      skip_ws();
      if (cur_ == end_ || *cur_ != ':') {
        return fail("expected `:`", cur_);
      }
      ++cur_;
      skip_ws();
      std::uint32_t member = value(depth + 1);
      if (member == failed) {
        return failed;
      }
      // scratch_entries_ may have moved while the value was parsed: index, never point.
      const std::size_t count = scratch_entries_.size() - base;
      std::int64_t earlier = -1;
      std::uint64_t hash = 0;
      if (!indexed) {
        for (std::size_t i = 0; i < count; ++i) {
          if (same_key(scratch_entries_[base + i].key, key)) {
            earlier = static_cast<std::int64_t>(i);
            break;
          }
        }
      } else {
        hash = hash_key(key);
        earlier = indexes_[depth].find(
            hash, [&](std::uint32_t i) { return same_key(scratch_entries_[base + i].key, key); });
      }
      if (earlier >= 0) {
        // The last value wins; the member keeps the place of its first occurrence.
        scratch_entries_[base + static_cast<std::size_t>(earlier)].value = member;
      } else {
        scratch_entries_.push_back(Entry{member, key});
        if (key.escaped) {
          any_escaped = 1;
        }
        const std::size_t now = count + 1;
        auto rehash = [&](std::size_t i) { return hash_key(scratch_entries_[base + i].key); };
        if (indexed) {
          indexes_[depth].insert(hash, static_cast<std::uint32_t>(count), now, rehash);
        } else if (now > linear_keys) {
          if (indexes_.size() <= depth) {
            indexes_.resize(depth + 1);
          }
          KeyIndex& index = indexes_[depth];
          index.begin(++stamp_);
          for (std::size_t i = 0; i < now; ++i) {
            index.insert(rehash(i), static_cast<std::uint32_t>(i), i + 1, rehash);
          }
          indexed = true;
        }
        if (now > max_keys_) {
          return fail_limit("more than ", max_keys_, " keys in one object", Code::size_exceeded,
                            cur_);
        }
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
    entries.insert(entries.end(), scratch_entries_.begin() + static_cast<std::ptrdiff_t>(base),
                   scratch_entries_.end());
    scratch_entries_.resize(base);
    return push(Node{NodeTag::Object, any_escaped, 0, start, count});
  }

  // Reads a quoted string at cur_ and leaves cur_ past its closing quote. Escapes are
  // checked here and decoded only when the text is read.
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
      escaped = true;
      if (!escape()) {
        return false;
      }
    }
    const auto len = static_cast<std::size_t>(cur_ - start);
    ++cur_;
    if (len > max_string_) {
      fail_limit("string longer than ", max_string_, " bytes", Code::size_exceeded, cur_);
      return false;
    }
    out = Span{offset(start), static_cast<std::uint32_t>(len), escaped};
    return true;
  }

  // At a backslash; leaves cur_ past the escape.
  bool escape() {
    ++cur_;
    if (cur_ == end_) {
      fail("unknown escape", cur_);
      return false;
    }
    switch (*cur_++) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case 'u':
        break;
      default:
        fail("unknown escape", cur_);
        return false;
    }
    std::uint32_t unit = 0;
    if (!hex4(unit)) {
      return false;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      fail("lone low surrogate", cur_);
      return false;
    }
    if (unit < 0xD800 || unit > 0xDBFF) {
      return true;
    }
    for (char want : {'\\', 'u'}) {
      if (cur_ == end_) {
        fail("lone high surrogate", cur_);
        return false;
      }
      if (*cur_++ != want) {
        fail("lone high surrogate", cur_);
        return false;
      }
    }
    if (!hex4(unit)) {
      return false;
    }
    if (unit < 0xDC00 || unit > 0xDFFF) {
      fail("high surrogate not followed by a low one", cur_);
      return false;
    }
    return true;
  }

  // Each byte is consumed before it is checked, so a failure points just past it.
  bool hex4(std::uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      if (cur_ == end_) {
        fail("expected four hex digits", cur_);
        return false;
      }
      int digit = hex_value(*cur_++);
      if (digit < 0) {
        fail("expected four hex digits", cur_);
        return false;
      }
      unit = unit * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  std::uint32_t number() {
    const char* start = cur_;
    const bool negative = *cur_ == '-';
    if (negative) {
      ++cur_;
      if (cur_ == end_ || !is_digit(*cur_)) {
        return fail("expected a digit", cur_);
      }
    }
    const char* digits = cur_;
    // Wraps past 19 digits; used only for up to 18, which cannot overflow.
    std::uint64_t magnitude = 0;
    if (*cur_ == '0') {
      ++cur_;
    } else {
      while (cur_ != end_ && is_digit(*cur_)) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*cur_ - '0');
        ++cur_;
      }
    }
    const auto digit_count = static_cast<std::size_t>(cur_ - digits);
    bool is_float = false;
    if (cur_ != end_ && *cur_ == '.') {
      ++cur_;
      if (cur_ == end_ || !is_digit(*cur_)) {
        return fail("expected a digit after `.`", cur_);
      }
      while (cur_ != end_ && is_digit(*cur_)) {
        ++cur_;
      }
      is_float = true;
    }
    if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
      ++cur_;
      if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) {
        ++cur_;
      }
      if (cur_ == end_ || !is_digit(*cur_)) {
        return fail("expected a digit in the exponent", cur_);
      }
      while (cur_ != end_ && is_digit(*cur_)) {
        ++cur_;
      }
      is_float = true;
    }
    if (is_float) {
      return floating(start);
    }
    if (digit_count <= 18) {
      const std::uint64_t bits = negative ? 0 - magnitude : magnitude;
      return push(Node{NodeTag::Integer, 0, 0, 0, bits});
    }
    return wide_integer(negative, digits, digit_count);
  }

  // 19 digits or more: the exact i64, then u64, classification; anything else is wide.
  std::uint32_t wide_integer(bool negative, const char* digits, std::size_t count) {
    if (count > 20) {
      return push(Node{NodeTag::WideInteger, 0, 0, 0, 0});
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const auto d = static_cast<std::uint64_t>(digits[i] - '0');
      if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
        return push(Node{NodeTag::WideInteger, 0, 0, 0, 0});
      }
      v = v * 10 + d;
    }
    constexpr std::uint64_t i64_max = std::numeric_limits<std::int64_t>::max();
    if (negative) {
      if (v > i64_max + 1) {
        return push(Node{NodeTag::WideInteger, 0, 0, 0, 0});
      }
      return push(Node{NodeTag::Integer, 0, 0, 0, 0 - v});
    }
    return push(Node{NodeTag::Integer, v > i64_max ? std::uint8_t{1} : std::uint8_t{0}, 0, 0, v});
  }

  // Correctly rounded, ties to even; magnitudes beyond binary64 become infinities or zeros.
  std::uint32_t floating(const char* start) {
    double d = 0;
    if (short_float(start, cur_, d)) {
      return push(Node{NodeTag::Float, 0, 0, 0, std::bit_cast<std::uint64_t>(d)});
    }
    auto res = std::from_chars(start, cur_, d);
    if (res.ec == std::errc::result_out_of_range) {
      d = beyond_range(start, cur_);
    } else if (res.ec != std::errc() || res.ptr != cur_) {
      return fail("number does not fit an f64", cur_);
    }
    return push(Node{NodeTag::Float, 0, 0, 0, std::bit_cast<std::uint64_t>(d)});
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
  std::vector<std::uint32_t> scratch_items_;
  std::vector<Entry> scratch_entries_;
  std::vector<KeyIndex> indexes_;  // by depth, made on first need
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
  if (!is_valid_utf8(bytes.data(), bytes.data() + bytes.size())) {
    return unexpected(JsonError{"input is not valid UTF-8", 1, 1, std::nullopt});
  }
  Parser parser(bytes, limits);
  std::uint32_t root = parser.run();
  if (root == failed) {
    return unexpected(parser.take_error());
  }
  return Document(bytes, std::move(parser.nodes), std::move(parser.items),
                  std::move(parser.entries), root);
}

bool Document::escaped_key_is(Span key, std::string_view name) const {
  // Decoding never lengthens a text, so a raw key shorter than the name cannot match.
  return key.len >= name.size() && text(key).view() == name;
}

std::string Document::decode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  const std::size_t n = raw.size();
  auto unit_at = [&](std::size_t i) -> std::int32_t {
    if (i > n || n - i < 4) {
      return -1;
    }
    std::int32_t unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int d = hex_value(raw[i + k]);
      if (d < 0) {
        return -1;
      }
      unit = unit * 16 + d;
    }
    return unit;
  };
  std::size_t i = 0;
  while (i < n) {
    std::size_t slash = raw.find('\\', i);
    if (slash == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, slash - i));
    if (slash + 1 >= n) {
      append_utf8(out, 0xFFFD);
      break;
    }
    char e = raw[slash + 1];
    i = slash + 2;
    switch (e) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        std::int32_t unit = unit_at(i);
        if (unit < 0) {
          append_utf8(out, 0xFFFD);
          break;
        }
        i += 4;
        std::uint32_t cp = static_cast<std::uint32_t>(unit);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::int32_t low = i + 1 < n && raw[i] == '\\' && raw[i + 1] == 'u' ? unit_at(i + 2) : -1;
          if (low >= 0xDC00 && low <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
            i += 6;
          } else {
            cp = 0xFFFD;
          }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          cp = 0xFFFD;
        }
        append_utf8(out, cp);
        break;
      }
      case '"':
      case '\\':
      case '/':
        out += e;
        break;
      default:
        append_utf8(out, 0xFFFD);
        break;
    }
  }
  return out;
}

}  // namespace vorn::json
