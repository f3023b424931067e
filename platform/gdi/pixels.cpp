#include "platform/gdi/pixels.h"

#include <cstring>

namespace platform {

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
      row += 2 * x;
      for (int i = 0; i < n; ++i) out[i] = row[2 * i] | (row[2 * i + 1] << 8);
      break;
    case 24:
      row += 3 * x;
      for (int i = 0; i < n; ++i)
        out[i] =
            row[3 * i] | (row[3 * i + 1] << 8) | (static_cast<std::uint32_t>(row[3 * i + 2]) << 16);
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
      row += 2 * x;
      for (int i = 0; i < n; ++i) {
        row[2 * i] = static_cast<std::uint8_t>(in[i]);
        row[2 * i + 1] = static_cast<std::uint8_t>(in[i] >> 8);
      }
      break;
    case 24:
      row += 3 * x;
      for (int i = 0; i < n; ++i) {
        row[3 * i] = static_cast<std::uint8_t>(in[i]);
        row[3 * i + 1] = static_cast<std::uint8_t>(in[i] >> 8);
        row[3 * i + 2] = static_cast<std::uint8_t>(in[i] >> 16);
      }
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
