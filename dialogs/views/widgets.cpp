#include "dialogs/views/widgets.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <string>
#include <utility>

#include "platform/user/fltk/fltk_ui.h"

namespace pictoss {

Fl_Font DialogFont(const char* face, bool bold) {
  // FLTK names an Xft font by its family, prefixed by ' ' for regular or 'B' for bold.
  return platform::fltk::Font((bold ? "B" : " ") + std::string(face));
}

DialogScale::DialogScale()
    : twipsPerPixelX_(DialogTwipsPerPixelX()), twipsPerPixelY_(DialogTwipsPerPixelY()) {}

PixelRect DialogScale::Rect(const TwipsRect& twips) const {
  return TwipsToPixels(twips, twipsPerPixelX_, twipsPerPixelY_);
}

int DialogScale::FontSize(double points) const {
  return PointsToPixels(points, twipsPerPixelY_);
}

namespace {

// Widgets are made at their pixel rectangle.
PixelRect At(const DialogScale& scale, const TwipsRect& where) {
  return scale.Rect(where);
}

}  // namespace

Label::Label(const DialogScale& scale, const TwipsRect& where, std::string text,
             const FontSpec& font, Fl_Color colour, Fl_Align align)
    : Fl_Box(At(scale, where).x, At(scale, where).y, At(scale, where).width,
             At(scale, where).height),
      text_(std::move(text)),
      font_(DialogFont(font.face, font.bold)),
      size_(scale.FontSize(font.points)),
      underline_(font.underline),
      colour_(colour),
      align_(align) {
  box(FL_NO_BOX);
}

void Label::draw() {
  fl_push_clip(x(), y(), w(), h());
  fl_font(font_, size_);
  fl_color(colour_);
  // Labels put their text at the top of their rectangle; '@' and '&' are plain characters.
  fl_draw(text_.c_str(), x(), y(), w(), h(), align_ | FL_ALIGN_TOP | FL_ALIGN_INSIDE, nullptr, 0);
  if (underline_) {
    int width = static_cast<int>(fl_width(text_.c_str()) + 0.5);
    int left = x();
    if (align_ & FL_ALIGN_RIGHT) {
      left = x() + w() - width;
    } else if (!(align_ & FL_ALIGN_LEFT)) {
      left = x() + (w() - width) / 2;
    }
    int baseline = y() + fl_height() - fl_descent();
    int thickness = size_ / 14 + 1;
    fl_rectf(left, baseline + 1 + thickness / 2, width, thickness);
  }
  fl_pop_clip();
}

TextBox::TextBox(const DialogScale& scale, const TwipsRect& where, const FontSpec& font)
    : Fl_Input(At(scale, where).x, At(scale, where).y, At(scale, where).width,
               At(scale, where).height) {
  textfont(DialogFont(font.face, font.bold));
  textsize(scale.FontSize(font.points));
}

PushButton::PushButton(const DialogScale& scale, const TwipsRect& where, const char* label,
                       const FontSpec& font)
    : Fl_Button(At(scale, where).x, At(scale, where).y, At(scale, where).width,
                At(scale, where).height, label) {
  labelfont(DialogFont(font.face, font.bold));
  labelsize(scale.FontSize(font.points));
}

int PushButton::handle(int event) {
  const int key = Fl::event_key();
  const bool plain = !(Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META));
  const bool enter = plain && (key == FL_Enter || key == FL_KP_Enter);
  // Enter clicks the button that has the focus, as space does.
  if (event == FL_KEYBOARD && Fl::focus() == this && enter) {
    do_callback();
    return 1;
  }
  if (event == FL_SHORTCUT) {
    if ((default_ && enter) || (cancel_ && plain && key == FL_Escape) || test_shortcut()) {
      if (visible_focus()) take_focus();
      do_callback();
      return 1;
    }
    return 0;
  }
  return Fl_Button::handle(event);
}

void PushButton::draw() {
  Fl_Button::draw();
  // The default button wears a dark frame.
  if (default_) {
    fl_color(FL_FOREGROUND_COLOR);
    fl_rect(x(), y(), w(), h());
  }
}

}  // namespace pictoss
