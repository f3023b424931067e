// For tests of real windows: drives them from outside, as a user would, with xdotool key presses
// and clicks and with WM_DELETE_WINDOW messages, and takes screenshots with xwd and ImageMagick.
// Runs on a thread of its own while the test thread sits in a modal window's loop; each call
// starts a program or opens its own X connection, so nothing is shared with FLTK.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace uitest {

// Runs a shell command, returns its standard output (empty when it failed).
inline std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  if (pclose(pipe) != 0) return {};
  return out;
}

// The id of the visible window with exactly this title, other than `besides` (a window that
// is closing), waiting up to 20 seconds; 0 if none.
inline unsigned long WaitForWindow(const std::string& title, unsigned long besides = 0) {
  for (int i = 0; i < 200; ++i) {
    std::string out = Run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null");
    for (std::size_t at = 0; at < out.size();) {
      const std::size_t end = out.find('\n', at);
      const unsigned long id = std::strtoul(out.c_str() + at, nullptr, 10);
      if (id != 0 && id != besides) return id;
      if (end == std::string::npos) break;
      at = end + 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}

// Gives the window the keyboard focus (there is no window manager to do it) and presses the
// keys (xdotool names, such as "Tab", "alt+s", "Return").
inline bool Keys(unsigned long window, const std::string& keys) {
  std::string id = std::to_string(window);
  return std::system(
             ("xdotool windowfocus --sync " + id + " key --delay 40 " + keys + " >/dev/null 2>&1")
                 .c_str()) == 0;
}

inline bool Type(unsigned long window, const std::string& text) {
  std::string id = std::to_string(window);
  return std::system(("xdotool windowfocus --sync " + id + " type --delay 40 '" + text +
                      "' >/dev/null 2>&1")
                         .c_str()) == 0;
}

// A left click at (x, y) relative to the window.
inline bool Click(unsigned long window, int x, int y) {
  std::string id = std::to_string(window);
  return std::system(("xdotool mousemove --sync --window " + id + " " + std::to_string(x) + " " +
                      std::to_string(y) + " click 1 >/dev/null 2>&1")
                         .c_str()) == 0;
}

// What a window manager sends when the user clicks the close box.
inline bool SendDeleteWindow(unsigned long window) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, window, False, NoEventMask, &event);
  XCloseDisplay(display);
  return sent != 0;
}

// Waits until no visible window has this title.
inline bool WaitUntilGone(const std::string& title, int seconds = 20) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (Run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null").empty())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};

// The window's position on the root window and its size.
inline Geometry WindowGeometry(unsigned long window) {
  Geometry g;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return g;
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, window, &attributes)) {
    Window child;
    XTranslateCoordinates(display, window, attributes.root, 0, 0, &g.x, &g.y, &child);
    g.width = attributes.width;
    g.height = attributes.height;
  }
  XCloseDisplay(display);
  return g;
}

// A screenshot of the whole screen as RGB rows, through xwd and ImageMagick.
struct Image {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  const unsigned char* At(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

inline Image Screenshot(const std::string& ppmPath) {
  Image image;
  if (std::system(("xwd -root -silent | convert xwd:- " + ppmPath + " 2>/dev/null").c_str()) != 0)
    return image;
  std::ifstream in(ppmPath, std::ios::binary);
  // The header's fields may be separated by comment lines ("# ...").
  auto field = [&in]() {
    std::string token;
    while (in >> token && token[0] == '#') std::getline(in, token);
    return token;
  };
  std::string magic = field();
  image.width = std::atoi(field().c_str());
  image.height = std::atoi(field().c_str());
  int maxValue = std::atoi(field().c_str());
  in.get();
  if (magic != "P6" || maxValue != 255) return Image{};
  image.rgb.resize(size_t(image.width) * image.height * 3);
  in.read(reinterpret_cast<char*>(image.rgb.data()), std::streamsize(image.rgb.size()));
  if (!in) return Image{};
  return image;
}

}  // namespace uitest
