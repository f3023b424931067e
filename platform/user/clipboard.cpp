// The clipboard, the platform's way: one opener at a time; EmptyClipboard frees what was on it;
// a bitmap handed over with SetClipboardData belongs to the clipboard from then on. When it is
// closed after a change, the content is offered to other programs through the X selection, as
// PNG and BMP rendered on request from the bitmap's pixels.

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/base/debug.h"
#include "platform/base/modules.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/display.h"
#include "platform/gdi/gdi.h"
#include "platform/user/clipboard.h"
#include "platform/user/messageloop.h"
#include "platform/user/png_module.h"

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

// The PNG writer is loaded the first time a program asks for a PNG.
bool WritePng(const std::uint8_t* bits, int width, int height, std::size_t stride,
              std::vector<std::uint8_t>& out) {
  static const platform::PngWriter writer = [] {
    std::string error;
    auto entry = reinterpret_cast<platform::PngWriter>(
        platform::ModuleEntry(platform::kPngModuleFile, platform::kPngWriterEntry, &error));
    if (!entry) platform::DebugLine("clipboard", "no PNG can be made: %s", error.c_str());
    return entry;
  }();
  return writer && writer(bits, width, height, stride, &out);
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
