// Bitmaps: device-dependent bitmaps in the formats of the screen and of memory DCs, and 24-bit
// DIB sections whose pixel memory the caller addresses directly.
#include "platform/gdi/bitmap.h"

#include <sys/mman.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/gdi/dc.h"
#include "platform/gdi/display.h"
#include "platform/gdi/pixels.h"
#include "platform/gdi/screen.h"

namespace platform {
namespace {

// Freed pixel blocks of a frame's size are kept for the next bitmap of the same size, so that
// repeated captures reuse memory whose pages are already mapped instead of faulting in fresh
// ones each time. A screen bitmap of a size that was asked for before gets memory shared with
// the display where it offers that, which then reads the screen straight into it; the first one of
// a size (in a one-shot process the only one) gets plain memory, where setting up a fresh shared
// segment would cost more than the copy it saves.
constexpr std::size_t kReuseMinBytes = 256 * 1024;
constexpr std::size_t kReuseSlots = 3;

struct Block {
  void* memory = nullptr;
  std::size_t size = 0;
  SharedPixels* shared = nullptr;  // the display that writes into it, for shared memory
};

struct Spare {
  std::array<Block, kReuseSlots> blocks;
  std::vector<std::size_t> screen_sizes;  // sizes of screen bitmaps asked for so far
};

Spare& Spares() {
  static auto* spare = new Spare;  // lives until exit, like the memory it keeps
  return *spare;
}

// Large blocks are mapped directly, so that freeing one returns its pages to the system
// whatever the allocator's thresholds have become. A frame's worth is aligned to 2 MiB and
// asked for in huge pages: faulting in a fresh 1920 x 1080 frame then costs a few faults
// instead of fifteen hundred, which is a good part of a one-shot capture's time. (Populating
// 4 KiB pages at mmap time instead costs a fault's work for each page all the same.)
constexpr std::size_t kHuge = std::size_t{2} << 20;

void* MapZeroed(std::size_t size) {
  const std::size_t used = MappedLength(size);
  std::size_t length = size >= kHuge ? used + kHuge : used;
  void* m = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  if (length == used) return m;
  auto start = reinterpret_cast<std::uintptr_t>(m);
  std::uintptr_t aligned = (start + kHuge - 1) & ~(kHuge - 1);
  std::size_t head = aligned - start;
  if (head) munmap(m, head);
  if (length - head > used) munmap(reinterpret_cast<void*>(aligned + used), length - head - used);
  madvise(reinterpret_cast<void*>(aligned), used, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void Release(const Block& b) {
  if (b.shared)
    b.shared->Free(b.memory);
  else if (b.size >= kReuseMinBytes)
    munmap(b.memory, MappedLength(b.size));
  else
    std::free(b.memory);
}

// A kept block of that size, or one with no memory. shared: 0 no, 1 yes, -1 either.
Block FromSpare(std::size_t size, int shared) {
  for (Block& b : Spares().blocks)
    if (b.memory && b.size == size && (shared < 0 || (b.shared != nullptr) == (shared == 1)))
      return std::exchange(b, {});
  return {};
}

std::uint8_t* TakeMemory(std::size_t size, bool zeroed, bool for_screen, SharedPixels** shared) {
  *shared = nullptr;
  if (size < kReuseMinBytes) return static_cast<std::uint8_t*>(std::calloc(size, 1));
  Block b;
  if (for_screen) {
    auto& sizes = Spares().screen_sizes;
    bool again = std::find(sizes.begin(), sizes.end(), size) != sizes.end();
    if (!again) sizes.push_back(size);
    SharedPixels* display = CurrentDisplay().shared_pixels();
    if (again && (b = FromSpare(size, 1)).memory &&
        (b.shared != display || !display->Attached(b.memory))) {
      Release(b);  // shared with a display this process no longer reads
      b = {};
    }
    if (again && !b.memory && display && (b.memory = display->Allocate(size))) {
      b = {b.memory, size, display};
      // Shared blocks take over this size: a plain one kept for it would only take room.
      for (Block plain; (plain = FromSpare(size, 0)).memory;) Release(plain);
    }
  }
  if (!b.memory && !(b = FromSpare(size, 0)).memory) b = FromSpare(size, -1);
  if (b.memory) {
    *shared = b.shared;
    if (zeroed) std::memset(b.memory, 0, size);
    return static_cast<std::uint8_t*>(b.memory);
  }
  return static_cast<std::uint8_t*>(MapZeroed(size));
}

void GiveMemory(void* memory, std::size_t size, SharedPixels* shared) {
  if (!memory) return;
  if (size < kReuseMinBytes) return Release({memory, size, shared});
  auto& blocks = Spares().blocks;
  for (Block& b : blocks) {
    if (!b.memory) {
      b = {memory, size, shared};
      return;
    }
  }
  // All slots full: the oldest goes.
  Release(blocks[0]);
  for (std::size_t i = 0; i + 1 < kReuseSlots; ++i) blocks[i] = blocks[i + 1];
  blocks[kReuseSlots - 1] = {memory, size, shared};
}

}  // namespace

std::size_t MappedLength(std::size_t size) {
  const std::size_t pages = (size + 4095) & ~std::size_t{4095};
  if (size < kHuge || size % kHuge < kHuge / 4) return pages;
  return (size + kHuge - 1) & ~(kHuge - 1);
}

std::int32_t Stride(std::int32_t width, int bits, int align) {
  if (width < 0 || bits <= 0 || align <= 0) return -1;
  std::int64_t row_bits = static_cast<std::int64_t>(width) * bits;
  std::int64_t bytes = (row_bits + 8LL * align - 1) / (8LL * align) * align;
  if (bytes > std::numeric_limits<std::int32_t>::max()) return -1;
  return static_cast<std::int32_t>(bytes);
}

// A bitmap's pixel memory, which a DIB section may share with bitmaps that took on its pixels.
struct BitmapObject::Pixels {
  std::uint8_t* bits = nullptr;
  std::size_t size = 0;
  SharedPixels* shared_with_display = nullptr;
  std::vector<BitmapObject*> sharers;  // bitmaps that took on a DIB section's pixels
  ~Pixels() { GiveMemory(bits, size, shared_with_display); }
};

namespace {

// Bitmaps for the screen at least this large get their memory on first use: the one-pass
// capture hands them a DIB section's pixels instead.
constexpr std::size_t kLateMemoryBytes = 256 * 1024;

// Bitmaps that share a DIB section's pixels now.
std::vector<BitmapObject*>& Sharers() {
  static auto* sharers = new std::vector<BitmapObject*>;
  return *sharers;
}

std::shared_ptr<BitmapObject::Pixels> NewPixels(std::size_t size, bool zeroed, bool for_screen) {
  auto p = std::make_shared<BitmapObject::Pixels>();
  p->bits = TakeMemory(size, zeroed, for_screen, &p->shared_with_display);
  if (!p->bits) return nullptr;
  p->size = size;
  return p;
}

}  // namespace

std::unique_ptr<BitmapObject> BitmapObject::Make(int width, int height, const PixelFormat& format,
                                                 bool dib_section, bool for_screen) {
  if (width < 0 || height < 0) return nullptr;
  std::int32_t stride = Stride(width, format.bits, dib_section ? 4 : 2);
  if (stride < 0) return nullptr;
  std::int64_t size = static_cast<std::int64_t>(stride) * height;
  if (size > std::numeric_limits<std::int32_t>::max()) return nullptr;
  std::unique_ptr<BitmapObject> b(new BitmapObject);
  b->width_ = width;
  b->height_ = height;
  b->format_ = format;
  b->stride_ = stride;
  b->dib_ = dib_section;
  b->for_screen_ = for_screen;
  b->size_ = static_cast<std::size_t>(size);
  const bool late = for_screen && !dib_section && b->size_ >= kLateMemoryBytes;
  if (size > 0 && !late) {
    b->pixels_ = NewPixels(b->size_, dib_section, for_screen);
    if (!b->pixels_) return nullptr;
  }
  return b;
}

BitmapObject::~BitmapObject() {
  if (pixels_) std::erase(pixels_->sharers, this);
  std::erase(Sharers(), this);
}

std::uint8_t* BitmapObject::bits() {
  if (!pixels_ && size_ > 0) pixels_ = NewPixels(size_, dib_, for_screen_);
  return pixels_ ? pixels_->bits : nullptr;
}

Surface BitmapObject::View() {
  Surface s;
  std::uint8_t* memory = bits();
  if (!memory && size_ > 0) return s;
  s.width = width_;
  s.height = height_;
  s.format = dib_layout_ ? PixelFormat::Bgr24() : format_;
  s.table = s.format.bits == 8 ? &table_ : nullptr;
  const std::ptrdiff_t stride = dib_layout_ ? Stride(width_, 24, 4) : stride_;
  if ((dib_ || dib_layout_) && height_ > 0) {
    s.origin = memory + stride * (height_ - 1);
    s.pitch = -stride;
  } else {
    s.origin = memory;
    s.pitch = stride;
  }
  return s;
}

bool BitmapObject::SharePixelsOf(BitmapObject& dib) {
  if (dib_ || !dib.dib_ || dib.format_ != PixelFormat::Bgr24() || dib.width_ != width_ ||
      dib.height_ != height_ || !dib.pixels_ || this == &dib)
    return false;
  // Only the colours of 24 bits of this bitmap's format can be read back, so the DIB
  // section's layout loses nothing.
  if (format_.bits < 24 || (format_.bits == 8)) return false;
  if (pixels_) std::erase(pixels_->sharers, this);
  pixels_ = dib.pixels_;
  pixels_->sharers.push_back(this);
  Sharers().push_back(this);
  dib_layout_ = true;
  return true;
}

bool BitmapObject::Detach() {
  if (!pixels_ || pixels_.use_count() == 1) return true;
  auto copy = NewPixels(pixels_->size, false, false);
  if (!copy) return false;
  std::memcpy(copy->bits, pixels_->bits, pixels_->size);
  std::erase(pixels_->sharers, this);
  pixels_ = std::move(copy);
  std::erase(Sharers(), this);
  return true;
}

void BitmapObject::PrepareWrite() {
  if (!pixels_) return;
  if (dib_) {
    // The DIB section's memory stays where its owner knows it; the others move out.
    std::vector<BitmapObject*> sharers = pixels_->sharers;
    for (BitmapObject* b : sharers) b->Detach();
  } else if (dib_layout_ && pixels_.use_count() > 1) {
    Detach();
  }
}

int BitmapObject::Describe(int size, void* buffer) const {
  if (!buffer) return static_cast<int>(sizeof(BITMAP));
  if (size <= 0) return 0;
  BITMAP record{};
  record.bmType = 0;
  record.bmWidth = width_;
  record.bmHeight = height_;
  record.bmWidthBytes = stride_;
  record.bmPlanes = 1;
  record.bmBitsPixel = static_cast<WORD>(format_.bits);
  record.bmBits = dib_ && pixels_ ? pixels_->bits : nullptr;
  int n = std::min(size, static_cast<int>(sizeof(BITMAP)));
  std::memcpy(buffer, &record, static_cast<std::size_t>(n));
  return n;
}

HBITMAP StockBitmap() {
  static HBITMAP stock = [] {
    auto b = BitmapObject::Make(1, 1, PixelFormat::Mono(), false);
    b->bits()[0] = 0;
    return AddGdiObject(std::move(b), /*stock=*/true);
  }();
  return stock;
}

bool GetBitmapPixel(HBITMAP bitmap, int x, int y, std::uint32_t* rgb) {
  auto* b = FindGdi<BitmapObject>(bitmap);
  if (!b || !rgb || x < 0 || y < 0 || x >= b->width() || y >= b->height()) return false;
  Surface s = b->View();
  std::uint32_t v;
  LoadRaw(s.Row(y), x, 1, s.format.bits, &v);
  Converter(s).ToRgb(&v, 1);
  *rgb = v;
  return true;
}

bool GetBitmapRgb(HBITMAP bitmap, int* width, int* height, std::vector<std::uint32_t>* pixels) {
  auto* b = FindGdi<BitmapObject>(bitmap);
  if (!b || !width || !height || !pixels) return false;
  Surface s = b->View();
  *width = s.width;
  *height = s.height;
  pixels->assign(static_cast<std::size_t>(s.width) * s.height, 0);
  Converter c(s);
  for (int y = 0; y < s.height; ++y) {
    std::uint32_t* out = pixels->data() + static_cast<std::size_t>(y) * s.width;
    LoadRaw(s.Row(y), 0, s.width, s.format.bits, out);
    c.ToRgb(out, s.width);
  }
  return true;
}

}  // namespace platform

using platform::BitmapObject;
using platform::DcObject;

BOOL GdiFlush() {
  std::vector<BitmapObject*> sharers = platform::Sharers();
  bool all = true;
  for (BitmapObject* b : sharers) all = b->Detach() && all;
  return all ? TRUE : FALSE;
}
using platform::FindGdi;
using platform::PixelFormat;

HBITMAP CreateCompatibleBitmap(HDC hdc, int width, int height) {
  DcObject* dc = FindGdi<DcObject>(hdc);
  if (!dc || width < 0 || height < 0) return 0;
  PixelFormat format = platform::ScreenFormat();
  const platform::ColorTable* table = nullptr;
  if (dc->type == DcObject::Type::kMemory) {
    BitmapObject* selected = FindGdi<BitmapObject>(dc->bitmap);
    if (selected) {
      format = selected->format();
      table = &selected->table();
    }
  }
  bool for_screen = dc->type == DcObject::Type::kWindow;
  auto bitmap = BitmapObject::Make(width, height, format, false, for_screen);
  if (!bitmap) return 0;
  if (format.bits == 8) {
    if (table) {
      bitmap->table() = *table;
    } else {
      PALETTEENTRY entries[256] = {};
      GetSystemPaletteEntries(hdc, 0, 256, entries);
      for (int i = 0; i < 256; ++i)
        bitmap->table()[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
    }
  }
  return platform::AddGdiObject(std::move(bitmap));
}

HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE32 section,
                         DWORD offset) {
  if (bits) *bits = nullptr;
  if (!info || usage != DIB_RGB_COLORS || section != 0 || offset != 0) return 0;
  if (hdc != 0 && !FindGdi<DcObject>(hdc)) return 0;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biPlanes != 1 || h.biBitCount != 24 ||
      h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight <= 0)
    return 0;
  auto bitmap = BitmapObject::Make(h.biWidth, h.biHeight, PixelFormat::Bgr24(), true);
  if (!bitmap) return 0;
  void* memory = bitmap->bits();
  HBITMAP handle = platform::AddGdiObject(std::move(bitmap));
  if (handle && bits) *bits = memory;
  return handle;
}
