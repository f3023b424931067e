#include "dialogs/dialogs.h"

// gtest before Xlib, whose macros (None, Bool) break gtest's declarations.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "platform/runtime/errors.h"
#include "tests/support/private_store.h"
#include "tests/support/runtime_error.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace pictoss {
namespace {

using namespace std::string_literals;

// The layout is in twips; the private server has no Xft.dpi, so a pixel is 15 twips.
constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;
constexpr char kOptionsTitle[] = "Pictoss Options";
constexpr char kAboutTitle[] = "About Pictoss Saver";

// These run before any test opens a display: once FLTK has one, it keeps it.
TEST(DialogsWithoutDisplay, RaiseAClearErrorAndTouchNoSettings) {
  std::optional<std::string> display;
  if (const char* d = std::getenv("DISPLAY")) display = d;
  unsetenv("DISPLAY");
  testsupport::PrivateStore store;
  struct Case {
    std::function<void()> show;
    std::u16string source;
  } cases[] = {{ShowOptionsDialog, u"Vorlick.options"}, {ShowAboutDialog, u"Vorlick.about"}};
  for (const Case& c : cases) {
    if (auto e = testsupport::RaisedError(c.show)) {
      EXPECT_EQ(e->number(), kNoDisplayError);
      EXPECT_EQ(e->source(), c.source);
      EXPECT_NE(e->description().find(u"No display is available"), std::u16string::npos);
    }
  }
  EXPECT_TRUE(store.Empty());  // the store was not even opened
  if (display) setenv("DISPLAY", display->c_str(), 1);
}

// FLTK opens its display once per process, so every window test uses one server, started by
// the first and stopped when the program ends.
class DialogWindows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static testsupport::XvfbServer server(kScreenWidth, kScreenHeight);
    setenv("DISPLAY", server.display().c_str(), 1);
  }

  testsupport::PrivateStore store_;
};

// Shows a dialog on this thread while the driver works on the window titled `title` from
// another; true when the driver succeeded, the window went away and the call returned. A
// driver that fails closes the window by its close box so that the test goes on.
bool Drive(void (*show)(), const char* title, std::function<bool(unsigned long)> driver) {
  auto done = std::async(std::launch::async, [title, driver] {
    unsigned long id = uitest::WaitForWindow(title);
    if (!id) return false;
    bool ok = driver(id);
    bool gone = uitest::WaitUntilGone(title);
    if (!gone) uitest::SendDeleteWindow(id);
    return ok && gone;
  });
  show();
  return done.get();
}

struct SettingsCase {
  const char* name;
  std::function<bool(unsigned long)> driver;
  std::optional<std::string> timeDelay;  // raw stored bytes afterwards
  std::optional<std::string> fileName;
};

class OptionsDialog : public DialogWindows {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store_.CreateSettingsKey());
    ASSERT_TRUE(store_.Set("TimeDelay", "3"));
    ASSERT_TRUE(store_.Set("FileName", "pic.jpg"));
  }
};

TEST_F(OptionsDialog, KeyboardUse) {
  const SettingsCase cases[] = {
      {"typed values and Enter save and close",
       [](unsigned long id) {
         return uitest::Keys(id, "ctrl+a") && uitest::Type(id, "7") && uitest::Keys(id, "Tab") &&
                uitest::Keys(id, "ctrl+a") && uitest::Type(id, "shot") &&
                uitest::Keys(id, "Return");
       },
       "7\0"s, "shot.jpg\0"s},
      {"Enter without a change stores the name with its suffix again",
       [](unsigned long id) { return uitest::Keys(id, "Tab Return"); }, "3\0"s, "pic.jpg\0"s},
      {"Alt+S saves",
       [](unsigned long id) {
         return uitest::Keys(id, "ctrl+a") && uitest::Type(id, "abc") && uitest::Keys(id, "alt+s");
       },
       "abc\0"s, "pic.jpg\0"s},
      {"Alt+D then the close box saves nothing",
       [](unsigned long id) { return uitest::Keys(id, "alt+d") && uitest::SendDeleteWindow(id); },
       "3\0"s, "pic.jpg\0"s},
      // Tab order: delay, name, Save, Defaults, and round to the delay box, whose text Tab
      // selects; space on Defaults clicks it.
      {"Tab order",
       [](unsigned long id) {
         return uitest::Keys(id, "ctrl+a") && uitest::Type(id, "9") &&
                uitest::Keys(id, "Tab ctrl+a") && uitest::Type(id, "name") &&
                uitest::Keys(id, "Tab Tab space Tab") && uitest::Type(id, "5") &&
                uitest::Keys(id, "Return");
       },
       "5\0"s, "My_Screenshot.jpg\0"s},
      {"Escape does not close it",
       [](unsigned long id) {
         return uitest::Keys(id, "Escape") && !uitest::WaitUntilGone(kOptionsTitle, 1) &&
                uitest::SendDeleteWindow(id);
       },
       "3\0"s, "pic.jpg\0"s},
  };
  for (const SettingsCase& c : cases) {
    ASSERT_TRUE(store_.Set("TimeDelay", "3"));
    ASSERT_TRUE(store_.Set("FileName", "pic.jpg"));
    EXPECT_TRUE(Drive(ShowOptionsDialog, kOptionsTitle, c.driver)) << c.name;
    EXPECT_EQ(store_.Raw("TimeDelay"), c.timeDelay) << c.name;
    EXPECT_EQ(store_.Raw("FileName"), c.fileName) << c.name;
  }
}

TEST_F(DialogWindows, FailedSaveShowsTheMessageAndKeepsTheDialogOpen) {
  // No settings key: Enter shows the message box over the dialog; after OK the dialog is still
  // there, and only its close box ends it.
  bool driven = Drive(ShowOptionsDialog, kOptionsTitle, [](unsigned long id) {
    if (!uitest::Keys(id, "ctrl+a") || !uitest::Type(id, "4") || !uitest::Keys(id, "Return"))
      return false;
    unsigned long box = uitest::WaitForWindow("Pictoss");
    if (!box || !uitest::Keys(box, "Return") || !uitest::WaitUntilGone("Pictoss")) return false;
    bool stillOpen = uitest::WaitForWindow(kOptionsTitle) != 0;
    return stillOpen && uitest::SendDeleteWindow(id);
  });
  EXPECT_TRUE(driven);
  EXPECT_FALSE(store_.KeyExists());
}

TEST_F(DialogWindows, WindowsAreCentredFixedUtilityWindowsWithoutOwner) {
  struct Case {
    void (*show)();
    const char* title;
    int width, height;  // the client area in twips / 15
  } cases[] = {{ShowOptionsDialog, kOptionsTitle, 313, 182},
               {ShowAboutDialog, kAboutTitle, 422, 326}};
  for (const Case& c : cases) {
    std::string properties;
    uitest::Geometry geometry;
    EXPECT_TRUE(Drive(c.show, c.title, [&](unsigned long id) {
      geometry = uitest::WindowGeometry(id);
      properties = uitest::Run("xprop -id " + std::to_string(id));
      return uitest::SendDeleteWindow(id);
    }));
    EXPECT_EQ(geometry.width, c.width) << c.title;
    EXPECT_EQ(geometry.height, c.height) << c.title;
    EXPECT_EQ(geometry.x, (kScreenWidth - c.width) / 2) << c.title;
    EXPECT_EQ(geometry.y, (kScreenHeight - c.height) / 2) << c.title;
    EXPECT_NE(properties.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_UTILITY"),
              std::string::npos)
        << properties;
    std::string size = std::to_string(c.width) + " by " + std::to_string(c.height);
    EXPECT_NE(properties.find("program specified minimum size: " + size), std::string::npos);
    EXPECT_NE(properties.find("program specified maximum size: " + size), std::string::npos);
    EXPECT_EQ(properties.find("WM_TRANSIENT_FOR"), std::string::npos);
  }
}

TEST_F(DialogWindows, AboutClosesByEnterEscapeOkAndCloseBox) {
  // OK is at (2520, 4395) twips, 1260 x 345: its middle is at pixel (210, 304).
  const struct {
    const char* name;
    std::function<bool(unsigned long)> driver;
  } cases[] = {
      {"Enter", [](unsigned long id) { return uitest::Keys(id, "Return"); }},
      {"Escape", [](unsigned long id) { return uitest::Keys(id, "Escape"); }},
      {"Alt+O", [](unsigned long id) { return uitest::Keys(id, "alt+o"); }},
      {"click on OK", [](unsigned long id) { return uitest::Click(id, 210, 304); }},
      {"close box", [](unsigned long id) { return uitest::SendDeleteWindow(id); }},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Drive(ShowAboutDialog, kAboutTitle, c.driver)) << c.name;
  }
  EXPECT_TRUE(store_.Empty());  // the about dialog reads no settings
}

TEST_F(DialogWindows, ClickElsewhereDoesNotCloseTheAboutDialog) {
  EXPECT_TRUE(Drive(ShowAboutDialog, kAboutTitle, [](unsigned long id) {
    return uitest::Click(id, 20, 20) && !uitest::WaitUntilGone(kAboutTitle, 1) &&
           uitest::SendDeleteWindow(id);
  }));
}

// The red title's pixels all lie inside its rectangle, converted from twips at 15 twips a
// pixel; the screenshot of the window is kept as <name>.png in the working folder.
struct RedTitleCase {
  void (*show)();
  const char* title;
  const char* png;
  int left, top, width, height;  // the title label, in pixels of the client area
};

class DialogScreenshots : public DialogWindows,
                          public ::testing::WithParamInterface<RedTitleCase> {};

bool IsRed(const unsigned char* p) {
  return p[0] > 150 && p[1] < 90 && p[2] < 90;
}

TEST_P(DialogScreenshots, RedTitleLiesInsideItsRectangle) {
  const RedTitleCase& c = GetParam();
  ASSERT_TRUE(store_.CreateSettingsKey());
  ASSERT_TRUE(store_.Set("TimeDelay", "3"));
  ASSERT_TRUE(store_.Set("FileName", "My_Screenshot.jpg"));
  uitest::Image shot;
  uitest::Geometry g;
  ASSERT_TRUE(Drive(c.show, c.title, [&](unsigned long id) {
    g = uitest::WindowGeometry(id);
    // The window is mapped before it is painted: shots are taken until its title's red shows.
    const auto painted = [&] {
      for (int y = 0; y < g.height; ++y) {
        for (int x = 0; x < g.width; ++x) {
          if (IsRed(shot.At(g.x + x, g.y + y))) return true;
        }
      }
      return false;
    };
    for (int i = 0; i < 50; ++i) {
      shot = uitest::Screenshot(std::string(c.png) + ".ppm");
      if (shot.width != kScreenWidth || painted()) break;
    }
    uitest::Run("convert " + std::string(c.png) + ".ppm -crop " + std::to_string(g.width) + "x" +
                std::to_string(g.height) + "+" + std::to_string(g.x) + "+" + std::to_string(g.y) +
                " +repage " + c.png + ".png");
    return uitest::SendDeleteWindow(id);
  }));
  ASSERT_EQ(shot.width, kScreenWidth);
  int inside = 0, outside = 0;
  for (int y = 0; y < g.height; ++y) {
    for (int x = 0; x < g.width; ++x) {
      if (!IsRed(shot.At(g.x + x, g.y + y))) continue;
      bool in = x >= c.left && x < c.left + c.width && y >= c.top && y < c.top + c.height;
      (in ? inside : outside)++;
    }
  }
  EXPECT_GT(inside, 100);  // "Pictoss 2" in 24-pixel bold, underlined
  EXPECT_EQ(outside, 0);
}

// Options: Label16 at (390, 45) twips, 3990 x 495; about: (570, 60), the same size.
INSTANTIATE_TEST_SUITE_P(
    Dialogs, DialogScreenshots,
    ::testing::Values(RedTitleCase{ShowOptionsDialog, kOptionsTitle, "options", 26, 3, 266, 33},
                      RedTitleCase{ShowAboutDialog, kAboutTitle, "about", 38, 4, 266, 33}));

// A server that goes away under an open dialog must not end the process (FLTK's own handling
// of a lost connection does): the dialog command raises the error, and the next dialog opens on
// the next server. In a child process of its own, since FLTK keeps its display per process.
TEST(DialogsLosingTheDisplay, RaiseAClearErrorAndTheNextServerShowsThem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    testsupport::PrivateStore store;
    {
      testsupport::XvfbServer first(kScreenWidth, kScreenHeight);
      auto killer = std::async(std::launch::async, [&first] {
        if (!uitest::WaitForWindow(kOptionsTitle)) return false;
        kill(first.pid(), SIGKILL);
        return true;
      });
      auto error = testsupport::ErrorOf(ShowOptionsDialog);
      if (!killer.get()) return 5;
      if (!error || error->number() != kNoDisplayError ||
          error->description() != u"The display went away while the options dialog was open")
        return 6;
    }
    testsupport::XvfbServer second(kScreenWidth, kScreenHeight);
    return Drive(ShowAboutDialog, kAboutTitle,
                 [](unsigned long id) { return uitest::Keys(id, "Escape"); })
               ? 0
               : 7;
  };
  EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace pictoss
