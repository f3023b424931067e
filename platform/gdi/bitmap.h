// Bitmaps behind the handles: their pixel formats, the surface view that the blitter works on,
// and reads of their pixels as colours. The handle table owns every bitmap; a bitmap owns its
// pixel memory. Internal to the platform layer (the clipboard reads bitmaps through it).
// Threading: the user-interface thread only.
//
// Pixel layout: rows of `stride` bytes; device-dependent bitmaps are top-down with rows padded
// to 2 bytes, DIB sections bottom-up with rows padded to 4 bytes. 1-bit pixels are packed most
// significant bit first (0 black, 1 white); 8-bit pixels index the bitmap's 256-entry colour
// table; 16- and 32-bit pixels are little-endian words split by the format's masks (the rest,
// such as an alpha byte, is ignored); 24-bit pixels are blue, green, red bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"

namespace platform {

struct PixelFormat {
  int bits = 0;                                // 1, 8, 16, 24 or 32
  std::uint32_t red = 0, green = 0, blue = 0;  // masks for 16 and 32 bits
  bool operator==(const PixelFormat&) const = default;

  static PixelFormat Mono() { return {1, 0, 0, 0}; }
  static PixelFormat Indexed8() { return {8, 0, 0, 0}; }
  static PixelFormat Rgb565() { return {16, 0xF800, 0x07E0, 0x001F}; }
  static PixelFormat Bgr24() { return {24, 0xFF0000, 0x00FF00, 0x0000FF}; }
  static PixelFormat Xrgb32() { return {32, 0xFF0000, 0x00FF00, 0x0000FF}; }
};

using ColorTable = std::array<RGBQUAD, 256>;

// The length that a frame's pixel memory of `size` bytes is mapped with: whole pages, and whole
// 2 MiB huge pages when the part past the last one is large enough that its small pages would
// cost more to fault in than the memory that rounding up adds (a 1920 x 1080 frame is 5.93 MiB:
// 6 MiB is three huge pages).
std::size_t MappedLength(std::size_t size);

// Bytes per row of a bitmap: width × bits rounded up to `align` bytes; -1 when it does not fit
// a signed 32-bit value.
std::int32_t Stride(std::int32_t width, int bits, int align);

// A view of pixel rows. Row(y) hides the row order: a bottom-up bitmap has its origin at the
// last row in memory and a negative pitch. A pitch of 0 repeats one row.
struct Surface {
  std::uint8_t* origin = nullptr;
  std::ptrdiff_t pitch = 0;
  int width = 0;
  int height = 0;
  PixelFormat format;
  const ColorTable* table = nullptr;  // for 8 bits
  // Set by a caller that writes every pixel once and reads none of them back soon (the one-pass
  // capture): a large frame is then written around the cache.
  bool fill_once = false;

  std::uint8_t* Row(int y) const { return origin + pitch * y; }
};

class BitmapObject : public GdiObject {
 public:
  static constexpr GdiKind kKind = GdiKind::kBitmap;
  // Makes a bitmap with its memory, or returns nullptr when the size is refused or memory is
  // short. DIB sections are zero-filled; other bitmaps start with unspecified pixels. A bitmap
  // for_screen may get memory that the display writes into (display.h, SharedPixels); a large one
  // gets its memory when it is first drawn on, as a full copy into it may bring memory along.
  static std::unique_ptr<BitmapObject> Make(int width, int height, const PixelFormat& format,
                                            bool dib_section, bool for_screen = false);
  ~BitmapObject() override;
  bool Deletable() const override { return selected_into == 0; }
  int Describe(int size, void* buffer) const override;  // a BITMAP record

  int width() const { return width_; }
  int height() const { return height_; }
  const PixelFormat& format() const { return format_; }
  std::int32_t stride() const { return stride_; }
  bool dib_section() const { return dib_; }
  std::uint8_t* bits();
  ColorTable& table() { return table_; }
  // The pixels as they lie in memory; an empty view when memory cannot be had.
  Surface View();

  // Takes on the pixels of a 24-bit DIB section of its own size instead of copying them: both
  // then read the same memory until the first GDI write to either, or GdiFlush before the DIB
  // section's memory is written directly, gives this bitmap a copy of its own. False when the
  // two cannot share (this is a DIB section, the sizes differ, a format of fewer bits).
  bool SharePixelsOf(BitmapObject& dib);
  // Call before the pixels are written: a bitmap that shares them takes a copy first.
  void PrepareWrite();
  // Gives this bitmap a copy of the pixels it shares with a DIB section; false when memory is
  // short.
  bool Detach();

  HDC selected_into = 0;
  struct Pixels;

 private:
  BitmapObject() : GdiObject(kKind) {}
  int width_ = 0;
  int height_ = 0;
  PixelFormat format_;
  std::int32_t stride_ = 0;
  std::size_t size_ = 0;
  bool dib_ = false;
  bool for_screen_ = false;
  // A bitmap that took on a DIB section's pixels keeps them in the DIB section's layout.
  bool dib_layout_ = false;
  std::shared_ptr<Pixels> pixels_;
  ColorTable table_{};
};

// The stock bitmap: the 1×1 monochrome bitmap of a new memory DC.
HBITMAP StockBitmap();

// The colour of a pixel as 0x00RRGGBB, for every format; false outside the bitmap.
PLATFORM_API bool GetBitmapPixel(HBITMAP bitmap, int x, int y, std::uint32_t* rgb);
// The whole bitmap as 0x00RRGGBB values, top row first.
PLATFORM_API bool GetBitmapRgb(HBITMAP bitmap, int* width, int* height,
                               std::vector<std::uint32_t>* pixels);

}  // namespace platform
