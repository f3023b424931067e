// The product's own constants, one home for what the plug-in, its dialogs and the hosts share:
// the ProgID the hosts create, the error source of the plug-in's modules, the settings key with
// its values and their defaults, the reply that makes a host send a file, and the version (from
// the build, see version.h.in). Each text is ASCII and comes both as UTF-8 (narrow()) and as the
// automation's UTF-16 (wide()). No state; any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "product/version.h"

namespace product {

// An ASCII text kept in both encodings, made at compile time.
template <std::size_t N>
struct AsciiText {
  char a[N] = {};
  char16_t w[N] = {};
  consteval AsciiText(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
      if (static_cast<unsigned char>(text[i]) > 0x7F) throw "AsciiText holds ASCII only";
      a[i] = text[i];
      w[i] = static_cast<char16_t>(text[i]);
    }
  }
  constexpr std::string_view narrow() const { return {a, N - 1}; }
  constexpr std::u16string_view wide() const { return {w, N - 1}; }
};

// The plug-in's one creatable class, as the hosts create it.
inline constexpr AsciiText kProgId = "Vorlick.PT";
// Where an error in one of the plug-in's modules (not a class) arises; a class's errors arise in
// "Vorlick.<class>".
inline constexpr AsciiText kModuleSource = "Vorlick";

// The settings key, below HKEY_LOCAL_MACHINE, and its values with the defaults that setting up
// writes and the options dialog's Defaults button shows (the file name there without ".jpg").
inline constexpr AsciiText kSettingsRoot = "HKEY_LOCAL_MACHINE";
inline constexpr AsciiText kSettingsSubKey = "Software\\Brindlemoor\\Pictoss";
inline constexpr AsciiText kSettingsKeyPath = "HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Pictoss";
inline constexpr AsciiText kTimeDelayValue = "TimeDelay";
inline constexpr AsciiText kFileNameValue = "FileName";
inline constexpr AsciiText kDefaultTimeDelay = "0";
inline constexpr AsciiText kDefaultFileStem = "My_Screenshot";
inline constexpr AsciiText kJpegSuffix = ".jpg";

// The reply that makes a host send a file: this prefix, then the file's path.
inline constexpr AsciiText kDropFile = "/dropfile ";

// The words (without their slash) of the commands that answer with a file to send: a host whose
// conversation cannot take a file refuses them before the call, so that nothing is captured in
// vain.
inline constexpr AsciiText kFullScreenWord = "xptfull";
inline constexpr AsciiText kActiveWindowWord = "xptactive";

// The product's name with its major version, as the plug-in publishes it ("Pictoss 2").
inline constexpr AsciiText kProductName = "Pictoss " PICTOSS_VERSION_MAJOR_TEXT;

}  // namespace product
