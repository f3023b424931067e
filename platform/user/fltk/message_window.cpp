// The message box window: the text, an icon for the MB_ICON* bits, and an OK button; Enter,
// Escape, OK and the close box close it.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <string>

#include "platform/user/fltk/fltk_ui.h"
#include "platform/user/messagebox.h"

namespace platform::fltk {
namespace {

constexpr int kMargin = 12;
constexpr int kIconSize = 40;
constexpr int kMaxTextWidth = 420;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 26;
constexpr Fl_Font kTextFont = FL_HELVETICA;
constexpr Fl_Fontsize kTextSize = 14;

// The message as it stands: '@' and '&' are not label markup here.
class MessageText : public Fl_Box {
 public:
  MessageText(int x, int y, int w, int h, std::string text)
      : Fl_Box(x, y, w, h), text_(std::move(text)) {}
  void draw() override {
    fl_font(kTextFont, kTextSize);
    fl_color(FL_FOREGROUND_COLOR);
    fl_draw(text_.c_str(), x(), y(), w(), h(),
            FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP, nullptr, 0);
  }

 private:
  std::string text_;
};

// The icon of the MB_ICON* bits: nullptr for none.
const char* IconGlyph(unsigned type, Fl_Color& colour) {
  switch (type & 0xF0) {
    case MB_ICONERROR:
      colour = FL_RED;
      return "X";
    case MB_ICONWARNING:
      colour = FL_DARK_YELLOW;
      return "!";
    case MB_ICONINFORMATION:
      colour = FL_BLUE;
      return "i";
    default:
      return nullptr;
  }
}

}  // namespace

void ShowMessageWindow(const char* textUtf8, const char* titleUtf8, unsigned type) {
  const std::string text = textUtf8, title = titleUtf8;
  int textW = 0, textH = 0;
  fl_font(kTextFont, kTextSize);
  fl_measure(text.c_str(), textW, textH, 0);
  if (textW > kMaxTextWidth) {
    textW = kMaxTextWidth;
    fl_measure(text.c_str(), textW, textH, 0);
  }
  Fl_Color iconColour = FL_FOREGROUND_COLOR;
  const char* glyph = IconGlyph(type, iconColour);
  const int textX = glyph ? 2 * kMargin + kIconSize : kMargin;
  const int bodyH = std::max(textH, glyph ? kIconSize : 0);
  const int winW = std::max(textX + textW + kMargin, kButtonWidth + 2 * kMargin);
  const int winH = kMargin + bodyH + kMargin + kButtonHeight + kMargin;

  Fl_Window window(winW, winH);
  window.copy_label(title.c_str());
  if (glyph) {
    auto* icon = new Fl_Box(FL_OVAL_BOX, kMargin, kMargin, kIconSize, kIconSize, glyph);
    icon->color(iconColour);
    icon->labelcolor(FL_WHITE);
    icon->labelfont(FL_HELVETICA_BOLD);
    icon->labelsize(24);
  }
  new MessageText(textX, kMargin + (bodyH - textH) / 2, textW, textH, text);
  auto* ok = new Fl_Button((winW - kButtonWidth) / 2, winH - kMargin - kButtonHeight, kButtonWidth,
                           kButtonHeight, "OK");
  ok->shortcut(FL_Enter);
  ok->callback([](Fl_Widget* button, void*) { button->window()->hide(); });
  window.end();
  // The window's own callback closes it on Escape and on its close box, as OK does. A server
  // that goes away takes the message with it: there is nobody left to show it to.
  ShowModal(window);
}

}  // namespace platform::fltk
