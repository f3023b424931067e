// Raw pixel values of every bitmap format and their conversion through 0x00RRGGBB: what the
// blitter and the bitmap reads share. Internal to the drawing layer. Stateless apart from a
// Converter's cache of nearest palette entries. Threading: any, one Converter a thread.
#pragma once

#include <bit>
#include <cstdint>
#include <unordered_map>

#include "platform/gdi/bitmap.h"

namespace platform {

inline constexpr std::uint32_t kWhite = 0xFFFFFF;

// The bits of a raw value of that many bits per pixel.
inline std::uint32_t RawMask(int bits) {
  return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
}

// Reads n raw values from pixel x of the row on; writes n raw values at pixel x of the row.
void LoadRaw(const std::uint8_t* row, int x, int n, int bits, std::uint32_t* out);
void StoreRaw(const std::uint32_t* in, int n, int bits, std::uint8_t* row, int x);

// True for the 0xFF0000, 0x00FF00, 0x0000FF masks, whose raw values are 0x00RRGGBB already.
bool StandardMasks(const PixelFormat& f);

// One colour channel of a masked format.
struct Channel {
  int shift = 0;
  int width = 0;
  std::uint8_t expand[256] = {};  // channel value (top 8 bits at most) -> 0..255

  explicit Channel(std::uint32_t mask) {
    if (mask == 0) return;
    shift = std::countr_zero(mask);
    width = std::popcount(mask);
    int w = width > 8 ? 8 : width;
    // Bit replication: 5-bit 10110 becomes 10110101, so 0 and the maximum map to 0 and 255.
    for (std::uint32_t v = 0; v < (1u << w); ++v) {
      std::uint32_t wide = 0;
      int have = 0;
      for (; have < 8; have += w) wide = (wide << w) | v;
      expand[v] = static_cast<std::uint8_t>(wide >> (have - 8));
    }
  }
  std::uint32_t Decode(std::uint32_t raw) const {
    std::uint32_t v = (raw >> shift) & RawMask(width);
    if (width > 8) v >>= width - 8;
    return expand[v];
  }
  std::uint32_t Encode(std::uint32_t v8) const {
    if (width == 0) return 0;
    std::uint32_t v = v8 >> (8 - (width < 8 ? width : 8));
    if (width > 8) v = (v8 << (width - 8)) | (v8 >> (width < 16 ? 16 - width : 0));
    return (v & RawMask(width)) << shift;
  }
};

// Converts raw values of one format to and from 0x00RRGGBB.
class Converter {
 public:
  explicit Converter(const Surface& s)
      : format_(s.format),
        table_(s.table),
        r_(s.format.red),
        g_(s.format.green),
        b_(s.format.blue) {}

  void ToRgb(std::uint32_t* px, int n) const {
    switch (format_.bits) {
      case 1:
        for (int i = 0; i < n; ++i) px[i] = px[i] ? kWhite : 0;
        return;
      case 8:
        for (int i = 0; i < n; ++i) {
          const RGBQUAD& q = (*table_)[px[i] & 0xFF];
          px[i] = (static_cast<std::uint32_t>(q.rgbRed) << 16) | (q.rgbGreen << 8) | q.rgbBlue;
        }
        return;
      default:
        if (StandardMasks(format_)) {
          for (int i = 0; i < n; ++i) px[i] &= kWhite;
          return;
        }
        for (int i = 0; i < n; ++i)
          px[i] = (r_.Decode(px[i]) << 16) | (g_.Decode(px[i]) << 8) | b_.Decode(px[i]);
    }
  }

  void FromRgb(std::uint32_t* px, int n) {
    switch (format_.bits) {
      case 1:
        // Pixels of the background colour (white) become 1, all others 0.
        for (int i = 0; i < n; ++i) px[i] = px[i] == kWhite ? 1 : 0;
        return;
      case 8:
        for (int i = 0; i < n; ++i) px[i] = Nearest(px[i]);
        return;
      default:
        if (StandardMasks(format_)) return;
        for (int i = 0; i < n; ++i)
          px[i] = r_.Encode(px[i] >> 16) | g_.Encode((px[i] >> 8) & 0xFF) | b_.Encode(px[i] & 0xFF);
    }
  }

 private:
  std::uint32_t Nearest(std::uint32_t rgb) {
    auto it = nearest_.find(rgb);
    if (it != nearest_.end()) return it->second;
    int r = static_cast<int>(rgb >> 16), g = static_cast<int>((rgb >> 8) & 0xFF),
        b = static_cast<int>(rgb & 0xFF);
    std::uint32_t best = 0;
    int best_distance = 1 << 30;
    for (int i = 0; i < 256 && best_distance != 0; ++i) {
      const RGBQUAD& q = (*table_)[i];
      int dr = q.rgbRed - r, dg = q.rgbGreen - g, db = q.rgbBlue - b;
      int d = dr * dr + dg * dg + db * db;
      if (d < best_distance) best_distance = d, best = static_cast<std::uint32_t>(i);
    }
    nearest_.emplace(rgb, best);
    return best;
  }

  PixelFormat format_;
  const ColorTable* table_;
  Channel r_, g_, b_;
  std::unordered_map<std::uint32_t, std::uint32_t> nearest_;
};

}  // namespace platform
