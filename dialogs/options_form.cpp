#include "dialogs/options_form.h"

#include "platform/registry/registry.h"
#include "platform/user/messagebox.h"
#include "product/product.h"
#include "settings/file_name.h"
#include "settings/key_path.h"

namespace pictoss {

namespace {

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// The length in UTF-16 units of the character that starts at pos.
size_t CharLength(std::u16string_view text, size_t pos) {
  if (pos + 1 < text.size() && IsHighSurrogate(text[pos]) && IsLowSurrogate(text[pos + 1])) {
    return 2;
  }
  return 1;
}

constexpr std::u16string_view kSettingsKeyPath = product::kSettingsKeyPath.wide();
constexpr std::u16string_view kJpegSuffix = product::kJpegSuffix.wide();

std::u16string SaveFailureText(LONG status) {
  std::u16string text = u"The settings could not be saved under ";
  text += kSettingsKeyPath;
  text += u".";
  if (status == ERROR_FILE_NOT_FOUND) {
    text += u"\n\nThe key does not exist.";
  } else if (status == ERROR_ACCESS_DENIED) {
    text += u"\n\nAccess to the key was denied.";
  }
  return text;
}

}  // namespace

std::u16string ReverseString(std::u16string_view InputString) {
  std::u16string reversed(InputString.size(), u'\0');
  size_t out = InputString.size();
  for (size_t pos = 0; pos < InputString.size();) {
    size_t length = CharLength(InputString, pos);
    out -= length;
    InputString.copy(reversed.data() + out, length, pos);
    pos += length;
  }
  return reversed;
}

std::u16string DelFromLeft(std::u16string_view sChars, std::u16string_view sLine) {
  if (sLine.find(sChars) == std::u16string_view::npos) return std::u16string(sLine);
  std::u16string_view rest = sLine;
  for (size_t pos = 0; pos < sChars.size();) {
    std::u16string_view character = sChars.substr(pos, CharLength(sChars, pos));
    pos += character.size();
    size_t found = rest.find(character);
    if (found != std::u16string_view::npos) rest.remove_prefix(found + character.size());
  }
  return std::u16string(rest);
}

std::u16string DelFromRight(std::u16string_view sChars, std::u16string_view sLine) {
  return ReverseString(DelFromLeft(ReverseString(sChars), ReverseString(sLine)));
}

void OptionsForm::Load() {
  time = ReadKeyValue(kSettingsKeyPath, product::kTimeDelayValue.wide()).value_or(u"");
  filename = ReadKeyValue(kSettingsKeyPath, product::kFileNameValue.wide()).value_or(u"");
  filename = DelFromRight(kJpegSuffix, filename);
}

void OptionsForm::DefaultsClick() {
  time = product::kDefaultTimeDelay.wide();
  filename = product::kDefaultFileStem.wide();
}

bool OptionsForm::SaveClick() {
  const std::u16string sFileName = filename + std::u16string(kJpegSuffix);
  if (!IsPlainFileName(sFileName)) {
    MessageBoxW(0, NotPlainFileNameText(sFileName), u"Pictoss", MB_OK | MB_ICONERROR);
    return false;
  }
  // "Timedelay" is the name this button has always written; value names match without regard
  // to case, so it is the "TimeDelay" that is read.
  LONG status = WriteKeyValueWithStatus(kSettingsKeyPath, u"Timedelay", time);
  if (status == ERROR_SUCCESS) {
    status = WriteKeyValueWithStatus(kSettingsKeyPath, product::kFileNameValue.wide(), sFileName);
  }
  if (status == ERROR_SUCCESS) return true;
  MessageBoxW(0, SaveFailureText(status), u"Pictoss", MB_OK | MB_ICONERROR);
  return false;
}

}  // namespace pictoss
