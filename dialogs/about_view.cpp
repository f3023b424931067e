// The about dialog's window: the title, the credit and contact lines, the description and the
// command list, laid out as the form was; OK, Enter, Escape and the close box close it.
#include <FL/Fl_Window.H>

#include <memory>
#include <string>

#include "dialogs/credits.h"
#include "dialogs/dialogs.h"
#include "dialogs/widgets.h"
#include "platform/runtime/errors.h"
#include "platform/user/ui.h"
#include "product/product.h"

namespace pictoss {

namespace {

constexpr Fl_Color kRed = 0xFF000000;
constexpr Fl_Color kBlue = 0x0000FF00;
const FontSpec kTitleFont{"Kristen ITC", 18, true, true};
const FontSpec kCreditFont{"Verdana", 14.25, true};
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

}  // namespace

void ShowAboutDialog() {
  RequireDialogDisplay(u"about");
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
  ShowDialog(*window, u"about");
}

}  // namespace pictoss
