// The about dialog's window: the title, the credit and contact lines, the description and the
// command list, laid out as the form was; OK, Enter, Escape and the close box close it.
#include <FL/Fl_Window.H>

#include <exception>
#include <memory>
#include <string>

#include "dialogs/credits.h"
#include "dialogs/views.h"
#include "dialogs/views/widgets.h"
#include "platform/user/fltk/fltk_ui.h"
#include "product/product.h"

namespace pictoss {

namespace {

const FontSpec kTextFont{"Verdana", 8.25};
const FontSpec kDialogFont{"sans", 8.25};

// A help line: the command, a run of blanks that sets the description roughly in one column,
// the description.
std::string HelpLine(const char* command, int blanks, const char* description) {
  return std::string(command) + std::string(blanks, ' ') + description;
}

void AddLabels(const DialogScale& s) {
  const Fl_Color text = FL_FOREGROUND_COLOR;
  const auto left = FL_ALIGN_LEFT;
  const auto centre = FL_ALIGN_CENTER;
  new Label(s, {570, 60, 3990, 495}, product::kProductName.a, kTitleFont, kRed, FL_ALIGN_RIGHT);
  new Label(s, {2595, 480, 2535, 495}, kCreditLine, kCreditFont, kBlue, left);
  new Label(s, {-885, 960, 7935, 255}, kEmailLine, kTextFont, text, centre);
  new Label(s, {-885, 1200, 7815, 255}, kMessengerLine, kTextFont, text, centre);
  new Label(s, {300, 1500, 5700, 615},
            "Pictoss lets you quickly and easily send a screenshot of your screen to your "
            "contacts, saving you lots of time.",
            kTextFont, text, centre | FL_ALIGN_WRAP);
  new Label(s, {120, 2280, 4815, 255}, "The Commands are:", kTextFont, text, left);
  new Label(s, {120, 2640, 7575, 375},
            HelpLine("/xptfull <time delay>", 26, "Captures the full screen"), kTextFont, text,
            left);
  new Label(s, {120, 2880, 7935, 375},
            HelpLine("/xptactive <time delay>", 22, "Captures the active window"), kTextFont, text,
            left);
  new Label(s, {105, 3150, 7575, 255}, HelpLine("/xptoptions", 41, "Shows the options screen"),
            kTextFont, text, left);
  new Label(s, {90, 3390, 7575, 375}, HelpLine("/xptabout", 43, "Shows this about screen"),
            kTextFont, text, left);
  new Label(s, {105, 3810, 6105, 480},
            "If you want to set more options, such as filename or filetype, then use the "
            "options screen.",
            kTextFont, text, centre | FL_ALIGN_WRAP);
}

void OnClose(Fl_Widget* widget, void*) {
  Fl_Window* window = widget->as_window() ? widget->as_window() : widget->window();
  window->hide();
}

// Shows the about window until it is closed; false when the display went away first.
bool ShowAboutWindow() {
  DialogScale scale;
  PixelRect client = scale.Rect({0, 0, 6330, 4890});
  auto window = std::make_unique<Fl_Window>(client.width, client.height, "About Pictoss Saver");
  AddLabels(scale);
  auto* ok = new PushButton(scale, {2520, 4395, 1260, 345}, "&OK", kDialogFont);
  ok->SetDefault();
  ok->SetCancel();
  ok->callback(OnClose);
  window->end();
  window->callback(OnClose);
  return platform::fltk::ShowModal(*window);
}

}  // namespace
}  // namespace pictoss

extern "C" __attribute__((visibility("default"))) int PictossShowAboutView(std::string* error) {
  try {
    if (!platform::fltk::OpenDisplay()) return pictoss::kViewNoDisplay;
    return pictoss::ShowAboutWindow() ? pictoss::kViewClosed : pictoss::kViewLost;
  } catch (const std::exception& e) {
    *error = e.what();
  } catch (...) {
    *error = "unknown failure";
  }
  return pictoss::kViewFailed;
}
