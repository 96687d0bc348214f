// The signed 128-bit integer of range rules and widened payload integers.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

/// Appends v in plain decimal, with a leading '-' when negative.
void append_decimal(std::string& out, Int128 v);

/// v in plain decimal.
std::string to_decimal(Int128 v);

}  // namespace vorn
