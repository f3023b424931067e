#include "platform/gdi/screen_bands.h"

#include <algorithm>

#include "platform/base/parallel.h"
#include "platform/gdi/bitblt.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/screen_source.h"
#include "platform/x11/x11.h"

namespace platform {
namespace {

// One MCU row of the encoder: small enough that a strip stays in the cache between the
// server's write, the sink's read and the copy into the DIB section.
constexpr int kStripRows = 16;

// Reads band `index` strip by strip, hands each strip to the sink and copies it into the view.
bool CopyBand(const x11::Rect& root, int first, int rows, int index, const StripSink& sink,
              const Surface& dib) {
  x11::StripReader reader({root.x, root.y + first, root.width, rows}, kStripRows);
  int done = 0;
  x11::Band strip{};
  while (reader.Next(&strip)) {
    const BYTE* lines[kStripRows];
    for (int i = 0; i < strip.rows; ++i) lines[i] = strip.data + std::ptrdiff_t{strip.stride} * i;
    if (!sink(index, lines, strip.rows)) return false;
    Surface source{const_cast<BYTE*>(strip.data), strip.stride, root.width, strip.rows,
                   PixelFormat::Xrgb32(),         nullptr};
    BlitSurfaces(dib, 0, first + strip.row, root.width, strip.rows, &source, 0, 0, SRCCOPY);
    done += strip.rows;
  }
  return done == rows;
}

}  // namespace
}  // namespace platform

BOOL BitBltBands(HDC dest, HDC src, int src_x, int src_y, int band_rows, int bands, int threads,
                 const StripSink& sink) {
  using namespace platform;
  auto* d = FindGdi<DcObject>(dest);
  auto* s = FindGdi<DcObject>(src);
  if (!d || !s || d->type != DcObject::Type::kMemory || s->type != DcObject::Type::kWindow || !sink)
    return FALSE;
  auto* dib = FindGdi<BitmapObject>(d->bitmap);
  if (!dib || !dib->dib_section() || dib->format() != PixelFormat::Bgr24()) return FALSE;
  const int width = dib->width(), height = dib->height();
  if (width <= 0 || height <= 0 || band_rows <= 0 || bands <= 0 ||
      static_cast<long long>(bands - 1) * band_rows >= height ||
      static_cast<long long>(bands) * band_rows < height)
    return FALSE;
  // Only the X server's screen is read in strips; other back ends hand the rows to BitBlt.
  if (CurrentScreenSource() != ScreenSource::kX11 || !x11::StripReader::Available()) return FALSE;
  int x = 0, y = 0;
  if (!WindowDcOrigin(*s, &x, &y)) return FALSE;
  const x11::ScreenInfo screen = screen::Screen();
  const long long left = static_cast<long long>(x) + src_x, top = static_cast<long long>(y) + src_y;
  if (left < 0 || top < 0 || left + width > screen.primary.width ||
      top + height > screen.primary.height)
    return FALSE;
  const x11::Rect root{static_cast<int>(left) + screen.primary.x,
                       static_cast<int>(top) + screen.primary.y, width, height};

  dib->PrepareWrite();
  const Surface view = dib->View();
  return RunInParallel(bands, threads,
                       [&](int index) {
                         const int first = index * band_rows;
                         return CopyBand(root, first, std::min(band_rows, height - first), index,
                                         sink, view);
                       })
             ? TRUE
             : FALSE;
}
