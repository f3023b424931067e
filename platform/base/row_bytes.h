// The row length of a 24-bit DIB: 3 bytes a pixel, each row padded to a multiple of 4 bytes.
// Stateless; any thread.
#pragma once

#include <cstddef>

namespace platform {

// Bytes per row of a 24-bit DIB of that width (width 0 and below: 0).
constexpr std::size_t DibRowBytes(long long width) {
  return width <= 0 ? 0 : static_cast<std::size_t>((width * 3 + 3) / 4 * 4);
}

}  // namespace platform
