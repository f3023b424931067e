// BitBlt: copies a rectangle between device contexts with a raster operation that takes only
// source and destination, converting between pixel formats. Work goes a row at a time: the
// source row is read as raw pixel values, converted through 0x00RRGGBB into the destination's
// raw values when the formats differ, combined with the destination by the raster operation,
// and stored. Common copies (same format, 32-bit to 24-bit) skip the row buffers.
#include "platform/gdi/bitblt.h"

#include <immintrin.h>
#include <bit>
#include <climits>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "platform/base/lasterror.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/display.h"
#include "platform/gdi/pixels.h"
#include "platform/gdi/screen.h"

namespace platform {
namespace {

void ApplyRop(DWORD rop, const std::uint32_t* s, std::uint32_t* d, int n, std::uint32_t mask) {
  switch (rop) {
    case SRCCOPY:
      for (int i = 0; i < n; ++i) d[i] = s[i];
      break;
    case SRCPAINT:
      for (int i = 0; i < n; ++i) d[i] |= s[i];
      break;
    case SRCAND:
      for (int i = 0; i < n; ++i) d[i] &= s[i];
      break;
    case SRCINVERT:
      for (int i = 0; i < n; ++i) d[i] ^= s[i];
      break;
    case SRCERASE:
      for (int i = 0; i < n; ++i) d[i] = s[i] & ~d[i];
      break;
    case NOTSRCCOPY:
      for (int i = 0; i < n; ++i) d[i] = ~s[i];
      break;
    case NOTSRCERASE:
      for (int i = 0; i < n; ++i) d[i] = ~(s[i] | d[i]);
      break;
    case MERGEPAINT:
      for (int i = 0; i < n; ++i) d[i] = ~s[i] | d[i];
      break;
    case DSTINVERT:
      for (int i = 0; i < n; ++i) d[i] = ~d[i];
      break;
    case BLACKNESS:
      for (int i = 0; i < n; ++i) d[i] = 0;
      break;
    case WHITENESS:
      for (int i = 0; i < n; ++i) d[i] = mask;
      break;
  }
  for (int i = 0; i < n; ++i) d[i] &= mask;
}

bool CopySameFormat(const Surface& dest, int x, int y, int w, int h, const Surface& src, int sx,
                    int sy) {
  int bytes_per_pixel = dest.format.bits / 8;
  std::size_t bytes = static_cast<std::size_t>(w) * bytes_per_pixel;
  auto copy = [&](int row) {
    std::memmove(dest.Row(y + row) + static_cast<std::ptrdiff_t>(x) * bytes_per_pixel,
                 src.Row(sy + row) + static_cast<std::ptrdiff_t>(sx) * bytes_per_pixel, bytes);
  };
  // A bitmap blitted onto itself: rows are taken before they are overwritten, as in a move.
  if (reinterpret_cast<std::uintptr_t>(dest.Row(y)) >
      reinterpret_cast<std::uintptr_t>(src.Row(sy))) {
    for (int row = h - 1; row >= 0; --row) copy(row);
  } else {
    for (int row = 0; row < h; ++row) copy(row);
  }
  return true;
}

// 32-bit 0x??RRGGBB to 24-bit blue, green, red: the conversion into a DIB section. Four pixels
// at a time become three 32-bit words (little-endian), dropping each pixel's top byte.
// Packs 16 pixels at a time: each 16-byte load of 4 pixels is shuffled down to 12 bytes, and
// four of them are stitched into three 16-byte stores. Returns the pixels done.
// With kStream the 16-byte stores go around the cache (streaming stores). Those need 16-byte
// boundaries, so the pixels up to the first one are copied one by one; the caller fences before
// the pixels are handed on.
template <bool kStream>
__attribute__((target("ssse3"))) int Pack32To24Ssse3(const std::uint8_t* s, std::uint8_t* d,
                                                     int w) {
  const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int i = 0;
  if constexpr (kStream) {
    for (; i < w && (reinterpret_cast<std::uintptr_t>(d) & 15) != 0; ++i, s += 4, d += 3) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
  auto store = [](std::uint8_t* at, __m128i v) {
    if constexpr (kStream)
      _mm_stream_si128(reinterpret_cast<__m128i*>(at), v);
    else
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
  };
  for (; i + 16 <= w; i += 16, s += 64, d += 48) {
    __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), pack);
    __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)), pack);
    __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32)), pack);
    __m128i e = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48)), pack);
    store(d, _mm_or_si128(a, _mm_slli_si128(b, 12)));
    store(d + 16, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    store(d + 32, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(e, 4)));
  }
  return i;
}

// A frame that asks for it (Surface::fill_once) and is larger than a core's L2 cache is written
// around the cache. It does not stay in the cache beside the server's copy of the screen and the
// encoder's work, so plain stores would first read every line of it in and push out what the
// encoder and the server use. Filled strip by strip, a 3840 x 2160 frame took 1.2 ms this way
// against 2.8 ms with plain stores on a 32 MiB L3. A 1920 x 1080 frame refilled in a running
// host cost 0.3 ms less CPU a capture this way, and a fresh one (just zeroed by the kernel) was
// as fast either way.
constexpr std::size_t kStreamBytes = std::size_t{2} << 20;

bool Copy32To24(const Surface& dest, int x, int y, int w, int h, const Surface& src, int sx,
                int sy) {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  const std::size_t frame_bytes =
      static_cast<std::size_t>(dest.pitch < 0 ? -dest.pitch : dest.pitch) *
      static_cast<std::size_t>(dest.height);
  const bool stream = ssse3 && dest.fill_once && frame_bytes >= kStreamBytes;
  for (int row = 0; row < h; ++row) {
    const std::uint8_t* s = src.Row(sy + row) + 4 * static_cast<std::ptrdiff_t>(sx);
    std::uint8_t* d = dest.Row(y + row) + 3 * static_cast<std::ptrdiff_t>(x);
    int i = 0;
    if (ssse3) {
      i = stream ? Pack32To24Ssse3<true>(s, d, w) : Pack32To24Ssse3<false>(s, d, w);
      s += 4 * static_cast<std::ptrdiff_t>(i);
      d += 3 * static_cast<std::ptrdiff_t>(i);
    }
    for (; i + 4 <= w; i += 4, s += 16, d += 12) {
      std::uint32_t p0, p1, p2, p3;
      std::memcpy(&p0, s, 4);
      std::memcpy(&p1, s + 4, 4);
      std::memcpy(&p2, s + 8, 4);
      std::memcpy(&p3, s + 12, 4);
      std::uint32_t o0 = (p0 & 0xFFFFFF) | (p1 << 24);
      std::uint32_t o1 = ((p1 >> 8) & 0xFFFF) | (p2 << 16);
      std::uint32_t o2 = ((p2 >> 16) & 0xFF) | (p3 << 8);
      std::memcpy(d, &o0, 4);
      std::memcpy(d + 4, &o1, 4);
      std::memcpy(d + 8, &o2, 4);
    }
    for (; i < w; ++i, s += 4, d += 3) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
  // Streaming stores are not ordered with the stores that hand the pixels on (a lock, a
  // thread's end): the fence makes them visible first.
  if (stream) _mm_sfence();
  return true;
}

}  // namespace

bool KnownRop(DWORD rop) {
  switch (rop) {
    case SRCCOPY:
    case SRCPAINT:
    case SRCAND:
    case SRCINVERT:
    case SRCERASE:
    case NOTSRCCOPY:
    case NOTSRCERASE:
    case MERGEPAINT:
    case DSTINVERT:
    case BLACKNESS:
    case WHITENESS:
      return true;
    default:
      return false;
  }
}

bool RopUsesSource(DWORD rop) {
  return rop != DSTINVERT && rop != BLACKNESS && rop != WHITENESS;
}

static bool RopUsesDest(DWORD rop) {
  return rop != SRCCOPY && rop != NOTSRCCOPY && rop != BLACKNESS && rop != WHITENESS;
}

bool BlitSurfaces(const Surface& dest, int x, int y, int w, int h, const Surface* src, int sx,
                  int sy, DWORD rop) {
  if (!KnownRop(rop)) return false;
  if (w <= 0 || h <= 0) return true;
  bool with_source = RopUsesSource(rop) && src;
  bool same = with_source && src->format == dest.format;
  if (rop == SRCCOPY && same && dest.format.bits >= 8)
    return CopySameFormat(dest, x, y, w, h, *src, sx, sy);
  if (rop == SRCCOPY && with_source && src->format.bits == 32 && StandardMasks(src->format) &&
      dest.format == PixelFormat::Bgr24())
    return Copy32To24(dest, x, y, w, h, *src, sx, sy);

  std::vector<std::uint32_t> sbuf(static_cast<std::size_t>(w)), dbuf(static_cast<std::size_t>(w));
  Converter to(dest);
  std::optional<Converter> from;
  if (with_source && !same) from.emplace(*src);
  std::uint32_t mask = RawMask(dest.format.bits);
  for (int row = 0; row < h; ++row) {
    if (with_source) {
      LoadRaw(src->Row(sy + row), sx, w, src->format.bits, sbuf.data());
      if (from) {
        from->ToRgb(sbuf.data(), w);
        to.FromRgb(sbuf.data(), w);
      }
    }
    if (RopUsesDest(rop)) LoadRaw(dest.Row(y + row), x, w, dest.format.bits, dbuf.data());
    ApplyRop(rop, sbuf.data(), dbuf.data(), w, mask);
    StoreRaw(dbuf.data(), w, dest.format.bits, dest.Row(y + row), x);
  }
  return true;
}

}  // namespace platform

namespace {

using platform::BitmapObject;
using platform::DcObject;
using platform::FindGdi;
using platform::Surface;

struct Area {
  int x, y, w, h;
};

// Clips the rectangle at (x, y) to [0, limit) on both axes, moving the paired rectangle at
// (px, py) along with it. Wide values: the caller's ints may sum past 32 bits.
void Clip(long long& x, long long& y, long long& w, long long& h, long long& px, long long& py,
          long long limit_w, long long limit_h) {
  if (x < 0) w += x, px -= x, x = 0;
  if (y < 0) h += y, py -= y, y = 0;
  if (x + w > limit_w) w = limit_w - x;
  if (y + h > limit_h) h = limit_h - y;
}

}  // namespace

namespace platform {

// The screen position of the DC's origin; false when its window has gone.
bool WindowDcOrigin(const DcObject& dc, int* x, int* y) {
  *x = *y = 0;
  if (dc.window == 0) return true;
  Display& display = CurrentDisplay();
  ScreenInfo screen = display.Screen();
  ScreenRect r;
  if (!display.WindowRect(dc.window, dc.client, &r)) return false;
  *x = r.x - screen.primary.x;
  *y = r.y - screen.primary.y;
  return true;
}

bool BlitFromScreen(const Surface& dest, int x, int y, int w, int h, int screen_x, int screen_y,
                    DWORD rop) {
  Display& display = CurrentDisplay();
  ScreenInfo screen = display.Screen();
  // The part that lies on the screen.
  long long cx = screen_x, cy = screen_y, cw = w, ch = h, cdx = x, cdy = y;
  Clip(cx, cy, cw, ch, cdx, cdy, screen.primary.width, screen.primary.height);
  // All of these now lie inside the destination or the screen.
  int ix = int(cx), iy = int(cy), iw = int(cw), ih = int(ch), dx = int(cdx), dy = int(cdy);
  if (!screen.connected) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  bool inside = iw > 0 && ih > 0;
  // Whatever lies off the screen reads as black: up to four strips around the inside part.
  std::vector<std::uint32_t> black(static_cast<std::size_t>(w), 0);
  Surface none{
      reinterpret_cast<std::uint8_t*>(black.data()), 0, w, 1, PixelFormat::Xrgb32(), nullptr};
  if (!inside) return BlitSurfaces(dest, x, y, w, h, &none, 0, 0, rop);
  int top = dy - y, bottom = y + h - (dy + ih), left = dx - x, right = x + w - (dx + iw);
  BlitSurfaces(dest, x, y, w, top, &none, 0, 0, rop);
  BlitSurfaces(dest, x, dy + ih, w, bottom, &none, 0, 0, rop);
  BlitSurfaces(dest, x, dy, left, ih, &none, 0, 0, rop);
  BlitSurfaces(dest, dx + iw, dy, right, ih, &none, 0, 0, rop);

  PixelFormat format = ScreenFormat();
  ScreenRect area{ix + screen.primary.x, iy + screen.primary.y, iw, ih};
  // Whole rows of a bitmap in the screen's format whose memory the display writes into: one
  // request puts the pixels in place.
  BufferReads* direct = display.buffer_reads();
  if (direct && rop == SRCCOPY && format == dest.format && dest.pitch > 0 && dx == 0 &&
      iw == dest.width && direct->ReadInto(area, dest.Row(dy), static_cast<int>(dest.pitch)))
    return true;

  ColorTable system{};
  if (screen.palette) {
    std::uint8_t rgb[3 * 256] = {};
    display.ReadColormap(0, 256, rgb);
    for (int i = 0; i < 256; ++i) system[i] = {rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i], 0};
  }
  return display.Read(area, [&](const PixelBand& band) {
    Surface s{const_cast<std::uint8_t*>(band.data), band.stride, iw, band.rows, format,
              screen.palette ? &system : nullptr};
    BlitSurfaces(dest, dx, dy + band.row, iw, band.rows, &s, 0, 0, rop);
  });
}

}  // namespace platform

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
            DWORD rop) {
  DcObject* d = FindGdi<DcObject>(dest);
  if (!d || d->type != DcObject::Type::kMemory || !platform::KnownRop(rop)) return FALSE;
  BitmapObject* db = FindGdi<BitmapObject>(d->bitmap);
  if (!db) return FALSE;
  DcObject* s = nullptr;
  if (platform::RopUsesSource(rop)) {
    s = FindGdi<DcObject>(src);
    if (!s) return FALSE;
  }
  long long dx = x, dy = y, w = width, h = height, sx = src_x, sy = src_y;
  // A copy of a whole DIB section onto a whole bitmap of its size takes on its pixels instead.
  if (s && s->type == DcObject::Type::kMemory && rop == SRCCOPY && x == 0 && y == 0 && src_x == 0 &&
      src_y == 0) {
    BitmapObject* sb = FindGdi<BitmapObject>(s->bitmap);
    if (sb && sb != db && width >= db->width() && height >= db->height() && db->SharePixelsOf(*sb))
      return TRUE;
  }
  db->PrepareWrite();
  Surface dview = db->View();
  Clip(dx, dy, w, h, sx, sy, dview.width, dview.height);
  if (w <= 0 || h <= 0) return TRUE;
  if (!s) {
    platform::BlitSurfaces(dview, int(dx), int(dy), int(w), int(h), nullptr, 0, 0, rop);
    return TRUE;
  }
  if (s->type == DcObject::Type::kWindow) {
    // A read that fails while the display goes away failed because of it.
    platform::Display& display = platform::CurrentDisplay();
    const unsigned losses = display.Losses();
    int ox, oy;
    bool read = WindowDcOrigin(*s, &ox, &oy);
    if (read) {
      sx += ox, sy += oy;
      // Far outside the screen: only the part that can overlap it matters, and it reads black.
      if (sx < INT_MIN / 2 || sx > INT_MAX / 2 || sy < INT_MIN / 2 || sy > INT_MAX / 2)
        sx = sy = INT_MIN / 2;
      read =
          platform::BlitFromScreen(dview, int(dx), int(dy), int(w), int(h), int(sx), int(sy), rop);
    }
    if (!read && display.Losses() != losses) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return read ? TRUE : FALSE;
  }
  BitmapObject* sb = FindGdi<BitmapObject>(s->bitmap);
  if (!sb) return FALSE;
  Surface sview = sb->View();
  Clip(sx, sy, w, h, dx, dy, sview.width, sview.height);
  if (w <= 0 || h <= 0) return TRUE;
  return platform::BlitSurfaces(dview, int(dx), int(dy), int(w), int(h), &sview, int(sx), int(sy),
                                rop)
             ? TRUE
             : FALSE;
}
