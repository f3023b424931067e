#include "platform/gdi/screen_bands.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>

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

// Bands in turn, as the other threads leave them, until none is left: each read strip by strip,
// each strip handed to the sink and copied into the view. A reader that reads ahead goes on into
// the next band while it still has strips of this one to give, so that a thread does not wait
// for the server at the start of each band.
bool CopyBands(StripReads& strips, const ScreenRect& area, int band_rows, int bands,
               std::atomic<int>& next_band, const StripSink& sink, const Surface& dib) {
  auto band_rect = [&](int band) {
    const int first = band * band_rows;
    return ScreenRect{area.x, area.y + first, area.width, std::min(band_rows, area.height - first)};
  };
  const int strip_rows = StripRows(area.width);
  for (int band; (band = next_band.fetch_add(1)) < bands;) {
    std::unique_ptr<StripReader> reader = strips.Open(band_rect(band), strip_rows);
    if (!reader) return false;
    std::deque<int> queued{band};  // the reader's bands, in order
    int done = 0;                  // rows of the first one
    bool more = true;              // whether bands may be left for this thread to take
    while (!queued.empty()) {
      PixelBand strip{};
      if (!reader->Next(&strip)) return false;
      const int index = queued.front();
      const int first = index * band_rows;
      const BYTE* lines[kMaxStripRows];
      for (int i = 0; i < strip.rows; ++i) lines[i] = strip.data + std::ptrdiff_t{strip.stride} * i;
      if (!sink(index, lines, strip.rows)) return false;
      Surface source{const_cast<BYTE*>(strip.data), strip.stride, area.width, strip.rows,
                     PixelFormat::Xrgb32(),         nullptr};
      BlitSurfaces(dib, 0, first + strip.row, area.width, strip.rows, &source, 0, 0, SRCCOPY);
      if ((done += strip.rows) == band_rect(index).height) {
        queued.pop_front();
        done = 0;
      }
      if (more && reader->WantsMore()) {
        const int following = next_band.fetch_add(1);
        if ((more = following < bands)) {
          reader->Continue(band_rect(following));
          queued.push_back(following);
        }
      }
    }
  }
  return true;
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
  std::atomic<int> next_band{0};
  return RunInParallel(
             std::min(bands, threads), threads,
             [&](int) { return CopyBands(*strips, area, band_rows, bands, next_band, sink, view); })
             ? TRUE
             : FALSE;
}
