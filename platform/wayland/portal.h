// The desktop portal's Screenshot interface on the session bus (org.freedesktop.portal.Desktop),
// for Wayland sessions, where no program may read the screen by itself. One request asks for a
// picture of the whole layout of outputs without a dialog; the portal answers with the URI of
// a PNG file, which is read and then deleted. Each request has a bus connection of its own.
// Threading: the user-interface thread only. The caller's wait may dispatch the thread's
// messages while a request waits, so the host may call in again (a nested request is fine).
#pragma once

#include "platform/base/windef.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform::wayland {

// A picture as 32-bit pixels: bytes blue, green, red, unused; rows top-down, `width` pixels
// each, with no padding.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

enum class Outcome { kOk, kNoPortal, kCancelled, kDenied, kTimedOut, kFailed };

struct Screenshot {
  Outcome outcome = Outcome::kFailed;
  std::string error;  // what went wrong, for every outcome but kOk
  Image image;
};

// Whether the session bus offers the Screenshot portal; otherwise *why says what is missing.
bool ScreenshotPortalAvailable(std::string* why);

// Blocks until the descriptor is readable or `most` has passed (and may dispatch messages).
using Wait = std::function<void(int fd, std::chrono::milliseconds most)>;

// Asks the portal for a picture of the whole screen and waits at most `timeout` for its answer,
// through `wait` (a plain poll when empty); on timeout the request is closed.
Screenshot TakeScreenshot(std::chrono::milliseconds timeout, const Wait& wait = {});

// The local path of a file: URI ("file:///tmp/a%20b.png" is "/tmp/a b.png"); empty for other
// URIs and bad escapes.
std::string PathFromFileUri(const std::string& uri);

// Reads a PNG file into 32-bit pixels; false with *error set when it cannot.
bool ReadPng(const std::string& path, Image* image, std::string* error);

}  // namespace platform::wayland
