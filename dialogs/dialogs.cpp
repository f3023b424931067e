// The dialog commands: the form's work happens here, the windows are shown by the
// user-interface module (views.h), loaded on first use.
#include "dialogs/dialogs.h"

#include <exception>
#include <string>

#include "dialogs/options_form.h"
#include "dialogs/views.h"
#include "platform/base/text.h"
#include "platform/runtime/errors.h"
#include "platform/user/ui.h"

namespace pictoss {
namespace {

std::u16string Source(std::u16string_view form) {
  return u"Vorlick." + std::u16string(form);
}

// Raises "Error in loading DLL": the user-interface module cannot be had.
[[noreturn]] void RaiseNoModule(std::u16string_view form) {
  throw platform::RuntimeError(
      platform::kErrorInLoadingDll, Source(form),
      u"The " + std::u16string(form) + u" dialog cannot be shown: " + platform::UiModuleError());
}

// Opens the display for the dialog, loading the user-interface module; without a display
// raises kNoDisplayError before anything is read or shown (and without loading the module).
void RequireDialogDisplay(std::u16string_view form) {
  if (platform::OpenUiDisplay()) return;
  if (!platform::UiModuleError().empty()) RaiseNoModule(form);
  throw platform::RuntimeError(
      kNoDisplayError, Source(form),
      u"No display is available to show the " + std::u16string(form) + u" dialog on");
}

// The view entry of the module, once the display is open.
template <typename Entry>
Entry ViewEntry(const char* name, std::u16string_view form) {
  void* entry = platform::UiModuleEntry(name);
  if (!entry) RaiseNoModule(form);
  return reinterpret_cast<Entry>(entry);
}

void RaiseViewFailure(int result, const std::string& error, std::u16string_view form) {
  if (result == kViewNoDisplay) RequireDialogDisplay(form);
  if (result == kViewLost) {
    throw platform::RuntimeError(
        kNoDisplayError, Source(form),
        u"The display went away while the " + std::u16string(form) + u" dialog was open");
  }
  if (result == kViewFailed) {
    throw platform::RuntimeError(
        platform::kInternalError, Source(form),
        u"The " + std::u16string(form) + u" window failed: " + platform::FromAnsi(error));
  }
}

// The form behind the options window. A click that raises closes the window; the failure is
// raised again once the window is gone.
class OptionsModel final : public OptionsViewModel {
 public:
  explicit OptionsModel(OptionsForm& form) : form_(form) {
    time = form_.time;
    filename = form_.filename;
  }
  void DefaultsClick() noexcept override {
    Guard([this] { form_.DefaultsClick(); });
  }
  bool SaveClick() noexcept override {
    bool close = true;
    Guard([this, &close] { close = form_.SaveClick(); });
    return close || Failed();
  }
  bool Failed() const noexcept override { return failure_ != nullptr; }
  void RaiseFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  template <typename Click>
  void Guard(Click click) noexcept {
    try {
      form_.time = time;
      form_.filename = filename;
      click();
      time = form_.time;
      filename = form_.filename;
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  OptionsForm& form_;
  std::exception_ptr failure_;
};

}  // namespace

void ShowOptionsDialog() {
  RequireDialogDisplay(u"options");
  auto show = ViewEntry<ShowOptionsView>(kShowOptionsView, u"options");
  OptionsForm form;
  form.Load();
  OptionsModel model(form);
  std::string error;
  const int result = show(&model, &error);
  model.RaiseFailure();
  RaiseViewFailure(result, error, u"options");
}

void ShowAboutDialog() {
  RequireDialogDisplay(u"about");
  auto show = ViewEntry<ShowAboutView>(kShowAboutView, u"about");
  std::string error;
  RaiseViewFailure(show(&error), error, u"about");
}

}  // namespace pictoss
