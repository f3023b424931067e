// What the whole-system tests need around the host program: running `pictoss` as a child
// process (one-shot or as a chat session fed line by line), a private settings store and temp
// folder, windows with known pixels on the test's X server, and a JPEG decoder to read the
// pictures back. Everything here belongs to one test thread; child processes are waited for by
// their PIDs.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The environment of this process with the "NAME=VALUE" entries of changes put over it.
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& c : changes) replaced = replaced || c.substr(0, c.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

// A child process with its standard input, output and error on pipes. envChanges ("NAME=VALUE")
// are put over this process's environment for the child.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv,
                 const std::vector<std::string>& envChanges = {}) {
    std::vector<std::string> env = EnvironmentWith(envChanges);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
      throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    CloseInput();
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  void WriteLine(const std::string& line) {
    std::string s = line + "\n";
    if (write(in_, s.data(), s.size()) != static_cast<ssize_t>(s.size()))
      throw std::runtime_error("cannot write to the child");
  }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  // Waits until the child has read everything written to its input; false when the timeout
  // passes first. The pipe tells its content to either end.
  bool WaitUntilInputTaken(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      int left = 0;
      if (in_ < 0 || ioctl(in_, FIONREAD, &left) != 0) return false;
      if (left == 0) return true;
      if (Clock::now() >= deadline) return false;
      Pump(1);  // collects the child's output meanwhile
    }
  }
  // A line the child has written by now, without waiting for one.
  std::optional<std::string> LineSoFar() {
    Pump(0);
    return ReadLine(std::chrono::milliseconds(0));
  }

  // The next line of standard output (without its newline), or nothing when the child closed
  // its output or the timeout passed. Standard error is collected meanwhile.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (auto nl = out_buf_.find('\n'); nl != std::string::npos) {
        std::string line = out_buf_.substr(0, nl);
        out_buf_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || out_ < 0) return std::nullopt;
      Pump(static_cast<int>(left.count()));
    }
  }

  // Closes the input, waits for the exit and collects everything left; returns the exit status
  // (128 + signal when killed, -1 when it did not end within the timeout).
  int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    CloseInput();
    const auto deadline = Clock::now() + timeout;
    while ((out_ >= 0 || err_ >= 0) && Clock::now() < deadline) Pump(100);
    if (out_ >= 0 || err_ >= 0) {
      kill(pid_, SIGKILL);
      Wait();
      return -1;
    }
    return Wait();
  }

  // What the child wrote that ReadLine has not taken, and its standard error.
  const std::string& out() const { return out_buf_; }
  const std::string& err() const { return err_buf_; }

 private:
  void Pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    Drain(fds[0], out_, out_buf_);
    Drain(fds[1], err_, err_buf_);
  }
  static void Drain(const pollfd& p, int& fd, std::string& buf) {
    if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buf.append(chunk, static_cast<size_t>(n));
    } else {
      close(fd);
      fd = -1;
    }
  }
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string out_buf_, err_buf_;
};

struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end with empty input.
inline Run RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& envChanges = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  Child child(argv, envChanges);
  Run r;
  r.status = child.Finish(timeout);
  r.out = child.out();
  r.err = child.err();
  return r;
}

// A fresh directory below the system's temp folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pictoss-test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Sets an environment variable for this process (and so for every child) until destroyed.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

inline std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// An RGB picture, rows top-down, 3 bytes a pixel.
struct Rgb {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
  const unsigned char* at(int x, int y) const {
    return &pixels[(static_cast<size_t>(y) * width + x) * 3];
  }
};

inline std::optional<Rgb> DecodeJpeg(const std::string& bytes) {
  tjhandle d = tjInitDecompress();
  if (!d) return std::nullopt;
  Rgb rgb;
  int subsamp = 0, colorspace = 0;
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  bool ok = tjDecompressHeader3(d, data, bytes.size(), &rgb.width, &rgb.height, &subsamp,
                                &colorspace) == 0;
  if (ok) {
    rgb.pixels.resize(static_cast<size_t>(rgb.width) * rgb.height * 3);
    ok = tjDecompress2(d, data, bytes.size(), rgb.pixels.data(), rgb.width, 0, rgb.height, TJPF_RGB,
                       0) == 0;
  }
  tjDestroy(d);
  if (!ok) return std::nullopt;
  return rgb;
}

struct Color {
  unsigned char r, g, b;
};

// A rectangle of one colour inside a painted window, in the window's coordinates.
struct Block {
  int x, y, width, height;
  Color color;
};

// Windows with known pixels on the display of DISPLAY: each is filled with a background and
// coloured blocks, mapped, and painted before the constructor returns. The connection stays
// open (and the windows with it) while the object lives.
class Painter {
 public:
  Painter() {
    display_ = XOpenDisplay(nullptr);
    if (!display_) throw std::runtime_error("cannot open the display");
  }
  ~Painter() { XCloseDisplay(display_); }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  Display* display() const { return display_; }

  // A top-level window at (x, y); override-redirect windows are placed exactly as asked even
  // where a window manager runs. Returns its id.
  Window Show(int x, int y, int width, int height, Color background,
              const std::vector<Block>& blocks, bool overrideRedirect = true) {
    int screen = DefaultScreen(display_);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = overrideRedirect;
    attrs.background_pixel = Pixel(background);
    Window w = XCreateWindow(display_, RootWindow(display_, screen), x, y, width, height, 0,
                             CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel, &attrs);
    XSelectInput(display_, w, ExposureMask);
    XMapRaised(display_, w);
    // Paint after the first Expose, so that the server has the window's pixels.
    XEvent e;
    XWindowEvent(display_, w, ExposureMask, &e);
    GC gc = XCreateGC(display_, w, 0, nullptr);
    for (const Block& b : blocks) {
      XSetForeground(display_, gc, Pixel(b.color));
      XFillRectangle(display_, w, gc, b.x, b.y, b.width, b.height);
    }
    XFreeGC(display_, gc);
    XSync(display_, False);
    return w;
  }

  // Makes the window the one with the input focus (the foreground window without a window
  // manager), and the topmost.
  void Focus(Window w) {
    XRaiseWindow(display_, w);
    XSetInputFocus(display_, w, RevertToParent, CurrentTime);
    XSync(display_, False);
  }

 private:
  unsigned long Pixel(Color c) const {
    return (static_cast<unsigned long>(c.r) << 16) | (c.g << 8) | c.b;
  }
  Display* display_ = nullptr;
};

// The largest difference of one channel between the expected colour and the picture, over
// the block's inner part (the margin keeps the JPEG's smearing at colour edges out).
inline int MaxChannelError(const Rgb& picture, int left, int top, const Block& b, int margin) {
  int worst = 0;
  for (int y = top + b.y + margin; y < top + b.y + b.height - margin; ++y) {
    for (int x = left + b.x + margin; x < left + b.x + b.width - margin; ++x) {
      const unsigned char* p = picture.at(x, y);
      worst = std::max({worst, std::abs(p[0] - b.color.r), std::abs(p[1] - b.color.g),
                        std::abs(p[2] - b.color.b)});
    }
  }
  return worst;
}

}  // namespace harness
