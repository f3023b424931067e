#include "platform/gdi/screen_jpeg.h"

#include <algorithm>

#include "platform/gdi/bitblt.h"
#include "platform/gdi/dc.h"
#include "platform/jpeg/bands.h"
#include "platform/x11/x11.h"

namespace platform {
namespace {

// One MCU row: small enough that a strip stays in the cache between the server's write, the
// encoder's read and the copy into the DIB section.
constexpr int kStripRows = 16;

// Reads and encodes band `index` of the plan and copies its rows into the DIB section's view.
bool PassBand(const x11::Rect& root, const jpeg::BandPlan& plan, int index, int quality,
              jpeg::BandEncoder& encoder, const Surface& dib) {
  const int first = index * plan.band_rows;
  const int rows = std::min(plan.band_rows, plan.height - first);
  x11::StripReader reader({root.x, root.y + first, root.width, rows}, kStripRows);
  if (!encoder.Start(plan, index, quality, jpeg::RowFormat::kBgrx)) return false;
  int done = 0;
  x11::Band strip{};
  while (reader.Next(&strip)) {
    const std::uint8_t* lines[kStripRows];
    for (int i = 0; i < strip.rows; ++i) lines[i] = strip.data + std::ptrdiff_t{strip.stride} * i;
    if (!encoder.Write(lines, strip.rows)) return false;
    Surface source{const_cast<std::uint8_t*>(strip.data),
                   strip.stride,
                   root.width,
                   strip.rows,
                   PixelFormat::Xrgb32(),
                   nullptr};
    BlitSurfaces(dib, 0, first + strip.row, root.width, strip.rows, &source, 0, 0, SRCCOPY);
    done += strip.rows;
  }
  return done == rows && encoder.Finish();
}

}  // namespace
}  // namespace platform

BOOL BitBltEncode(HDC dest, HDC src, int src_x, int src_y, JPEG_CORE_PROPERTIES* props) {
  using namespace platform;
  if (!props || !props->jprops || props->jquality < 1 || props->jquality > 100) return FALSE;
  auto* d = FindGdi<DcObject>(dest);
  auto* s = FindGdi<DcObject>(src);
  if (!d || !s || d->type != DcObject::Type::kMemory || s->type != DcObject::Type::kWindow)
    return FALSE;
  auto* dib = FindGdi<BitmapObject>(d->bitmap);
  if (!dib || !dib->dib_section() || dib->format() != PixelFormat::Bgr24()) return FALSE;
  if (!x11::StripReader::Available()) return FALSE;
  int x = 0, y = 0;
  if (!WindowDcOrigin(*s, &x, &y)) return FALSE;
  const x11::ScreenInfo screen = x11::Screen();
  const long long left = static_cast<long long>(x) + src_x, top = static_cast<long long>(y) + src_y;
  const int width = dib->width(), height = dib->height();
  if (left < 0 || top < 0 || left + width > screen.primary.width ||
      top + height > screen.primary.height || width <= 0 || height <= 0)
    return FALSE;
  const x11::Rect root{static_cast<int>(left) + screen.primary.x,
                       static_cast<int>(top) + screen.primary.y, width, height};

  dib->PrepareWrite();
  const Surface view = dib->View();
  const jpeg::BandPlan plan = jpeg::PlanBands(width, height, jpeg::WorthThreads(width, height));
  const std::vector<jpeg::BandEncoder*> bands = jpeg::RecordBandEncoders(props, plan.bands);
  if (bands.empty()) return FALSE;
  const int quality = props->jquality;
  const bool passed = jpeg::ForEachBand(plan.bands, [&](int index) {
    return PassBand(root, plan, index, quality, *bands[index], view);
  });
  return passed && jpeg::StoreStitched(props, plan, bands) ? TRUE : FALSE;
}
