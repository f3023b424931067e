// The controls of the dialog views, on FLTK: labels that draw their text as it stands (runs of
// blanks, '@' and '&' included) with a face, colour, alignment and optional underline; push
// buttons that can be the default (Enter) or cancel (Escape) button and answer their access
// key. FLTK's widget tree owns them once they are added to a window. UI thread only.
#pragma once

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Window.H>

#include <string>
#include <string_view>

#include "dialogs/layout.h"

namespace pictoss {

struct FontSpec {
  const char* face;  // a fontconfig family; a missing one falls back to fontconfig's choice
  double points;
  bool bold = false;
  bool underline = false;
};

// Opens the display for a dialog of the given form ("options", "about"); without one raises
// kNoDisplayError from "Vorlick.<form>" before anything is read or shown.
void RequireDialogDisplay(std::u16string_view form);

// Shows the dialog's window modally until it is closed; raises kNoDisplayError from
// "Vorlick.<form>" when the display's server goes away first.
void ShowDialog(Fl_Window& window, std::u16string_view form);

// The FLTK font number of the face in the given weight, registered on first use.
Fl_Font DialogFont(const char* face, bool bold);

// Converts a layout rectangle and a font for the screen in use.
class DialogScale {
 public:
  DialogScale();
  PixelRect Rect(const TwipsRect& twips) const;
  int FontSize(double points) const;

 private:
  double twipsPerPixelX_;
  double twipsPerPixelY_;
};

class Label : public Fl_Box {
 public:
  // align: FL_ALIGN_LEFT, FL_ALIGN_RIGHT or FL_ALIGN_CENTER, optionally with FL_ALIGN_WRAP.
  Label(const DialogScale& scale, const TwipsRect& where, std::string text, const FontSpec& font,
        Fl_Color colour, Fl_Align align);
  void draw() override;

 private:
  std::string text_;
  Fl_Font font_;
  int size_;
  bool underline_;
  Fl_Color colour_;
  Fl_Align align_;
};

class TextBox : public Fl_Input {
 public:
  TextBox(const DialogScale& scale, const TwipsRect& where, const FontSpec& font);
};

class PushButton : public Fl_Button {
 public:
  // The label marks its access key with '&'.
  PushButton(const DialogScale& scale, const TwipsRect& where, const char* label,
             const FontSpec& font);
  void SetDefault() { default_ = true; }
  void SetCancel() { cancel_ = true; }
  int handle(int event) override;
  void draw() override;

 private:
  bool default_ = false;
  bool cancel_ = false;
};

}  // namespace pictoss
