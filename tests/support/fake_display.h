// A display for tests, with no server: a screen of any pixel format kept in memory, windows from a
// table, a colour map and a dpi that the test sets, and losses that it scripts. While it lives
// it is the display that every call uses, in place of the one the session would choose (tests
// that use it link pictoss_platform_objects). It offers the fast paths that the test leaves on:
// strips (on a 32-bit screen with the standard masks), and shared pixel memory read into in one
// request; and it keeps what the clipboard offers other programs. One test thread, besides the
// threads of a capture's strips; one fake at a time.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/gdi/display.h"
#include "platform/gdi/display_for_tests.h"

namespace testsupport {

// The shared pixel memory of the fakes. Bitmaps keep such memory after a display has gone, so it
// outlives them; memory of a fake that has gone is no longer attached.
class FakeSharedMemory final : public platform::SharedPixels {
 public:
  static FakeSharedMemory& Get() {
    static auto* memory = new FakeSharedMemory;
    return *memory;
  }
  void* Allocate(std::size_t bytes) override {
    void* m = std::calloc(bytes, 1);
    blocks_[m] = {bytes, generation};
    return m;
  }
  void Free(void* memory) override {
    blocks_.erase(memory);
    std::free(memory);
  }
  bool Attached(const void* memory) override {
    return Holds(static_cast<const std::uint8_t*>(memory), 0);
  }
  // Whether `bytes` bytes at p lie in memory attached to the fake that lives.
  bool Holds(const std::uint8_t* p, std::size_t bytes) const {
    for (const auto& [m, block] : blocks_) {
      auto* at = static_cast<const std::uint8_t*>(m);
      if (block.generation == generation && p >= at && bytes <= block.size &&
          static_cast<std::size_t>(p - at) <= block.size - bytes)
        return true;
    }
    return false;
  }
  unsigned generation = 0;  // of the fake that lives

 private:
  struct Block {
    std::size_t size;
    unsigned generation;
  };
  std::map<void*, Block> blocks_;
};

class FakeDisplay final : public platform::Display,
                          platform::BufferReads,
                          platform::StripReads,
                          platform::ClipboardOwner {
 public:
  struct Window {
    std::uint32_t id;
    platform::ScreenRect outer;   // with the frame
    platform::ScreenRect client;  // inside the frame
  };
  static constexpr std::uint32_t kRoot = 1;

  // A screen of width × height pixels of `bits` bits (8: indices into the colour map, which
  // starts as a grey ramp; 16 and 32 with the masks given), which is also the primary monitor.
  FakeDisplay(int width, int height, int bits = 32, std::uint32_t red = 0xFF0000,
              std::uint32_t green = 0x00FF00, std::uint32_t blue = 0x0000FF) {
    info_.connected = true;
    info_.root = kRoot;
    info_.primary = {0, 0, width, height};
    info_.bits_per_pixel = bits;
    info_.red = red, info_.green = green, info_.blue = blue;
    info_.palette = bits == 8;
    info_.colormap_size = bits == 8 ? 256 : 0;
    width_ = width, height_ = height;
    stride_ = (width * bits + 31) / 32 * 4;
    pixels_.assign(static_cast<std::size_t>(stride_) * height, 0);
    for (int i = 0; i < 256; ++i) colormap[i] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)};
    ++FakeSharedMemory::Get().generation;
    platform::UseDisplayForTests(this);
  }
  ~FakeDisplay() override {
    platform::UseDisplayForTests(nullptr);
    ++FakeSharedMemory::Get().generation;
  }
  FakeDisplay(const FakeDisplay&) = delete;
  FakeDisplay& operator=(const FakeDisplay&) = delete;

  // The raw pixel value that the screen's format gives a colour (0x00RRGGBB); for 8 bits the
  // first colour-map entry of that colour, else 0.
  std::uint32_t Raw(std::uint32_t rgb) const {
    if (info_.palette) {
      for (int i = 0; i < 256; ++i)
        if ((std::uint32_t{colormap[i][0]} << 16 | std::uint32_t{colormap[i][1]} << 8 |
             colormap[i][2]) == rgb)
          return static_cast<std::uint32_t>(i);
      return 0;
    }
    auto place = [](std::uint32_t mask, std::uint32_t c) {
      const int width = std::popcount(mask);
      return ((c >> (8 - std::min(width, 8))) << std::countr_zero(mask)) & mask;
    };
    return place(info_.red, rgb >> 16) | place(info_.green, (rgb >> 8) & 0xFF) |
           place(info_.blue, rgb & 0xFF);
  }
  // Paints colour(x, y) (0x00RRGGBB) over the screen, or over a rectangle of it.
  void Paint(const std::function<std::uint32_t(int x, int y)>& colour) {
    Paint({0, 0, width_, height_}, colour);
  }
  void Paint(const platform::ScreenRect& r,
             const std::function<std::uint32_t(int x, int y)>& colour) {
    for (int y = std::max(r.y, 0); y < std::min(r.y + r.height, height_); ++y)
      for (int x = std::max(r.x, 0); x < std::min(r.x + r.width, width_); ++x)
        Put(x, y, Raw(colour(x - r.x, y - r.y)));
  }

  // The primary monitor, by default the whole screen.
  void SetPrimary(const platform::ScreenRect& r) { info_.primary = r; }

  // What the calls see; tests change them at will.
  std::vector<Window> windows;
  std::uint32_t active = 0;
  double dpi = 0;
  std::array<std::array<std::uint8_t, 3>, 256> colormap{};  // red, green, blue
  bool strips = true;                                       // offer strip reads
  bool shared = true;  // offer shared pixel memory and reads into it

  // The display goes away at the read after `reads` more reads (band reads, strips, reads into
  // memory); from then on it is not connected.
  void LoseAfter(int reads) { lose_in_ = reads; }
  // Takes it back: connected again.
  void Reconnect() { info_.connected = true, lose_in_ = -1; }
  // The screen shrinks to width × height at the read after `reads` more reads, as RandR shrinks
  // it between two reads of a capture: the primary monitor with it, and reads of anything beyond
  // its new edges fail from then on.
  void ShrinkAfter(int reads, int width, int height) {
    shrink_in_ = reads, shrink_to_ = {std::min(width, width_), std::min(height, height_)};
  }
  unsigned losses() const { return losses_; }
  // What was read: band reads asked for, strip readers opened, reads into memory made.
  int band_reads = 0, reads_into_memory = 0;
  std::atomic<int> strip_readers = 0;  // opened on the threads of the one-pass capture

  // The table.
  const char* name() const override { return "fake"; }
  platform::ScreenInfo Screen() override {
    const std::lock_guard lock(mutex_);
    return info_.connected ? info_ : platform::ScreenInfo{};
  }
  double Dpi() override { return dpi; }
  int ReadColormap(int start, int count, std::uint8_t* rgb) override {
    if (!info_.palette || start < 0 || count <= 0 || start >= 256) return 0;
    count = std::min(count, 256 - start);
    for (int i = 0; i < count; ++i) std::memcpy(rgb + 3 * i, colormap[start + i].data(), 3);
    return count;
  }
  bool WindowRect(std::uint32_t window, bool client, platform::ScreenRect* rect) override {
    if (!info_.connected) return false;
    for (const Window& w : windows) {
      if (w.id != window) continue;
      *rect = client ? w.client : w.outer;
      return true;
    }
    return false;
  }
  std::uint32_t ActiveWindow() override { return info_.connected ? active : 0; }
  bool Read(const platform::ScreenRect& r, const platform::BandSink& sink) override {
    ++band_reads;
    if (!Reading(r)) return false;
    // Two bands, so that the band order is used.
    const int first = (r.height + 1) / 2;
    sink({Row(r.x, r.y), stride_, 0, first});
    if (r.height > first) sink({Row(r.x, r.y + first), stride_, first, r.height - first});
    return true;
  }
  unsigned Losses() override { return losses_; }

  platform::SharedPixels* shared_pixels() override {
    return shared ? &FakeSharedMemory::Get() : nullptr;
  }
  platform::BufferReads* buffer_reads() override { return shared ? this : nullptr; }
  platform::StripReads* strip_reads() override { return strips ? this : nullptr; }
  platform::ClipboardOwner* clipboard_owner() override { return this; }

  // The clipboard's last offer to other programs, and how many there were.
  platform::ClipboardOffer offered;
  int offers = 0;
  bool Offer(platform::ClipboardOffer offer, platform::FdWatch) override {
    offered = std::move(offer);
    ++offers;
    return true;
  }

  bool ReadInto(const platform::ScreenRect& r, std::uint8_t* dest, int stride) override {
    const int line = (r.width * info_.bits_per_pixel + 31) / 32 * 4;
    if (stride != line ||
        !FakeSharedMemory::Get().Holds(dest, static_cast<std::size_t>(stride) * r.height) ||
        !Reading(r))
      return false;
    ++reads_into_memory;
    for (int y = 0; y < r.height; ++y)
      std::memcpy(dest + static_cast<std::ptrdiff_t>(stride) * y, Row(r.x, r.y + y),
                  static_cast<std::size_t>(line));
    return true;
  }

  bool Available() override {
    return info_.connected && info_.bits_per_pixel == 32 && info_.red == 0xFF0000 &&
           info_.green == 0x00FF00 && info_.blue == 0x0000FF;
  }
  std::unique_ptr<platform::StripReader> Open(const platform::ScreenRect& r,
                                              int strip_rows) override {
    ++strip_readers;
    return std::make_unique<Strips>(*this, r, strip_rows);
  }

 private:
  // Strips are copied out, so that a sink that writes into them cannot change the screen.
  class Strips final : public platform::StripReader {
   public:
    Strips(FakeDisplay& d, const platform::ScreenRect& r, int rows) : d_(d), r_(r), rows_(rows) {}
    bool Next(platform::PixelBand* strip) override {
      if (next_ >= r_.height) return false;
      const int n = std::min(rows_, r_.height - next_);
      if (!d_.Reading({r_.x, r_.y + next_, r_.width, n})) return false;
      copy_.resize(static_cast<std::size_t>(r_.width) * 4 * n);
      for (int y = 0; y < n; ++y)
        std::memcpy(copy_.data() + static_cast<std::size_t>(r_.width) * 4 * y,
                    d_.Row(r_.x, r_.y + next_ + y), static_cast<std::size_t>(r_.width) * 4);
      *strip = {copy_.data(), r_.width * 4, next_, n};
      next_ += n;
      return true;
    }

   private:
    FakeDisplay& d_;
    platform::ScreenRect r_;
    int rows_, next_ = 0;
    std::vector<std::uint8_t> copy_;
  };

  // Whether a read of the rectangle goes ahead; counts down to a scripted loss or shrink. Any
  // thread.
  bool Reading(const platform::ScreenRect& r) {
    const std::lock_guard lock(mutex_);
    if (lose_in_ == 0) {
      lose_in_ = -1;
      info_.connected = false;
      ++losses_;
    }
    if (lose_in_ > 0) --lose_in_;
    if (shrink_in_ == 0) {
      width_ = shrink_to_.first, height_ = shrink_to_.second;
      info_.primary = {0, 0, width_, height_};
    }
    if (shrink_in_ >= 0) --shrink_in_;
    return info_.connected && r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 &&
           r.x + r.width <= width_ && r.y + r.height <= height_;
  }
  const std::uint8_t* Row(int x, int y) const {
    return pixels_.data() + static_cast<std::ptrdiff_t>(stride_) * y + x * info_.bits_per_pixel / 8;
  }
  void Put(int x, int y, std::uint32_t v) {
    std::uint8_t* p =
        pixels_.data() + static_cast<std::ptrdiff_t>(stride_) * y + x * info_.bits_per_pixel / 8;
    std::memcpy(p, &v, static_cast<std::size_t>(info_.bits_per_pixel / 8));
  }

  platform::ScreenInfo info_;
  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<std::uint8_t> pixels_;
  int lose_in_ = -1;
  unsigned losses_ = 0;
  int shrink_in_ = -1;
  std::pair<int, int> shrink_to_;
  std::mutex mutex_;  // the counts and the screen's size, which strips read on their threads
};

}  // namespace testsupport
