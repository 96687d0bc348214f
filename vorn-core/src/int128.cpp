#include "int128.hpp"

namespace vorn {

void append_decimal(std::string& out, Int128 v) {
  char buf[48];
  char* end = buf + sizeof buf;
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
