#include "json_key.hpp"

namespace vorn::json {

std::uint64_t mix_bits(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

std::uint64_t hash_key(const char* p, std::size_t n, std::uint64_t seed) {
  std::uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ULL);
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
  return mix_bits(h);
}

}  // namespace vorn::json
