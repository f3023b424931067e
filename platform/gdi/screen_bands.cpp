#include "platform/gdi/screen_bands.h"

#include <algorithm>

#include "platform/base/debug.h"
#include "platform/base/parallel.h"
#include "platform/gdi/bitblt.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/display.h"

namespace platform {
namespace {

// Whole MCU rows of the encoder (16 rows), as many as keep a strip within about 256 KiB: small
// enough that a strip, and the one read ahead, stay in a core's cache between the server's write,
// the sink's read and the copy into the DIB section; large enough that a narrow screen is not
// read in more requests than it needs (32 rows at 1920 pixels, 16 at 3840).
constexpr int kMcuRows = 16, kMaxStripRows = 64;
constexpr int kStripBytes = 256 * 1024;

int StripRows(int width) {
  const int mcus = kStripBytes / (std::max(width, 1) * 4 * kMcuRows);
  return std::clamp(mcus, 1, kMaxStripRows / kMcuRows) * kMcuRows;
}

// Reads band `index` strip by strip, hands each strip to the sink and copies it into the view.
bool CopyBand(StripReads& strips, const ScreenRect& area, int first, int rows, int index,
              const StripSink& sink, const Surface& dib) {
  std::unique_ptr<StripReader> reader =
      strips.Open({area.x, area.y + first, area.width, rows}, StripRows(area.width));
  int done = 0;
  PixelBand strip{};
  while (reader && reader->Next(&strip)) {
    const BYTE* lines[kMaxStripRows];
    for (int i = 0; i < strip.rows; ++i) lines[i] = strip.data + std::ptrdiff_t{strip.stride} * i;
    if (!sink(index, lines, strip.rows)) return false;
    Surface source{const_cast<BYTE*>(strip.data), strip.stride, area.width, strip.rows,
                   PixelFormat::Xrgb32(),         nullptr};
    BlitSurfaces(dib, 0, first + strip.row, area.width, strip.rows, &source, 0, 0, SRCCOPY);
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
  // Only a display that reads in strips goes this way; the others hand the rows to BitBlt.
  Display& display = CurrentDisplay();
  StripReads* strips = display.strip_reads();
  if (!strips || !strips->Available()) {
    DebugLine("display", "the %s display does not read this screen in strips: step by step",
              display.name());
    return FALSE;
  }
  int x = 0, y = 0;
  if (!WindowDcOrigin(*s, &x, &y)) return FALSE;
  const ScreenInfo screen = display.Screen();
  const long long left = static_cast<long long>(x) + src_x, top = static_cast<long long>(y) + src_y;
  if (left < 0 || top < 0 || left + width > screen.primary.width ||
      top + height > screen.primary.height)
    return FALSE;
  const ScreenRect area{static_cast<int>(left) + screen.primary.x,
                        static_cast<int>(top) + screen.primary.y, width, height};

  dib->PrepareWrite();
  Surface view = dib->View();
  view.fill_once = true;
  return RunInParallel(bands, threads,
                       [&](int index) {
                         const int first = index * band_rows;
                         return CopyBand(*strips, area, first, std::min(band_rows, height - first),
                                         index, sink, view);
                       })
             ? TRUE
             : FALSE;
}
