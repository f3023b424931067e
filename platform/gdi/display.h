// The display under the drawing and window calls, in the shape of a driver table: what the
// screen shows, its size and format, its dpi and colour map, the windows on it, and how often it
// went away. One back end a windowing system (platform/x11, platform/wayland), each in a folder
// of its own; display_choice.cpp picks one, once per capture, and a null display stands where
// nothing can be read, saying why. Nothing above this header names a back end.
// Displays live as long as the process. Memory and readers that a display hands out go back to
// that same display. Threading: the user-interface thread, except where a call says otherwise.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/windef.h"

namespace platform {

// A rectangle in the display's own coordinates (the X root window's, the portal picture's
// pixels).
struct ScreenRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const ScreenRect&) const = default;
};

// The screen: its pixel format (of the rows that reads hand out) and the primary monitor.
struct ScreenInfo {
  bool connected = false;
  std::uint32_t root = 0;  // the desktop window
  ScreenRect primary;      // the primary monitor, the screen of the screen calls
  int bits_per_pixel = 32;
  std::uint32_t red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF;
  bool palette = false;  // 8-bit pixels that index the colour map
  int colormap_size = 0;
};

// Rows read from the screen in its format: `rows` rows of `stride` bytes at `data`, the first of
// them row `row` of the rectangle asked for.
struct PixelBand {
  const std::uint8_t* data;
  int stride;
  int row;
  int rows;
};
using BandSink = std::function<void(const PixelBand&)>;

// Whether captures will show what the user sees, for the hosts' start-up warning.
struct DisplayStatus {
  enum class Level { kFine, kPartial, kNothing };
  Level level = Level::kFine;
  std::string why;  // for kPartial what is missing, for kNothing why nothing can be read
};

enum class CaptureTarget { kFullScreen, kForegroundWindow };
enum class CaptureFailure { kNone, kUnavailable, kCancelled, kDenied, kFailed };
// Blocks until the descriptor is readable or the time is up, and may dispatch the thread's
// messages meanwhile (so the host may call in again).
using CaptureWait = std::function<void(int fd, std::chrono::milliseconds most)>;

// Optional fast paths. A display offers those it can; generic code asks for them and takes the
// plain road where one is missing or refuses.

// Pixel memory that the display writes into directly, for bitmaps that repeated captures reuse.
class SharedPixels {
 public:
  // nullptr when none can be had now.
  virtual void* Allocate(std::size_t bytes) = 0;
  virtual void Free(void* memory) = 0;
  // Whether the display can still write into the memory (it may have been replaced since).
  virtual bool Attached(const void* memory) = 0;

 protected:
  ~SharedPixels() = default;
};

// Reads a rectangle (which must lie on the screen) in one request straight into memory: `rect`
// rows of `stride` bytes at dest. False, with nothing read, where the display cannot write there
// (dest is not its shared memory, another row layout).
class BufferReads {
 public:
  virtual bool ReadInto(const ScreenRect& rect, std::uint8_t* dest, int stride) = 0;

 protected:
  ~BufferReads() = default;
};

// A rectangle strip by strip, top to bottom, each strip rows of 4 bytes a pixel (blue, green,
// red, unused). Make, use and end a reader on one thread; readers on different threads run side
// by side, and while they run nothing else uses the display.
class StripReader {
 public:
  virtual ~StripReader() = default;
  // The next strip, valid until the following call; false at the end or when it failed. Its row
  // counts from the top of the rectangle that it belongs to.
  virtual bool Next(PixelBand* strip) = 0;
  // Whether the reader would go on into another rectangle now, reading it ahead as it reads the
  // ones it has: it has asked for every strip of those already. A reader that never does is
  // read to its end, and another one opened.
  virtual bool WantsMore() const { return false; }
  // Requires WantsMore(), and next on the screen and as wide as the first rectangle: Next goes
  // on with next's strips after those of the rectangles before it.
  virtual void Continue(const ScreenRect& next) { (void)next; }
};

class StripReads {
 public:
  // Whether the screen can be read in strips now.
  virtual bool Available() = 0;
  // Requires: Available(), and rect lies on the screen. Any thread.
  virtual std::unique_ptr<StripReader> Open(const ScreenRect& rect, int strip_rows) = 0;

 protected:
  ~StripReads() = default;
};

// What the clipboard offers other programs, and the desktop's way of handing it on to them.
using ClipboardBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct ClipboardOffer {
  // The targets besides TARGETS and TIMESTAMP, as MIME types ("image/png"); empty for an empty
  // clipboard.
  std::vector<std::string> targets;
  // The content in one of the targets; null to refuse the request.
  std::function<ClipboardBytes(const std::string& target)> render;
  // Called when another program has taken the clipboard.
  std::function<void()> lost;
};

// How the caller's event loop watches a descriptor: add has onReadable called whenever fd is
// readable and returns an id for remove (0 when it cannot).
struct FdWatch {
  std::function<int(int fd, std::function<void()> onReadable)> add;
  std::function<void(int id)> remove;
};

class ClipboardOwner {
 public:
  // Takes the desktop's clipboard and serves the offer from the event loop that watch names,
  // until the next offer or until another program takes it. False when it cannot be taken.
  virtual bool Offer(ClipboardOffer offer, FdWatch watch) = 0;

 protected:
  ~ClipboardOwner() = default;
};

// The table every display fills. What a display leaves alone answers as the null display does:
// no screen, no window, nothing read. A display that lives in a module of its own hands itself
// out through the module's entry kDisplayModuleEntry, of type DisplayModuleEntry.
class PLATFORM_API Display {
 public:
  virtual ~Display() = default;

  // For messages and the debug channel: "x11", "wayland", "none".
  virtual const char* name() const = 0;
  // Whether this display can read the screen of this session; *why says what is missing.
  virtual bool Usable(std::string* why);
  virtual DisplayStatus GetStatus();

  virtual ScreenInfo Screen() { return {}; }
  // Screen() asked anew, where Screen() keeps its answer for a while.
  virtual ScreenInfo ScreenAnew() { return Screen(); }
  // Logical pixels per inch; 0 where the display does not say.
  virtual double Dpi() { return 0; }
  // Entries of the colour map as red, green, blue bytes (3 an entry); how many were read.
  virtual int ReadColormap(int start, int count, std::uint8_t* rgb);
  // The window's outer rectangle (border and frame included), or for `client` its inside; false
  // for a window that does not exist.
  virtual bool WindowRect(std::uint32_t window, bool client, ScreenRect* rect);
  // The top-level window that is active, or 0.
  virtual std::uint32_t ActiveWindow() { return 0; }
  // Hands the rectangle (which must lie on the screen) to sink band by band, in order; false
  // when it could not all be read.
  virtual bool Read(const ScreenRect& rect, const BandSink& sink);
  // How often the display went away since the process started: a call that fails while the
  // count changes failed because of that.
  virtual unsigned Losses() { return 0; }

  // Starts one capture; what it reads stays what the screen showed now until EndCapture (a
  // display that takes a picture holds it). Anything but kNone with *why says why nothing can be
  // captured, and then EndCapture is not called.
  virtual CaptureFailure BeginCapture(CaptureTarget target, const CaptureWait& wait,
                                      std::string* why);
  virtual void EndCapture() {}
  // Stores the desktop's permission for captures where the desktop keeps one, as a person's
  // "Allow" would; false with *why set where it cannot (or keeps none).
  virtual bool AllowCaptures(std::string* why);

  virtual SharedPixels* shared_pixels() { return nullptr; }
  virtual BufferReads* buffer_reads() { return nullptr; }
  virtual StripReads* strip_reads() { return nullptr; }
  virtual ClipboardOwner* clipboard_owner() { return nullptr; }
};

inline constexpr char kDisplayModuleEntry[] = "PictossDisplay";
using DisplayModuleEntry = Display* (*)();

// Where nothing can be read: every call answers "nothing", and why.
class NullDisplay final : public Display {
 public:
  explicit NullDisplay(std::string why) : why_(std::move(why)) {}
  const char* name() const override { return "none"; }
  bool Usable(std::string* why) override;
  DisplayStatus GetStatus() override;
  CaptureFailure BeginCapture(CaptureTarget, const CaptureWait&, std::string* why) override;
  const std::string& why() const { return why_; }

 private:
  std::string why_;
};

// The display that the calls use now: the one a running capture holds, else the one this
// session calls for (see display_choice.cpp).
Display& CurrentDisplay();

// True under a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland").
bool WaylandSession();

// Where the clipboard is offered to other programs, whichever display reads the screen; nullptr
// where it cannot be.
ClipboardOwner* SessionClipboard();

// Stores the desktop's permission for screen captures (under Wayland, in the desktop portal's
// permission store on the session bus, whichever display reads the screen now); false with *why
// set where it cannot.
PLATFORM_API bool AllowScreenCaptures(std::string* why);

// The status of the display that a capture would use now, for the hosts.
PLATFORM_API DisplayStatus CurrentDisplayStatus();

// One capture: chooses the display, holds it while this lives, and starts the capture on it.
// Where the screen cannot be read, or (for the foreground window) that window cannot be known,
// failure() says so instead of an empty picture following. ScreenChanged() tells whether the
// screen was resized or its primary monitor moved since then.
class PLATFORM_API ScreenCapture {
 public:
  using Target = CaptureTarget;
  using Failure = CaptureFailure;
  using Wait = CaptureWait;

  ScreenCapture(Target target, const Wait& wait);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  Failure failure() const { return failure_; }
  const std::string& why() const { return why_; }
  // Whether the primary monitor now, asked anew, has another size or place than when the
  // capture began: reads made meanwhile may have missed rows or read the wrong place. False
  // where the display has gone (which the reads report themselves).
  bool ScreenChanged() const;

 private:
  Display* display_;
  Failure failure_ = Failure::kNone;
  std::string why_;
  ScreenRect primary_;  // as the capture began
};

}  // namespace platform
