// The command handler of PT: recognises the command words, runs the capture-and-send pipeline
// for "/xptfull" and "/xptactive", and opens the two dialogs.
//
// A capture command keeps its own path, delay and reply in locals and copies each into the
// object's field as it goes, so the fields show the last command's values while a command that
// the host sends during the wait (the wait dispatches messages, and the host may call in again)
// can neither change the waiting command nor be changed by it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cwctype>

#include "capture/screen_capture.h"
#include "dialogs/dialogs.h"
#include "imaging/dib_section.h"
#include "imaging/jpeg_writer.h"
#include "platform/base/locale.h"
#include "platform/base/text.h"
#include "platform/kernel/temppath.h"
#include "platform/runtime/datetime.h"
#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"
#include "platform/user/messageloop.h"
#include "plugin/parse_command.h"
#include "plugin/pt.h"
#include "product/product.h"
#include "settings/file_name.h"
#include "settings/key_path.h"

namespace pictoss {

namespace {

constexpr std::u16string_view kPlaceholder = u"<optional time delay>";
constexpr char16_t kPathSeparator = u'/';
constexpr LONG kJpegQuality = 90;
// How long the wait blocks when nothing is pending: short enough that the capture follows the
// second's tick closely, long enough that the waiting thread costs next to nothing.
constexpr std::chrono::milliseconds kIdleWait{10};

enum class Command { kNone, kFull, kActive, kOptions, kAbout };

std::u16string LowerCase(std::u16string_view text) {
  std::u16string lower(text);
  // Beyond ASCII, the locale's case rules count.
  if (std::any_of(lower.begin(), lower.end(), [](char16_t c) { return c >= 0x80; }))
    platform::UseLocale();
  for (char16_t& c : lower) {
    if (c < 0xD800 || c > 0xDFFF) c = static_cast<char16_t>(std::towlower(c));
  }
  return lower;
}

// The whole word, lower-cased, against the four words in order; nothing is trimmed.
Command Recognise(std::u16string_view sCommand) {
  const std::u16string word = LowerCase(sCommand);
  if (word == u"/xptfull") return Command::kFull;
  if (word == u"/xptactive") return Command::kActive;
  if (word == u"/xptoptions") return Command::kOptions;
  if (word == u"/xptabout") return Command::kAbout;
  return Command::kNone;
}

std::u16string ReadSetting(std::u16string_view sValueName) {
  return ReadKeyValue(product::kSettingsKeyPath.wide(), sValueName).value_or(std::u16string());
}

// The date as a count of whole seconds in the order of time, so that two readings of the same
// second compare equal whatever rounding the day fractions carry. Before 1899-12-30 the day count
// is negative while its fraction still counts forward from midnight.
long long WholeSeconds(platform::Date date) {
  const double day = std::trunc(date);
  return static_cast<long long>(day) * 86400 + std::llround(std::fabs(date - day) * 86400.0);
}

// The delay less one second after the start, on the whole-second clock. Raises 13 for a delay
// that is not a number, 6 when the rounded count of seconds does not fit 32 bits, 5 when the
// target lies outside the date range.
platform::Date ComputeTarget(const std::u16string& sTimeDelay, platform::Date start) {
  double seconds = platform::TextToDouble(sTimeDelay, kPTSource) - 1;
  std::int32_t whole = platform::RoundToInt32(seconds, kPTSource);
  return platform::DateAddSeconds(start, whole, kPTSource);
}

// Waits until the wall clock's whole-second reading has passed the target, that is until the
// tick of the second after it. The wall clock is read once, at the start, to place that tick;
// the time up to it is measured on the monotonic clock, so that a daylight-saving change or a
// clock set by hand during the wait neither stretches it by an hour nor cuts it short. Tests
// the clock before the first dispatch; every round dispatches all pending messages and, when
// there were none, blocks in the message wait for a few milliseconds instead of spinning.
// The host quitting ends the wait at once and the command with it, before anything is captured
// or written: raises kUserInterrupt.
void WaitUntilPast(platform::Date target, const platform::ClockReading& start) {
  const double wait =
      static_cast<double>(WholeSeconds(target) + 1 - WholeSeconds(start.now)) - start.fraction;
  for (;;) {
    if (platform::PeekQuitMessage(false)) {
      throw platform::RuntimeError(platform::kUserInterrupt, std::u16string(kPTSource),
                                   u"The capture was cancelled: the program is quitting");
    }
    if (platform::MonotonicSeconds() - start.monotonic >= wait) return;
    if (!platform::DoEvents()) platform::WaitMessage(kIdleWait);
  }
}

// Steps 6, 8 and 9 in one pass over the screen: the screen is read into oDib and encoded on
// the way, the file is written as the encoded bands come, and the picture in the holder takes on
// oDib's pixels. The end is the same as the
// steps' one by one: the holder keeps the picture, oDib holds its pixels (also when the file
// cannot be written, whose error rises as WriteJpegFile's), and the file holds the JPEG.
// False when the one pass cannot be made.
//
// When oDib already has the picture's size (every capture after the first in a running host),
// the read fills its DIB section in place instead of making a new one: the read writes every
// pixel, so a new one would only be zeroed (and its pages faulted in) to be overwritten. The
// holder lets go of the last picture first, so that its bitmap, which shares those pixels, need
// not be given a copy of them; a failed capture then leaves the holder empty rather than with
// the last picture.
bool CaptureInOnePass(const ScreenGrab& screen, cDIBSection& dib, const std::u16string& sFilePath) {
  const GrabTarget& grab = screen.target();
  JpegRecord record;
  if (record.status() != IJL_OK || grab.lWidth <= 0 || grab.lHeight <= 0) return false;
  record.props.jquality = kJpegQuality;
  record.props.JPGWidth = grab.lWidth;
  record.props.JPGHeight = grab.lHeight;
  if (dib.hDib() != 0 && dib.Width() == grab.lWidth && dib.Height() == grab.lHeight) {
    main().Picture1.SetPicture(nullptr);
  } else if (!dib.Create(grab.lWidth, grab.lHeight)) {
    return false;
  }
  JpegFileStream file(record, sFilePath);  // written as the bands are done
  platform::Ref<Picture> picture = screen.GrabEncoded(dib.hdc(), record.props);
  if (!picture) return false;
  main().Picture1.SetPicture(picture);
  file.Store();
  return true;
}

// The temporary folder with its separator; raises 75 with the reason when there is none that
// is safe to write into.
std::u16string TempFolder(PT& pt) {
  std::u16string folder = pt.GetTempDir().bstrVal();
  if (folder.empty()) {
    throw platform::RuntimeError(platform::kPathFileAccessError, std::u16string(kPTSource),
                                 platform::FromAnsi(platform::TempPathFault()));
  }
  // Its name would forge lines wherever the path is shown.
  if (HasControlCharacter(folder)) {
    throw platform::RuntimeError(platform::kPathFileAccessError, std::u16string(kPTSource),
                                 u"The temporary folder \"" + ShownOnOneLine(folder) +
                                     u"\" has a control character in its name: set TMPDIR to a "
                                     u"folder whose name has none");
  }
  if (folder.back() != kPathSeparator) folder += kPathSeparator;
  return folder;
}

bool Capture(PT& pt, bool fullScreen, const std::u16string& sCommandArg, std::u16string& sResult) {
  std::u16string sTimeDelay = ReadSetting(product::kTimeDelayValue.wide());
  pt.sTimeDelay = sTimeDelay;
  const std::u16string sFileName = ReadSetting(product::kFileNameValue.wide());
  pt.sFileName = sFileName;
  const std::u16string folder = TempFolder(pt);
  pt.sFilePath = folder;
  // The name must not lead out of the temporary folder (or name the folder itself).
  if (!IsPlainFileName(sFileName)) {
    throw platform::RuntimeError(platform::kBadFileName, std::u16string(kPTSource),
                                 NotPlainFileNameText(sFileName));
  }

  if (sCommandArg != kPlaceholder && pt.isNumber(sCommandArg) != 0) {
    sTimeDelay = sCommandArg;
    pt.sTimeDelay = sTimeDelay;
  }

  const platform::ClockReading start = platform::ReadClocks();
  const platform::Date target = ComputeTarget(sTimeDelay, start.now);
  pt.dTargetTime = target;
  WaitUntilPast(target, start);

  const ScreenGrab grab(fullScreen);
  const std::u16string sFilePath = folder + sFileName;
  pt.sFilePath = sFilePath;
  if (!pt.oDib) pt.oDib = platform::MakeRef<cDIBSection>();
  // Held here as well, so that it does not go away while this command uses it.
  platform::Ref<cDIBSection> dib = pt.oDib;
  if (!CaptureInOnePass(grab, *dib, sFilePath)) {
    HolderForm& holder = main();
    holder.Picture1.SetPicture(grab.Grab());
    platform::Ref<Picture> picture = holder.Picture1.Picture();
    dib->CreateFromPicture(picture.get());
    WriteJpegFile(*dib, sFilePath, kJpegQuality);
  }

  const std::u16string sReply = std::u16string(product::kDropFile.wide()) + sFilePath;
  pt.sReply = sReply;
  sResult = sReply;
  return true;
}

}  // namespace

bool HandleCommand(PT& pt, const std::u16string& sCommand, const std::u16string& sCommandArg,
                   const platform::Ref<platform::Object>&, std::u16string& sResult) {
  switch (Recognise(sCommand)) {
    case Command::kFull:
      return Capture(pt, true, sCommandArg, sResult);
    case Command::kActive:
      return Capture(pt, false, sCommandArg, sResult);
    case Command::kOptions:
      ShowOptionsDialog();
      sResult.clear();
      return true;
    case Command::kAbout:
      ShowAboutDialog();
      sResult.clear();
      return true;
    case Command::kNone:
      break;
  }
  return false;
}

bool PT::ParseCommand(std::u16string sCommand, std::u16string sCommandArg,
                      platform::Ref<platform::Object> oConversationWnd, std::u16string& sResult) {
  return HandleCommand(*this, sCommand, sCommandArg, oConversationWnd, sResult);
}

}  // namespace pictoss
