// The clipboard, the platform's way: one opener at a time; EmptyClipboard frees what was on it;
// a bitmap handed over with SetClipboardData belongs to the clipboard from then on. When it is
// closed after a change, the content is offered to other programs through the X selection, as
// PNG and BMP rendered on request from the bitmap's pixels.
#include <png.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/display.h"
#include "platform/gdi/gdi.h"
#include "platform/user/clipboard.h"
#include "platform/user/messageloop.h"

namespace {

struct Clipboard {
  std::mutex mutex;
  bool open = false;
  std::thread::id opener;
  HWND owner = 0;
  bool changed = false;  // emptied or set since it was opened
  HBITMAP bitmap = 0;    // owned
  unsigned content = 0;  // counts the changes, so that a stale offer frees nothing
};

Clipboard& TheClipboard() {
  static Clipboard clipboard;
  return clipboard;
}

bool OpenedByCaller(const Clipboard& c) {
  return c.open && c.opener == std::this_thread::get_id();
}

// The bitmap's pixels as a bottom-up 24-bit DIB, handed to use while it exists.
template <class Use>
bool WithBitmapPixels(HBITMAP bitmap, Use use) {
  BITMAP record{};
  if (GetObjectA(bitmap, sizeof(BITMAP), &record) == 0) return false;
  BITMAPINFO info{};
  info.bmiHeader = {40, record.bmWidth, record.bmHeight, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  HDC source = CreateCompatibleDC(0);
  HDC dest = CreateCompatibleDC(0);
  void* bits = nullptr;
  HBITMAP dib = dest ? CreateDIBSection(dest, &info, DIB_RGB_COLORS, &bits, 0, 0) : 0;
  bool done = false;
  if (source && dib) {
    HGDIOBJ keptSource = SelectObject(source, bitmap);
    HGDIOBJ keptDest = SelectObject(dest, dib);
    if (keptSource && keptDest) {
      BitBlt(dest, 0, 0, record.bmWidth, record.bmHeight, source, 0, 0, SRCCOPY);
      BITMAP dibRecord{};
      GetObjectA(dib, sizeof(BITMAP), &dibRecord);
      done = use(static_cast<const std::uint8_t*>(bits), record.bmWidth, record.bmHeight,
                 static_cast<std::size_t>(dibRecord.bmWidthBytes));
    }
    if (keptSource) SelectObject(source, keptSource);
    if (keptDest) SelectObject(dest, keptDest);
  }
  if (dib) DeleteObject(dib);
  if (dest) DeleteDC(dest);
  if (source) DeleteDC(source);
  return done;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A BMP file: the file header, a BITMAPINFOHEADER and the DIB's rows as they are.
bool WriteBmp(const std::uint8_t* bits, int width, int height, std::size_t stride,
              std::vector<std::uint8_t>& out) {
  std::size_t image = stride * static_cast<std::size_t>(height);
  if (image > 0xFFFFFFFFu - 54) return false;
  out.reserve(54 + image);
  out.push_back('B');
  out.push_back('M');
  PutLe(out, static_cast<std::uint32_t>(54 + image), 4);
  PutLe(out, 0, 4);
  PutLe(out, 54, 4);
  PutLe(out, 40, 4);
  PutLe(out, static_cast<std::uint32_t>(width), 4);
  PutLe(out, static_cast<std::uint32_t>(height), 4);
  PutLe(out, 1, 2);
  PutLe(out, 24, 2);
  PutLe(out, BI_RGB, 4);
  PutLe(out, static_cast<std::uint32_t>(image), 4);
  for (int i = 0; i < 4; ++i) PutLe(out, 0, 4);  // resolution and colour counts unknown
  out.insert(out.end(), bits, bits + image);
  return true;
}

void PngWrite(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void PngFlush(png_structp) {}

// An 8-bit RGB PNG, top row first; libpng takes the blue-green-red order as it is.
bool WritePng(const std::uint8_t* bits, int width, int height, std::size_t stride,
              std::vector<std::uint8_t>& out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &out, PngWrite, PngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  png_set_bgr(png);
  for (int y = height - 1; y >= 0; --y)
    png_write_row(png, const_cast<png_bytep>(bits + static_cast<std::size_t>(y) * stride));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

platform::ClipboardBytes Render(HBITMAP bitmap, const std::string& target) {
  auto out = std::make_shared<std::vector<std::uint8_t>>();
  bool done = WithBitmapPixels(
      bitmap, [&](const std::uint8_t* bits, int width, int height, std::size_t stride) {
        return target == "image/png" ? WritePng(bits, width, height, stride, *out)
                                     : WriteBmp(bits, width, height, stride, *out);
      });
  return done ? out : nullptr;
}

// Runs on the user-interface thread, from the message loop or CloseClipboard.
HBITMAP CurrentBitmap(unsigned content) {
  Clipboard& c = TheClipboard();
  std::lock_guard lock(c.mutex);
  return c.content == content ? c.bitmap : 0;
}

// Another program has taken the selection: what we offered is no longer the clipboard's.
void ForgetContent(unsigned content) {
  Clipboard& c = TheClipboard();
  HBITMAP freed = 0;
  {
    std::lock_guard lock(c.mutex);
    if (c.content != content || c.open) return;
    freed = std::exchange(c.bitmap, 0);
    ++c.content;
  }
  if (freed) DeleteObject(freed);
}

void Offer(HBITMAP bitmap, unsigned content) {
  platform::ClipboardOwner* owner = platform::SessionClipboard();
  if (!owner) return;
  platform::ClipboardOffer offer;
  if (bitmap) offer.targets = {"image/png", "image/bmp"};
  offer.render = [content](const std::string& target) -> platform::ClipboardBytes {
    HBITMAP current = CurrentBitmap(content);
    return current ? Render(current, target) : nullptr;
  };
  offer.lost = [content] { ForgetContent(content); };
  owner->Offer(std::move(offer), {platform::AddMessageSource, platform::RemoveMessageSource});
}

}  // namespace

BOOL OpenClipboard(HWND owner) {
  Clipboard& c = TheClipboard();
  std::lock_guard lock(c.mutex);
  if (c.open && (c.opener != std::this_thread::get_id() || c.owner != owner)) return FALSE;
  c.open = true;
  c.opener = std::this_thread::get_id();
  c.owner = owner;
  return TRUE;
}

BOOL EmptyClipboard() {
  Clipboard& c = TheClipboard();
  HBITMAP freed = 0;
  {
    std::lock_guard lock(c.mutex);
    if (!OpenedByCaller(c)) return FALSE;
    freed = std::exchange(c.bitmap, 0);
    c.changed = true;
    ++c.content;
  }
  if (freed) DeleteObject(freed);
  return TRUE;
}

HANDLE32 SetClipboardData(UINT format, HANDLE32 data) {
  if (format != CF_BITMAP) return 0;
  // Only a bitmap that no DC holds can change hands.
  auto* bitmap = platform::FindGdi<platform::BitmapObject>(data);
  if (bitmap == nullptr || bitmap->selected_into != 0) return 0;
  Clipboard& c = TheClipboard();
  HBITMAP replaced = 0;
  {
    std::lock_guard lock(c.mutex);
    if (!OpenedByCaller(c)) return 0;
    replaced = std::exchange(c.bitmap, data);
    c.changed = true;
    ++c.content;
  }
  if (replaced && replaced != data) DeleteObject(replaced);
  return data;
}

BOOL CloseClipboard() {
  Clipboard& c = TheClipboard();
  HBITMAP bitmap;
  unsigned content;
  {
    std::lock_guard lock(c.mutex);
    if (!OpenedByCaller(c)) return FALSE;
    c.open = false;
    c.owner = 0;
    if (!std::exchange(c.changed, false)) return TRUE;
    bitmap = c.bitmap;
    content = c.content;
  }
  Offer(bitmap, content);
  return TRUE;
}
