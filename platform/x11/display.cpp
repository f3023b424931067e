// The X11 display: the X server's screen behind the drawing layer's display table, with the
// fast paths that MIT-SHM gives (pixel memory shared with the server, reads straight into it,
// strips on several threads).
#include "platform/x11/selection.h"
#include "platform/x11/x11.h"

namespace platform {
namespace x11 {
namespace {

class X11Screen final : public platform::Display,
                        SharedPixels,
                        BufferReads,
                        StripReads,
                        ClipboardOwner {
 public:
  const char* name() const override { return "x11"; }

  // Under Wayland the X server shows only the XWayland windows; the rest of a capture is black.
  DisplayStatus GetStatus() override {
    if (!WaylandSession()) return {};
    return {DisplayStatus::Level::kPartial,
            "this is a Wayland session; captures show only X11 windows and may come out black"};
  }

  ScreenInfo Screen() override { return x11::Screen(); }
  double Dpi() override { return XftDpi(); }
  int ReadColormap(int start, int count, std::uint8_t* rgb) override {
    return x11::ReadColormap(start, count, rgb);
  }
  bool WindowRect(std::uint32_t window, bool client, ScreenRect* rect) override {
    return x11::WindowRect(window, client, rect);
  }
  std::uint32_t ActiveWindow() override { return ActiveTopLevel(); }
  bool Read(const ScreenRect& rect, const BandSink& sink) override { return ReadRoot(rect, sink); }
  unsigned Losses() override { return ServerLosses(); }

  SharedPixels* shared_pixels() override { return this; }
  BufferReads* buffer_reads() override { return this; }
  StripReads* strip_reads() override { return this; }
  ClipboardOwner* clipboard_owner() override { return this; }

  void* Allocate(std::size_t bytes) override { return AllocateSharedPixels(bytes); }
  void Free(void* memory) override { FreeSharedPixels(memory); }
  bool Attached(const void* memory) override { return IsSharedPixels(memory); }

  bool ReadInto(const ScreenRect& rect, std::uint8_t* dest, int stride) override {
    return ReadRootShared(rect, dest, stride);
  }

  bool Offer(ClipboardOffer offer, FdWatch watch) override {
    return OfferClipboard(std::move(offer), std::move(watch));
  }

  bool Available() override { return x11::StripReader::Available(); }
  std::unique_ptr<platform::StripReader> Open(const ScreenRect& rect, int strip_rows) override {
    return std::make_unique<x11::StripReader>(rect, strip_rows);
  }
};

}  // namespace
}  // namespace x11

Display& X11Backend() {
  static auto* display = new x11::X11Screen;  // lives until exit, like the connection
  return *display;
}

}  // namespace platform
