// The options dialog's window: builds the controls as the form was laid out and copies the
// boxes to and from the model, which does the work.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>

#include <exception>
#include <memory>
#include <string>

#include "dialogs/credits.h"
#include "dialogs/views.h"
#include "dialogs/views/widgets.h"
#include "platform/base/text.h"
#include "platform/user/fltk/fltk_ui.h"
#include "product/product.h"

namespace pictoss {

namespace {

const FontSpec kCaptionFont{"Verdana", 8.25, true};
const FontSpec kBoxFont{"Verdana", 8.25};

class OptionsView {
 public:
  explicit OptionsView(OptionsViewModel& form);
  Fl_Window& window() { return *window_; }

 private:
  void ToBoxes();
  void FromBoxes();
  static void OnClose(Fl_Widget* window, void*);
  static void OnSave(Fl_Widget*, void* view);
  static void OnDefaults(Fl_Widget*, void* view);

  OptionsViewModel& form_;
  DialogScale scale_;
  std::unique_ptr<Fl_Window> window_;
  TextBox* time_ = nullptr;
  TextBox* filename_ = nullptr;
};

OptionsView::OptionsView(OptionsViewModel& form) : form_(form) {
  PixelRect client = scale_.Rect({0, 0, 4695, 2730});
  window_ = std::make_unique<Fl_Window>(client.width, client.height, "Pictoss Options");
  new Label(scale_, {390, 45, 3990, 495}, product::kProductName.a, kTitleFont, kRed,
            FL_ALIGN_RIGHT);
  new Label(scale_, {2400, 465, 2535, 495}, kCreditLine, kCreditFont, kBlue, FL_ALIGN_LEFT);
  new Label(scale_, {0, 1200, 2055, 255}, "Default Time Delay:", kCaptionFont, kBlue,
            FL_ALIGN_RIGHT);
  new Label(scale_, {0, 1680, 2055, 255}, "Default Filename:", kCaptionFont, kBlue, FL_ALIGN_RIGHT);
  // Created in tab order: FLTK moves the focus in the order of the children.
  time_ = new TextBox(scale_, {2160, 1200, 615, 285}, kBoxFont);
  filename_ = new TextBox(scale_, {2160, 1680, 2295, 285}, kBoxFont);
  auto* save = new PushButton(scale_, {2535, 2235, 975, 375}, "&Save", kBoxFont);
  save->SetDefault();
  save->callback(OnSave, this);
  auto* defaults = new PushButton(scale_, {1095, 2235, 975, 375}, "&Defaults", kBoxFont);
  defaults->callback(OnDefaults, this);
  window_->end();
  window_->callback(OnClose);
  ToBoxes();
}

void OptionsView::ToBoxes() {
  time_->value(platform::ToAnsi(form_.time).c_str());
  filename_->value(platform::ToAnsi(form_.filename).c_str());
}

void OptionsView::FromBoxes() {
  form_.time = platform::FromAnsi(time_->value());
  form_.filename = platform::FromAnsi(filename_->value());
}

void OptionsView::OnClose(Fl_Widget* window, void*) {
  // Without a cancel button Escape does nothing; the close box closes without saving.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  window->hide();
}

void OptionsView::OnSave(Fl_Widget*, void* data) {
  auto* view = static_cast<OptionsView*>(data);
  view->FromBoxes();
  if (view->form_.SaveClick()) view->window_->hide();
}

void OptionsView::OnDefaults(Fl_Widget*, void* data) {
  auto* view = static_cast<OptionsView*>(data);
  view->FromBoxes();
  view->form_.DefaultsClick();
  if (view->form_.Failed()) {
    view->window_->hide();
    return;
  }
  view->ToBoxes();
}

}  // namespace

}  // namespace pictoss

extern "C" __attribute__((visibility("default"))) int PictossShowOptionsView(
    pictoss::OptionsViewModel* model, std::string* error) {
  try {
    if (!platform::fltk::OpenDisplay()) return pictoss::kViewNoDisplay;
    pictoss::OptionsView view(*model);
    return platform::fltk::ShowModal(view.window()) ? pictoss::kViewClosed : pictoss::kViewLost;
  } catch (const std::exception& e) {
    *error = e.what();
  } catch (...) {
    *error = "unknown failure";
  }
  return pictoss::kViewFailed;
}
