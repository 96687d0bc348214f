#include "int128.hpp"

#include <charconv>  // std::to_chars
#include <limits>

namespace vorn {

void append_decimal(std::string& out, Int128 v) {
  char buf[48];
  char* end = buf + sizeof buf;
  // Nearly every value an issue message names fits 64 bits, where a digit costs a multiply
  // instead of a call into the 128-bit division routine (a range issue's three numbers took
  // 525 instructions that way).
  if (v >= std::numeric_limits<std::int64_t>::min() &&
      v <= std::numeric_limits<std::uint64_t>::max()) {
    auto res = v < 0 ? std::to_chars(buf, end, static_cast<std::int64_t>(v))
                     : std::to_chars(buf, end, static_cast<std::uint64_t>(v));
    out.append(buf, res.ptr);
    return;
  }
  char* p = end;
  // Work on the magnitude as unsigned so that the most negative value does not overflow.
  UInt128 mag = v < 0 ? UInt128{0} - static_cast<UInt128>(v) : static_cast<UInt128>(v);
  do {
    *--p = static_cast<char>('0' + static_cast<int>(mag % 10));
    mag /= 10;
  } while (mag != 0);
  if (v < 0) {
    *--p = '-';
  }
  out.append(p, end);
}

std::string to_decimal(Int128 v) {
  std::string s;
  append_decimal(s, v);
  return s;
}

}  // namespace vorn
