// The floor the capture pipeline is measured against: the least a program can do to turn the
// X screen into a JPEG file. It grabs the root window with MIT-SHM, encodes with TurboJPEG
// straight from the grabbed pixels and writes the file. Two ways to grab: one shared segment of
// the whole frame, or bands of rows through one small reused segment into a full-frame buffer
// (same pixels, so the same JPEG bytes).
// A Floor owns its display connection, segment, frame buffer and encoder, and reuses them
// between captures. Threading: one thread.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace floorbench {

struct FloorOptions {
  int bandRows = 0;  // 0: one segment of the whole frame; else rows per band
  int quality = 90;
  int subsampling = TJSAMP_420;
};

struct FloorTimes {
  double grabMs = 0;
  double encodeMs = 0;
  double writeMs = 0;
  double totalMs() const { return grabMs + encodeMs + writeMs; }
};

class Floor {
 public:
  explicit Floor(const FloorOptions& options) : options_(options) {
    display_ = XOpenDisplay(nullptr);
    if (!display_) throw std::runtime_error("cannot open the display");
    if (!XShmQueryExtension(display_)) throw std::runtime_error("no MIT-SHM");
    int screen = DefaultScreen(display_);
    root_ = RootWindow(display_, screen);
    width_ = DisplayWidth(display_, screen);
    height_ = DisplayHeight(display_, screen);
    Visual* visual = DefaultVisual(display_, screen);
    if (DefaultDepth(display_, screen) != 24 || visual->red_mask != 0xff0000 ||
        visual->blue_mask != 0xff)
      throw std::runtime_error("the floor handles 24-bit TrueColor screens only");
    int rows = options_.bandRows > 0 ? std::min(options_.bandRows, height_) : height_;
    image_ = XShmCreateImage(display_, visual, 24, ZPixmap, nullptr, &segment_, width_, rows);
    if (!image_) throw std::runtime_error("XShmCreateImage failed");
    segment_.shmid = shmget(IPC_PRIVATE, size_t(image_->bytes_per_line) * rows, IPC_CREAT | 0600);
    if (segment_.shmid < 0) throw std::runtime_error("shmget failed");
    segment_.shmaddr = image_->data = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
    segment_.readOnly = False;
    XShmAttach(display_, &segment_);
    XSync(display_, False);
    // Marked for removal now, so that it goes with the process whatever happens.
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    encoder_ = tjInitCompress();
  }

  ~Floor() {
    if (encoder_) tjDestroy(encoder_);
    tjFree(jpeg_);
    if (image_) {
      XShmDetach(display_, &segment_);
      image_->data = nullptr;
      XDestroyImage(image_);
      shmdt(segment_.shmaddr);
    }
    if (display_) XCloseDisplay(display_);
  }

  int width() const { return width_; }
  int height() const { return height_; }

  // Grabs the screen, encodes it and writes path; the buffers stay for the next capture.
  FloorTimes Capture(const std::string& path) {
    using Clock = std::chrono::steady_clock;
    FloorTimes t;
    auto t0 = Clock::now();
    const unsigned char* pixels = options_.bandRows > 0 ? GrabBanded() : GrabWhole();
    auto t1 = Clock::now();
    if (tjCompress2(encoder_, pixels, width_, image_->bytes_per_line, height_, TJPF_BGRX, &jpeg_,
                    &jpegSize_, options_.subsampling, options_.quality, 0) != 0)
      throw std::runtime_error(std::string("tjCompress2: ") + tjGetErrorStr2(encoder_));
    auto t2 = Clock::now();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(jpeg_, 1, jpegSize_, f) != jpegSize_ || std::fclose(f) != 0)
      throw std::runtime_error("cannot write " + path);
    auto t3 = Clock::now();
    auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
    t.grabMs = ms(t1 - t0);
    t.encodeMs = ms(t2 - t1);
    t.writeMs = ms(t3 - t2);
    return t;
  }

 private:
  const unsigned char* GrabWhole() {
    XShmGetImage(display_, root_, image_, 0, 0, AllPlanes);
    return reinterpret_cast<const unsigned char*>(image_->data);
  }

  // Band by band through the small segment; the last band may be shorter.
  const unsigned char* GrabBanded() {
    size_t stride = size_t(image_->bytes_per_line);
    if (!frame_) frame_.reset(new unsigned char[stride * height_]);
    int bandRows = image_->height;
    for (int y = 0; y < height_; y += bandRows) {
      int rows = std::min(bandRows, height_ - y);
      image_->height = rows;
      XShmGetImage(display_, root_, image_, 0, y, AllPlanes);
      std::memcpy(frame_.get() + stride * y, image_->data, stride * rows);
    }
    image_->height = bandRows;
    return frame_.get();
  }

  FloorOptions options_;
  Display* display_ = nullptr;
  Window root_ = 0;
  int width_ = 0;
  int height_ = 0;
  XImage* image_ = nullptr;
  XShmSegmentInfo segment_{};
  std::unique_ptr<unsigned char[]> frame_;
  tjhandle encoder_ = nullptr;
  unsigned char* jpeg_ = nullptr;
  unsigned long jpegSize_ = 0;
};

}  // namespace floorbench
