// Fuzzes BitBlt between memory DCs: bitmaps of every format and size, rectangles anywhere (far
// off, negative, at the ends of the int range), every raster operation and unknown ones, a
// bitmap blitted onto itself. Never a crash or an access outside a bitmap (the sanitizers), and
// every destination pixel outside the part that the blit may write keeps its colour; a copy
// between bitmaps of one format puts the source's colours in that part exactly.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/gdi/bitblt.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"

namespace {

using platform::BitmapObject;
using platform::PixelFormat;

const PixelFormat kFormats[] = {PixelFormat::Mono(),   PixelFormat::Indexed8(),
                                PixelFormat::Rgb565(), PixelFormat::Bgr24(),
                                PixelFormat::Xrgb32(), {32, 0x0000FF, 0x00FF00, 0xFF0000}};
const DWORD kRops[] = {SRCCOPY,     SRCPAINT,   SRCAND,    SRCINVERT, SRCERASE, NOTSRCCOPY,
                       NOTSRCERASE, MERGEPAINT, DSTINVERT, BLACKNESS, WHITENESS};

// A bitmap of the format with its bytes (colour table included) from the input.
HBITMAP MakeBitmap(FuzzedDataProvider& in, const PixelFormat& format, int width, int height) {
  auto bitmap = BitmapObject::Make(width, height, format, in.ConsumeBool());
  if (!bitmap) return 0;
  for (RGBQUAD& entry : bitmap->table()) {
    entry = {in.ConsumeIntegral<BYTE>(), in.ConsumeIntegral<BYTE>(), in.ConsumeIntegral<BYTE>(), 0};
  }
  platform::Surface view = bitmap->View();
  const std::size_t row =
      static_cast<std::size_t>(bitmap->stride() < 0 ? -bitmap->stride() : bitmap->stride());
  for (int y = 0; y < view.height; ++y) {
    std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(row);
    bytes.resize(row, 0x5A);
    std::memcpy(view.Row(y), bytes.data(), row);
  }
  return platform::AddGdiObject(std::move(bitmap));
}

std::vector<std::uint32_t> Colours(HBITMAP bitmap) {
  int w = 0, h = 0;
  std::vector<std::uint32_t> pixels;
  if (!platform::GetBitmapRgb(bitmap, &w, &h, &pixels)) std::abort();
  return pixels;
}

int Coordinate(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return in.ConsumeIntegral<int>();
    case 1:
      return in.ConsumeBool() ? INT_MAX : INT_MIN;
    default:
      return in.ConsumeIntegralInRange(-40, 80);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  unsetenv("DISPLAY");  // memory DCs only
  FuzzedDataProvider in(data, size);
  const PixelFormat& srcFormat = kFormats[in.ConsumeIntegralInRange<std::size_t>(0, 5)];
  const PixelFormat& dstFormat = kFormats[in.ConsumeIntegralInRange<std::size_t>(0, 5)];
  const int sw = in.ConsumeIntegralInRange(1, 40), sh = in.ConsumeIntegralInRange(1, 40);
  const int dw = in.ConsumeIntegralInRange(1, 40), dh = in.ConsumeIntegralInRange(1, 40);
  const bool self = in.ConsumeBool();
  const DWORD rop = in.ConsumeIntegralInRange(0, 11) < 11
                        ? kRops[in.ConsumeIntegralInRange<std::size_t>(0, 10)]
                        : in.ConsumeIntegral<DWORD>();
  const int x = Coordinate(in), y = Coordinate(in), w = Coordinate(in), h = Coordinate(in);
  const int sx = Coordinate(in), sy = Coordinate(in);

  HBITMAP dst = MakeBitmap(in, dstFormat, dw, dh);
  HBITMAP src = self ? dst : MakeBitmap(in, srcFormat, sw, sh);
  if (!dst || !src) std::abort();
  const std::vector<std::uint32_t> before = Colours(dst), source = Colours(src);
  const int srcW = self ? dw : sw, srcH = self ? dh : sh;

  HDC dc = CreateCompatibleDC(0);
  HDC sdc = self ? dc : CreateCompatibleDC(0);
  HGDIOBJ oldDst = SelectObject(dc, dst);
  HGDIOBJ oldSrc = self ? 0 : SelectObject(sdc, src);
  const BOOL done = BitBlt(dc, x, y, w, h, sdc, sx, sy, rop);
  if (!self) SelectObject(sdc, oldSrc);
  SelectObject(dc, oldDst);

  const std::vector<std::uint32_t> after = Colours(dst);
  const bool usesSource = platform::RopUsesSource(rop);
  for (int py = 0; py < dh; ++py) {
    for (int px = 0; px < dw; ++px) {
      const long long qx = px - static_cast<long long>(x) + sx;
      const long long qy = py - static_cast<long long>(y) + sy;
      bool writable = done && px >= x && px - static_cast<long long>(x) < w && py >= y &&
                      py - static_cast<long long>(y) < h;
      const bool fromSource = qx >= 0 && qx < srcW && qy >= 0 && qy < srcH;
      if (usesSource && !fromSource) writable = false;
      const std::size_t at = static_cast<std::size_t>(py) * dw + px;
      if (!writable && after[at] != before[at]) std::abort();
      // Indexed and monochrome bitmaps each have a colour table of their own.
      if (writable && rop == SRCCOPY && !self && srcFormat == dstFormat && dstFormat.bits >= 16 &&
          after[at] != source[static_cast<std::size_t>(qy) * srcW + qx])
        std::abort();
    }
  }

  if (!self) DeleteDC(sdc);
  DeleteDC(dc);
  if (!self) DeleteObject(src);
  DeleteObject(dst);
  return 0;
}
