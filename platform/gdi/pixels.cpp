#include "platform/gdi/pixels.h"

#include <cstring>

namespace platform {
namespace {

// Pixels of `Bytes` bytes each, the least significant byte first.
template <int Bytes>
void LoadBytes(const std::uint8_t* row, int n, std::uint32_t* out) {
  for (int i = 0; i < n; ++i) {
    std::uint32_t v = 0;
    for (int b = 0; b < Bytes; ++b) v |= static_cast<std::uint32_t>(row[Bytes * i + b]) << (8 * b);
    out[i] = v;
  }
}

template <int Bytes>
void StoreBytes(const std::uint32_t* in, int n, std::uint8_t* row) {
  for (int i = 0; i < n; ++i) {
    for (int b = 0; b < Bytes; ++b)
      row[Bytes * i + b] = static_cast<std::uint8_t>(in[i] >> (8 * b));
  }
}

}  // namespace

void LoadRaw(const std::uint8_t* row, int x, int n, int bits, std::uint32_t* out) {
  switch (bits) {
    case 1:
      for (int i = 0; i < n; ++i) {
        int p = x + i;
        out[i] = (row[p >> 3] >> (7 - (p & 7))) & 1u;
      }
      break;
    case 8:
      for (int i = 0; i < n; ++i) out[i] = row[x + i];
      break;
    case 16:
      LoadBytes<2>(row + 2 * x, n, out);
      break;
    case 24:
      LoadBytes<3>(row + 3 * x, n, out);
      break;
    default:
      std::memcpy(out, row + 4 * x, 4 * static_cast<std::size_t>(n));
      break;
  }
}

void StoreRaw(const std::uint32_t* in, int n, int bits, std::uint8_t* row, int x) {
  switch (bits) {
    case 1:
      for (int i = 0; i < n; ++i) {
        int p = x + i;
        std::uint8_t bit = static_cast<std::uint8_t>(0x80u >> (p & 7));
        row[p >> 3] = (in[i] & 1u) ? (row[p >> 3] | bit) : (row[p >> 3] & ~bit);
      }
      break;
    case 8:
      for (int i = 0; i < n; ++i) row[x + i] = static_cast<std::uint8_t>(in[i]);
      break;
    case 16:
      StoreBytes<2>(in, n, row + 2 * x);
      break;
    case 24:
      StoreBytes<3>(in, n, row + 3 * x);
      break;
    default:
      std::memcpy(row + 4 * x, in, 4 * static_cast<std::size_t>(n));
      break;
  }
}

bool StandardMasks(const PixelFormat& f) {
  return f.red == 0xFF0000 && f.green == 0x00FF00 && f.blue == 0x0000FF;
}

}  // namespace platform
