// The disk fails under the host: the LD_PRELOAD shim of tests/support makes the k-th write,
// rename or fsync on the store's folder or the temp folder fail with EIO or ENOSPC, for every k
// until a run goes through untouched. After each failure the old value or the old file is
// intact, and nothing is left beside it.
//
// The host program against X servers that are hard to read: every 8-bit visual, with and without
// MIT-SHM, compared with what xwd reads of the same screen; a format that cannot be read; a
// server that runs in another IPC namespace than the host; and servers killed in the middle of
// captures.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/host_harness.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = harness::fs;

constexpr int kErrors[] = {EIO, ENOSPC};
constexpr char kKey[] = "HKLM\\Software\\Brindlemoor\\Pictoss";

class FaultInjectionTest : public ::testing::Test {
 protected:
  fs::path Store() const { return store_.path() / "machine"; }

  // Runs the host; with k > 0 the k-th counted call on a file below `watched` fails.
  harness::Run Run(std::vector<std::string> args, long k = 0, int error = EIO,
                   const fs::path& watched = {}) const {
    args.insert(args.begin(), PICTOSS_HOST_PATH);
    std::vector<std::string> env = {"PICTOSS_PREFIX=" + Store().string(),
                                    "TMPDIR=" + tmp_.path().string()};
    if (k > 0) {
      const char* asan = std::getenv("ASAN_OPTIONS");
      env.insert(env.end(),
                 {std::string("LD_PRELOAD=") + PICTOSS_FAULT_SHIM,
                  "PICTOSS_FAULT_CALLS=write,rename,fsync", "PICTOSS_FAULT_AT=" + std::to_string(k),
                  "PICTOSS_FAULT_ERRNO=" + std::to_string(error),
                  "PICTOSS_FAULT_PATH=" + watched.string(), "PICTOSS_FAULT_REPORT=" + Report(),
                  // The shim is loaded ahead of the sanitizer's runtime.
                  std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    }
    return harness::RunProgram(args, env);
  }
  std::string Report() const { return (report_.path() / "fired").string(); }
  // Whether the last run met its fault; forgets it.
  bool Fired() const {
    std::error_code ec;
    return fs::remove(Report(), ec);
  }
  // The stored value, or what went wrong reading it.
  std::string Value(const char* key, const char* name) const {
    harness::Run r = Run({"reg", "query", key, "/v", name});
    if (r.status != 0) return "(error) " + r.err;
    std::string line = r.out.substr(0, r.out.size() - 1);
    return line.substr(line.rfind("    ") + 4);
  }
  // Files in the folder other than these.
  static std::set<std::string> Strays(const fs::path& folder, const std::set<std::string>& known) {
    std::set<std::string> strays;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (!known.count(name)) strays.insert(name);
    }
    return strays;
  }

  harness::TempDir store_, tmp_, report_;
  int injected_ = 0;
  int survived_ = 0;
};

const std::set<std::string> kStoreFiles = {"registry.db", "registry.db-wal", "registry.db-shm"};

TEST_F(FaultInjectionTest, ASettingsWriteKeepsTheOldValue) {
  ASSERT_EQ(Run({"setup"}).status, 0);
  for (int error : kErrors) {
    for (long k = 1;; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", call " + std::to_string(k));
      ASSERT_LT(k, 200);
      ASSERT_EQ(Run({"reg", "add", kKey, "/v", "TimeDelay", "/d", "old", "/f"}).status, 0);
      harness::Run r =
          Run({"reg", "add", kKey, "/v", "TimeDelay", "/d", "new", "/f"}, k, error, Store());
      const std::string value = Value(kKey, "TimeDelay");
      if (!Fired()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(value, "new");
        break;
      }
      ++injected_;
      // A write that reports a failure has not happened; one that reports success has.
      EXPECT_EQ(value, r.status == 0 ? "new" : "old") << r.err;
      EXPECT_EQ(Strays(Store(), kStoreFiles), std::set<std::string>());
      survived_ += value == (r.status == 0 ? "new" : "old") && Strays(Store(), kStoreFiles).empty();
    }
  }
  EXPECT_EQ(survived_, injected_);
  std::printf("settings write: %d faults injected, %d survived\n", injected_, survived_);
}

TEST_F(FaultInjectionTest, TheFirstWriteMakesAWholeStoreOrNone) {
  for (int error : kErrors) {
    for (long k = 1;; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", call " + std::to_string(k));
      ASSERT_LT(k, 400);
      fs::remove_all(Store());
      harness::Run r =
          Run({"reg", "add", kKey, "/v", "TimeDelay", "/d", "1", "/f"}, k, error, store_.path());
      if (!Fired()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Value(kKey, "TimeDelay"), "1");
        break;
      }
      ++injected_;
      // Either no store, or a whole one that reads (with the value when the write said so).
      const std::string value = Value(kKey, "TimeDelay");
      const bool whole = r.status == 0
                             ? value == "1"
                             : value.find("unable to find") != std::string::npos || value == "1";
      EXPECT_TRUE(whole) << value << " after " << r.err;
      EXPECT_EQ(Strays(Store(), kStoreFiles), std::set<std::string>());
      survived_ += whole && Strays(Store(), kStoreFiles).empty();
    }
  }
  EXPECT_EQ(survived_, injected_);
  std::printf("store creation: %d faults injected, %d survived\n", injected_, survived_);
}

TEST_F(FaultInjectionTest, ACaptureKeepsTheOldPicture) {
  testsupport::XvfbServer display(64, 48);
  ASSERT_EQ(Run({"setup"}).status, 0);
  const fs::path picture = tmp_.path() / "My_Screenshot.jpg";
  const std::string old = "the picture of the capture before";
  for (int error : kErrors) {
    for (long k = 1;; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", call " + std::to_string(k));
      ASSERT_LT(k, 100);
      { std::ofstream(picture, std::ios::binary | std::ios::trunc) << old; }
      harness::Run r = Run({"send", "/xptfull"}, k, error, tmp_.path());
      const std::string now = harness::ReadFile(picture).value_or("(gone)");
      if (!Fired()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(now, old);
        break;
      }
      ++injected_;
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_EQ(now, old);
      EXPECT_EQ(Strays(tmp_.path(), {"My_Screenshot.jpg"}), std::set<std::string>());
      survived_ +=
          r.status == 1 && now == old && Strays(tmp_.path(), {"My_Screenshot.jpg"}).empty();
    }
  }
  EXPECT_EQ(survived_, injected_);
  std::printf("picture replace: %d faults injected, %d survived\n", injected_, survived_);
}

// X servers that are hard to read.
using namespace std::chrono_literals;

class XServerTest : public ::testing::Test {
 protected:
  std::vector<std::string> Env(const std::string& display) const {
    return {"PICTOSS_PREFIX=" + store_.path().string(), "TMPDIR=" + tmp_.path().string(),
            "DISPLAY=" + display};
  }
  void SetUp() override {
    harness::Run r = harness::RunProgram({PICTOSS_HOST_PATH, "setup"}, Env(""));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  fs::path Picture() const { return tmp_.path() / "My_Screenshot.jpg"; }

  harness::TempDir store_, tmp_;
};

// ---- Screen formats

constexpr int kBlock = 32;  // on the JPEG's 16-pixel grid
constexpr int kBlocks = 16;
constexpr int kSide = kBlock * kBlocks;

// Fills the root window with blocks of 256 pixel values. Where the default colormap's cells can
// be had (GrayScale, PseudoColor, DirectColor), they get colours of their own first, so that the
// blocks differ; static visuals show their fixed colours.
void PaintPixelValues(::Display* d) {
  const int screen = DefaultScreen(d);
  const Colormap map = DefaultColormap(d, screen);
  std::vector<unsigned long> pixels(256);
  for (int i = 0; i < 256; ++i) pixels[i] = static_cast<unsigned long>(i);
  const int visualClass = DefaultVisual(d, screen)->c_class;
  if (visualClass == GrayScale || visualClass == PseudoColor) {
    for (unsigned n = 250; n > 0; n -= 10) {
      std::vector<unsigned long> cells(n);
      if (!XAllocColorCells(d, map, False, nullptr, 0, cells.data(), n)) continue;
      std::vector<XColor> colours(n);
      for (unsigned i = 0; i < n; ++i) {
        colours[i].pixel = cells[i];
        colours[i].red = static_cast<unsigned short>((i * 97 % 256) << 8);
        colours[i].green = static_cast<unsigned short>((i * 57 % 256) << 8);
        colours[i].blue = static_cast<unsigned short>((i * 23 % 256) << 8);
        colours[i].flags = DoRed | DoGreen | DoBlue;
      }
      XStoreColors(d, map, colours.data(), static_cast<int>(n));
      for (int i = 0; i < 256; ++i) pixels[i] = cells[i % n];
      break;
    }
  }
  GC gc = XCreateGC(d, RootWindow(d, screen), 0, nullptr);
  for (int i = 0; i < 256; ++i) {
    XSetForeground(d, gc, pixels[i]);
    XFillRectangle(d, RootWindow(d, screen), gc, (i % kBlocks) * kBlock, (i / kBlocks) * kBlock,
                   kBlock, kBlock);
  }
  XFreeGC(d, gc);
  XSync(d, False);
}

// What xwd reads of an 8-bit screen, as red, green, blue bytes a pixel (ImageMagick reads no
// 8-bit XWD): its big-endian header, its colours, then a byte a pixel. TrueColor and DirectColor
// pixels look each channel up in the colour of the entry of that channel's index.
std::optional<harness::Rgb> XwdOfAnEightBitScreen(const std::string& xwd) {
  auto card32 = [&](std::size_t at) {
    const auto* b = reinterpret_cast<const unsigned char*>(xwd.data() + at);
    return (std::uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
  };
  auto card16 = [&](std::size_t at) {
    const auto* b = reinterpret_cast<const unsigned char*>(xwd.data() + at);
    return (b[0] << 8) | b[1];
  };
  if (xwd.size() < 100) return std::nullopt;
  const std::uint32_t header = card32(0), width = card32(16), height = card32(20);
  const std::uint32_t bpp = card32(44), line = card32(48), visualClass = card32(52);
  const std::uint32_t masks[3] = {card32(56), card32(60), card32(64)};
  const std::uint32_t colours = card32(76);
  const std::size_t image = header + 12 * std::size_t{colours};
  if (bpp != 8 || xwd.size() < image + std::size_t{line} * height) return std::nullopt;
  std::vector<std::array<int, 4>> entries;  // pixel, red, green, blue
  for (std::uint32_t i = 0; i < colours; ++i) {
    const std::size_t at = header + 12 * std::size_t{i};
    entries.push_back({static_cast<int>(card32(at)), card16(at + 4) >> 8, card16(at + 6) >> 8,
                       card16(at + 8) >> 8});
  }
  harness::Rgb rgb;
  rgb.width = static_cast<int>(width);
  rgb.height = static_cast<int>(height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint32_t p = static_cast<unsigned char>(xwd[image + y * line + x]);
      for (int k = 0; k < 3; ++k) {
        int value = 0;
        if (visualClass == TrueColor || visualClass == DirectColor) {
          const std::uint32_t index = (p & masks[k]) >> std::countr_zero(masks[k]);
          if (index < entries.size()) value = entries[index][1 + k];
        } else {
          for (const auto& e : entries)
            if (static_cast<std::uint32_t>(e[0]) == p) value = e[1 + k];
        }
        rgb.pixels.push_back(static_cast<unsigned char>(value));
      }
    }
  }
  return rgb;
}

// Every 8-bit visual (-cc 0 to 5), with and without shared memory: the picture shows what xwd
// reads through the colormap, within JPEG's error, in the middle of each block.
TEST_F(XServerTest, EveryEightBitVisualGivesTheColoursXwdSees) {
  const char* classes[] = {"StaticGray",  "GrayScale", "StaticColor",
                           "PseudoColor", "TrueColor", "DirectColor"};
  for (int cc = 0; cc < 6; ++cc) {
    for (bool shm : {true, false}) {
      SCOPED_TRACE(std::string(classes[cc]) + (shm ? " with" : " without") + " MIT-SHM");
      testsupport::XvfbServer server(
          kSide, kSide, 8, "-cc " + std::to_string(cc) + (shm ? "" : " -extension MIT-SHM"));
      ::Display* d = XOpenDisplay(server.display().c_str());
      ASSERT_NE(d, nullptr);
      ASSERT_EQ(DefaultVisual(d, DefaultScreen(d))->c_class, cc);
      PaintPixelValues(d);
      std::error_code ec;
      fs::remove(Picture(), ec);
      harness::Run r =
          harness::RunProgram({PICTOSS_HOST_PATH, "send", "/xptfull 0"}, Env(server.display()));
      const std::optional<harness::Rgb> seen =
          XwdOfAnEightBitScreen(uitest::Run("xwd -root -silent"));
      XCloseDisplay(d);
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      auto picture = harness::DecodeJpeg(harness::ReadFile(Picture()).value_or(""));
      ASSERT_TRUE(picture);
      ASSERT_EQ(picture->width, kSide);
      ASSERT_EQ(picture->height, kSide);
      ASSERT_TRUE(seen);
      ASSERT_EQ(seen->width, kSide);
      std::set<std::uint32_t> colours;
      int worst = 0;
      for (int i = 0; i < 256; ++i) {
        const int x = (i % kBlocks) * kBlock + kBlock / 2, y = (i / kBlocks) * kBlock + kBlock / 2;
        const unsigned char* want = seen->at(x, y);
        colours.insert((want[0] << 16) | (want[1] << 8) | want[2]);
        for (int dy = -4; dy < 4; ++dy) {
          for (int dx = -4; dx < 4; ++dx) {
            const unsigned char* got = picture->at(x + dx, y + dy);
            for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(got[k] - want[k]));
          }
        }
      }
      EXPECT_GE(colours.size(), 8u) << "the screen shows too few colours to tell anything";
      EXPECT_LE(worst, 12);
    }
  }
}

// A format whose pixels the host cannot turn into colours is refused by name: nothing is
// captured or reported as sent.
TEST_F(XServerTest, ADirectColorScreenOfTwentyFourBitsIsRefusedByName) {
  testsupport::XvfbServer server(320, 240, 24, "-cc 5");
  harness::Run r =
      harness::RunProgram({PICTOSS_HOST_PATH, "send", "/xptfull 0"}, Env(server.display()));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("the screen's format (24-bit DirectColor) is not supported"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(Picture()));
}

// ---- Shared memory across IPC namespaces

// The host in an IPC namespace of its own, the server in another: the server fills the host's
// memory, never another program's segment that has the id the host's first segment would have.
// Both namespaces are fresh, so that their segment ids start alike.
TEST_F(XServerTest, SharedMemoryReachesTheHostAcrossIpcNamespaces) {
  if (geteuid() != 0) GTEST_SKIP() << "an IPC namespace of its own needs root";
  // This thread's namespace, and so that of the server and the programs it starts.
  if (unshare(CLONE_NEWIPC) != 0) GTEST_SKIP() << "no IPC namespace: " << std::strerror(errno);
  testsupport::XvfbServer server(640, 480, 24);
  harness::Painter painter;
  painter.Show(0, 0, 640, 480, {200, 40, 40}, {});
  // Another program's segments, with the ids that a fresh namespace hands out first.
  constexpr std::size_t kSize = 1 << 20;
  std::vector<int> ids;
  for (int i = 0; i < 6; ++i) {
    const int id = shmget(IPC_PRIVATE, kSize, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    auto* memory = static_cast<unsigned char*>(shmat(id, nullptr, 0));
    std::memset(memory, 0xA5, kSize);
    shmdt(memory);
    ids.push_back(id);
  }
  harness::Run r =
      harness::RunProgram({"/usr/bin/unshare", "--ipc", PICTOSS_HOST_PATH, "send", "/xptfull 0"},
                          Env(server.display()));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (int id : ids) {
    auto* memory = static_cast<unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(memory, reinterpret_cast<unsigned char*>(-1));
    std::size_t changed = 0;
    for (std::size_t i = 0; i < kSize; ++i) changed += memory[i] != 0xA5;
    EXPECT_EQ(changed, 0u) << "segment " << id << " was written";
    shmdt(memory);
    shmctl(id, IPC_RMID, nullptr);
  }
  auto picture = harness::DecodeJpeg(harness::ReadFile(Picture()).value_or(""));
  ASSERT_TRUE(picture);
  EXPECT_LE(harness::MaxChannelError(*picture, 0, 0, {0, 0, 640, 480, {200, 40, 40}}, 16), 6);
}

// ---- Lost servers

// An X server on display :number, started anew under the same name after each kill.
class NumberedServer {
 public:
  explicit NumberedServer(int number) : number_(number) {}
  ~NumberedServer() { Kill(); }
  bool Start() {
    int ready[2];
    if (pipe(ready) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);  // with the helpers it starts (xkbcomp), killed as one
      close(ready[0]);
      const std::string fd = std::to_string(ready[1]);
      const std::string name = ":" + std::to_string(number_);
      execlp("Xvfb", "Xvfb", name.c_str(), "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24",
             "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    // It writes its number and a newline once it takes connections.
    char c = 0;
    pollfd p{ready[0], POLLIN, 0};
    bool started = false;
    while (poll(&p, 1, 20000) > 0 && read(ready[0], &c, 1) == 1) {
      if (c == '\n') {
        started = true;
        break;
      }
    }
    close(ready[0]);
    return started;
  }
  // Kills the server and its helpers, and waits until nothing listens under its name any more,
  // so that the next one can take it.
  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(number_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    for (int i = 0; i < 1000; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool listening = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
      close(fd);
      if (!listening) return;
      poll(nullptr, 0, 10);
    }
  }

 private:
  int number_;
  pid_t pid_ = -1;
};

// Servers killed 0 to 250 ms into three back-to-back full-screen captures, with both capture
// threads reading: every line gets an answer, and the host lives on to the end.
TEST_F(XServerTest, ServersKilledDuringCapturesNeverEndOrHangTheHost) {
  // A number far above those that servers choosing their own take (the lowest free), so that
  // no other test's server comes up under it between the kills.
  int number = 500 + getpid() % 400;
  while (fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) ++number;
  NumberedServer server(number);
  harness::Child chat({PICTOSS_HOST_PATH, "chat"}, Env(":" + std::to_string(number)));
  std::mt19937 random(12345);
  constexpr int kKills = 30;
  int answers = 0, sent = 0;
  for (int round = 0; round < kKills; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server.Start());
    for (int i = 0; i < 3; ++i) chat.WriteLine("/xptfull 0");
    // The kill comes at a random moment of the captures; answers that come first are taken.
    const auto kill_at = harness::Clock::now() +
                         std::chrono::milliseconds(std::uniform_int_distribution(0, 250)(random));
    int got = 0;
    while (got < 3) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(kill_at - harness::Clock::now());
      if (left <= 0ms) break;
      std::optional<std::string> line = chat.ReadLine(left);
      if (line) ++got, sent += line->starts_with("sent file ");
    }
    server.Kill();
    for (; got < 3; ++got) {
      std::optional<std::string> line = chat.ReadLine(20s);
      ASSERT_TRUE(line) << "no answer; the host said:\n" << chat.err();
      sent += line->starts_with("sent file ");
    }
    answers += got;
    ASSERT_EQ(waitpid(chat.pid(), nullptr, WNOHANG), 0) << "the host ended: " << chat.err();
  }
  const int status = chat.Finish(20s);
  EXPECT_TRUE(status == 0 || status == 1) << status << " " << chat.err();
  EXPECT_EQ(answers, 3 * kKills);
  std::printf("figure: %d of %d captures sent across %d lost servers\n", sent, answers, kKills);
}

}  // namespace
