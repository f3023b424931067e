// Between the dialogs and their windows: the windows (dialogs/views/) live in the
// user-interface module with FLTK, which the platform loads on first use; the dialogs reach
// them through these two entry points and the options dialog's model below. Nothing raised
// crosses between the two: every call here returns normally. User-interface thread only.
#pragma once

#include <string>

namespace pictoss {

// What the options window shows and does: the texts of its two boxes, and its two buttons.
// The window copies the boxes into these fields before a click and out of them after it.
class OptionsViewModel {
 public:
  std::u16string time;      // the delay box
  std::u16string filename;  // the file-name box, without ".jpg"

  virtual void DefaultsClick() noexcept = 0;
  // True when the dialog may close.
  virtual bool SaveClick() noexcept = 0;
  // True when a click failed; the window then closes and the dialog raises the failure.
  virtual bool Failed() const noexcept = 0;

 protected:
  ~OptionsViewModel() = default;
};

// What a view entry returns; on kViewFailed, *error says what went wrong.
// kViewLost: the display's server went away while the window was open.
enum ViewResult : int { kViewClosed = 0, kViewNoDisplay = 1, kViewFailed = 2, kViewLost = 3 };

// int PictossShowAboutView(std::string* error): shows the about window until it is closed.
inline constexpr char kShowAboutView[] = "PictossShowAboutView";
using ShowAboutView = int (*)(std::string* error);

// int PictossShowOptionsView(OptionsViewModel*, std::string* error): shows the options window,
// filled from the model's boxes, until it is closed.
inline constexpr char kShowOptionsView[] = "PictossShowOptionsView";
using ShowOptionsView = int (*)(OptionsViewModel* model, std::string* error);

}  // namespace pictoss
