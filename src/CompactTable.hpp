// Shared by the vector kernels that compact 8 bytes at a time with a byte shuffle.
#pragma once

#include <array>
#include <cstdint>

// For each mask of 8 bits, the shuffle control that moves the marked bytes of an 8-byte group
// to its front, in order.
inline constexpr auto kCompactControl = [] {
  std::array<std::array<std::uint8_t, 8>, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned slot = 0;
    for (std::uint8_t index = 0; index < 8; ++index) {
      if ((mask >> index) & 1U) {
        table[mask][slot++] = index;
      }
    }
  }
  return table;
}();
