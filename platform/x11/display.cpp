// The X11 display: the X server's screen behind the drawing layer's display table, with the
// fast paths that MIT-SHM gives (pixel memory shared with the server, reads straight into it,
// strips on several threads).
#include "platform/x11/connection.h"
#include "platform/x11/selection.h"
#include "platform/x11/x11.h"
#include "platform/x11/xwayland.h"

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

  // Under Wayland the X server holds only the X11 programs' windows, each with pixels of its
  // own, and no picture of the screen: only the window in front can be read, and only when it is
  // an X11 window, from its own pixels.
  DisplayStatus GetStatus() override {
    if (!WaylandSession()) return {};
    return {DisplayStatus::Level::kPartial,
            "this is a Wayland session with X11 forced: \"/xptactive\" captures X11 windows "
            "only, and \"/xptfull\" fails"};
  }
  CaptureFailure BeginCapture(CaptureTarget target, const CaptureWait&, std::string* why) override;
  void EndCapture() override { window_ = {}; }

  // Every call that may write to the server keeps SIGPIPE from ending the process.
  ScreenInfo Screen() override {
    const SigpipeBlocked quiet;
    return x11::Screen();
  }
  ScreenInfo ScreenAnew() override {
    const SigpipeBlocked quiet;
    ForgetScreenCache();
    return x11::Screen();
  }
  double Dpi() override {
    const SigpipeBlocked quiet;
    return XftDpi();
  }
  int ReadColormap(int start, int count, std::uint8_t* rgb) override {
    const SigpipeBlocked quiet;
    return x11::ReadColormap(start, count, rgb);
  }
  bool WindowRect(std::uint32_t window, bool client, ScreenRect* rect) override {
    const SigpipeBlocked quiet;
    if (window_.toplevel != 0 && window == window_.toplevel && !client) {
      *rect = {window_.held_x, window_.held_y, window_.held_width, window_.held_height};
      return true;
    }
    return x11::WindowRect(window, client, rect);
  }
  std::uint32_t ActiveWindow() override {
    const SigpipeBlocked quiet;
    return window_.toplevel != 0 ? window_.toplevel : ActiveTopLevel();
  }
  bool Read(const ScreenRect& rect, const BandSink& sink) override {
    if (window_.toplevel == 0) return ReadRoot(rect, sink);
    const SigpipeBlocked quiet;
    return ReadWindowPixels(window_.toplevel, rect.x, rect.y, rect.width, rect.height,
                            [&](const std::uint8_t* rows, int stride, int count) {
                              sink({rows, stride, 0, count});
                            });
  }
  unsigned Losses() override { return ServerLosses(); }

  // The fast paths read the root, which under Wayland shows nothing.
  SharedPixels* shared_pixels() override { return this; }
  BufferReads* buffer_reads() override { return WaylandSession() ? nullptr : this; }
  StripReads* strip_reads() override { return WaylandSession() ? nullptr : this; }
  ClipboardOwner* clipboard_owner() override { return this; }

  void* Allocate(std::size_t bytes) override { return AllocateSharedPixels(bytes); }
  void Free(void* memory) override {
    const SigpipeBlocked quiet;
    FreeSharedPixels(memory);
  }
  bool Attached(const void* memory) override { return IsSharedPixels(memory); }

  bool ReadInto(const ScreenRect& rect, std::uint8_t* dest, int stride) override {
    return ReadRootShared(rect, dest, stride);
  }

  bool Offer(ClipboardOffer offer, FdWatch watch) override {
    // The clipboard has a connection of its own.
    const SigpipeBlocked quiet(SigpipeBlocked::kAnyWrite);
    return OfferClipboard(std::move(offer), std::move(watch));
  }

  bool Available() override {
    const SigpipeBlocked quiet;
    return x11::StripReader::Available();
  }
  std::unique_ptr<platform::StripReader> Open(const ScreenRect& rect, int strip_rows) override {
    return std::make_unique<x11::StripReader>(rect, strip_rows);
  }

 private:
  XwaylandFrame window_;  // the X11 window a capture under Wayland reads, while it runs
};

// Each capture asks for the monitor layout anew, so that it follows a change of the screen's size
// at once; within the capture the layout stays as it was asked. A screen whose pixels cannot be
// turned into colours is refused here, by name, rather than read wrong.
CaptureFailure X11Screen::BeginCapture(CaptureTarget target, const CaptureWait&, std::string* why) {
  const SigpipeBlocked quiet;
  window_ = {};
  ForgetScreenCache();
  if (Connection* c = Current(); c && !c->unsupported.empty()) {
    *why = c->unsupported;
    return CaptureFailure::kUnavailable;
  }
  if (!WaylandSession()) return CaptureFailure::kNone;
  const char* remedy = "; unset PICTOSS_CAPTURE to capture through the desktop portal";
  if (target == CaptureTarget::kFullScreen) {
    *why = std::string(
               "this is a Wayland session, where the X server holds only the X11 "
               "programs' windows and no picture of the screen, and PICTOSS_CAPTURE=x11 "
               "forces X11") +
           remedy;
    return CaptureFailure::kUnavailable;
  }
  XwaylandFrame frame;
  if (!ActiveXwaylandFrame(&frame) || frame.held_width <= 0 || frame.held_height <= 0) {
    *why = std::string(
               "no X11 window is in front; in this Wayland session PICTOSS_CAPTURE=x11 "
               "forces X11, which can read only the X11 programs' windows") +
           remedy;
    return CaptureFailure::kUnavailable;
  }
  window_ = frame;
  return CaptureFailure::kNone;
}

}  // namespace
}  // namespace x11

Display& X11Backend() {
  static auto* display = new x11::X11Screen;  // lives until exit, like the connection
  return *display;
}

}  // namespace platform
