// JSON object keys: byte equality, and the tracking that finds a repeated key while an object
// is parsed, by a scan in a short object and through a hash index in a long one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcmp, std::memcpy
#include <string_view>
#include <vector>

namespace vorn::json {

namespace key_detail {

template <class W>
W load(const char* p) {
  W w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

}  // namespace key_detail

/// Byte equality of two texts of length n. Member names are short, and comparing them
/// in overlapping words, inline, instead of calling memcmp took validation of the
/// benchmark payload from 1.71 to 1.60 us, and its parse, where the duplicate-key check
/// compares keys of equal length, from 1.90 to 1.84 us.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  using key_detail::load;
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

/// A 64-bit hash of key bytes under a seed. The parser seeds it from addresses that differ
/// from run to run, so a payload cannot be built in advance to make its keys collide.
std::uint64_t hash_key(const char* p, std::size_t n, std::uint64_t seed);

/// Mixes the bits of h; also makes a seed from addresses.
std::uint64_t mix_bits(std::uint64_t h);

/// Open-addressing index from key texts to positions in the open object's run. The parser
/// keeps one per nesting depth, so an object keeps its index while nested objects
/// use theirs, and reuses it for every later object at that depth. A slot belongs to the
/// current object only when it carries the object's stamp, so starting a new object costs
/// nothing, however large the table grew before. Slots are placed by the high half of the
/// key's hash, which they keep, so growing reads no key: rehashing the texts, scattered over
/// the input, took 7% of a call on an object of 100,000 shuffled keys.
class KeyIndex {
 public:
  /// Starts serving a new object; stamps are distinct and never 0.
  void begin(std::uint32_t stamp) { stamp_ = stamp; }

  /// The position stored under the key, or -1; `same` compares a stored position's key.
  template <class Same>
  std::int64_t find(std::uint64_t hash, Same&& same) const {
    if (slots_.empty()) {
      return -1;
    }
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.stamp != stamp_) {
        return -1;
      }
      if (s.tag == tag && same(s.position)) {
        return s.position;
      }
    }
  }

  /// Adds a key known to be absent; `count` is the number of keys held after the insert.
  void insert(std::uint64_t hash, std::uint32_t position, std::size_t count) {
    if (count * 2 > slots_.size()) {
      grow(count);
    }
    place(static_cast<std::uint32_t>(hash >> 32), position);
  }

 private:
  struct Slot {
    std::uint32_t stamp = 0;  // 0 never names an object
    std::uint32_t tag = 0;    // the high half of the key's hash
    std::uint32_t position = 0;
  };

  void place(std::uint32_t tag, std::uint32_t position) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = tag & mask;
    while (slots_[i].stamp == stamp_) {
      i = (i + 1) & mask;
    }
    slots_[i] = Slot{stamp_, tag, position};
  }

  // Room for `count` keys at a quarter full, the current object's slots moved over.
  [[gnu::noinline]] void grow(std::size_t count) {
    std::size_t size = 32;
    while (size < count * 4) {
      size *= 2;
    }
    std::vector<Slot> old(size, Slot{});
    old.swap(slots_);
    for (const Slot& s : old) {
      if (s.stamp == stamp_) {
        place(s.tag, s.position);
      }
    }
  }

  std::vector<Slot> slots_;
  std::uint32_t stamp_ = 0;
};

/// The keys of one object while it is parsed, for finding a repeat: two members whose keys
/// have the same text are one member. Scans the earlier keys while the object is short and
/// moves to a KeyIndex, handed out by the parser, once it grows past `linear_keys`, which
/// keeps a long object linear in its size.
class OpenObjectKeys {
 public:
  static constexpr std::size_t linear_keys = 8;

  explicit OpenObjectKeys(std::uint64_t seed) : seed_(seed) {}

  /// The position of the earlier key, among the `count` so far, whose text equals `key`, or
  /// -1. `text_of(i)` gives the text of the key at position i.
  template <class TextOf>
  std::int64_t find(std::string_view key, std::size_t count, const TextOf& text_of) {
    auto same = [&](std::size_t i) {
      const std::string_view other = text_of(i);
      return other.size() == key.size() && same_bytes(other.data(), key.data(), key.size());
    };
    if (index_ == nullptr) {
      for (std::size_t i = 0; i < count; ++i) {
        if (same(i)) {
          return static_cast<std::int64_t>(i);
        }
      }
      return -1;
    }
    hash_ = hash_key(key.data(), key.size(), seed_);
    return index_->find(hash_, same);
  }

  /// Records the key that find() last missed, now at position `count` - 1. `take_index()`
  /// gives the index to move to, called once, when the object outgrows its scan.
  template <class TextOf, class TakeIndex>
  void add(std::size_t count, const TextOf& text_of, TakeIndex&& take_index) {
    if (index_ != nullptr) {
      index_->insert(hash_, static_cast<std::uint32_t>(count - 1), count);
    } else if (count > linear_keys) {
      index_ = &take_index();
      for (std::size_t i = 0; i < count; ++i) {
        const std::string_view text = text_of(i);
        index_->insert(hash_key(text.data(), text.size(), seed_), static_cast<std::uint32_t>(i),
                       i + 1);
      }
    }
  }

 private:
  KeyIndex* index_ = nullptr;  // owned by the parser; null while the object is scanned
  std::uint64_t seed_;
  std::uint64_t hash_ = 0;  // of the key find() last looked up through the index
};

}  // namespace vorn::json
