#include "plugin/pt.h"

#include <atomic>
#include <vector>

#include "platform/base/text.h"
#include "platform/kernel/temppath.h"
#include "platform/runtime/numbers.h"
#include "product/product.h"

namespace pictoss {
namespace {

std::atomic<long> liveObjects{0};

// The published commands: index, name, command word (without the slash), help text (null
// where the entry leaves it as the caller passed it).
struct CommandEntry {
  std::int32_t index;
  const char16_t* name;
  const char16_t* value;
  const char16_t* help;
};
constexpr CommandEntry kCommands[] = {
    {1, u"Full Screen", product::kFullScreenWord.w, u"optional time delay"},
    {2, u"Active Window", product::kActiveWindowWord.w, u"optional time delay"},
    {3, u"Options", u"xptoptions", nullptr},
    {4, u"About", u"xptabout", nullptr},
};

constexpr DWORD kTempPathBuffer = 255;

}  // namespace

const platform::TypeLibDesc kVorlickTypeLib = {
    {0x360822CF, 0xBF03, 0x404D, {0x8F, 0xD4, 0xD7, 0xDB, 0x72, 0xAC, 0xE1, 0x83}},
    u"Vorlick",
    1,
    0,
    0x0409,
    u"Pictoss plugin for Messenger Plus!"};

long LiveObjects() {
  return liveObjects.load();
}

PT::PT() {
  ++liveObjects;
}
PT::~PT() {
  --liveObjects;
}

platform::Variant PT::GetTempDir() {
  std::vector<char> buffer(kTempPathBuffer, '\0');
  DWORD length = GetTempPathA(kTempPathBuffer, buffer.data());
  if (length == 0) return platform::Variant(u"");
  // A folder longer than the buffer: the call wrote nothing and gave the size it needs.
  if (length > kTempPathBuffer) {
    buffer.assign(length, '\0');
    length = GetTempPathA(length, buffer.data());
    if (length == 0 || length >= buffer.size()) return platform::Variant(u"");
  }
  return platform::Variant(platform::FromAnsi(std::string_view(buffer.data(), length)));
}

std::int16_t PT::isNumber(const std::u16string& str) {
  return platform::IsNumericText(str) ? 1 : 0;
}

bool PT::Initialize(std::int32_t, std::u16string, platform::Ref<platform::Object>) {
  return true;
}

platform::Variant PT::Uninitialize() {
  return platform::Variant();
}

bool PT::GetPublishInfo(std::u16string& sPluginName, std::int32_t& nCommandCount,
                        std::int32_t& nTagCount) {
  sPluginName = product::kProductName.wide();
  nCommandCount = static_cast<std::int32_t>(std::size(kCommands));
  nTagCount = 0;
  return true;
}

platform::Variant PT::GetPublishCommandInfo(std::int32_t nCommandIdx, std::u16string& sName,
                                            std::u16string& sValue, std::u16string& sHelp) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.index != nCommandIdx) continue;
    sName = entry.name;
    sValue = entry.value;
    if (entry.help) sHelp = entry.help;
  }
  return platform::Variant();
}

platform::Variant PT::GetPublishTagInfo(std::int32_t, std::u16string&, std::u16string&) {
  return platform::Variant();
}

bool PT::ParseTag(std::u16string, platform::Ref<platform::Object>, std::u16string&) {
  return false;
}

bool PT::ReceiveNotify(std::u16string, std::u16string, std::u16string,
                       platform::Ref<platform::Object>, std::u16string&) {
  return false;
}

const platform::ClassDesc& PT::GetTypeInfo() const {
  using platform::Method;
  static const platform::ClassDesc desc(
      std::u16string(kPTSource),
      {
          Method(u"GetTempDir", &PT::GetTempDir),
          Method(u"isNumber", &PT::isNumber, {platform::ByRef(u"str")}),
          Method(u"Initialize", &PT::Initialize, {u"nVersion", u"sUserEmail", u"oMessenger"}),
          Method(u"Uninitialize", &PT::Uninitialize),
          Method(u"GetPublishInfo", &PT::GetPublishInfo,
                 {u"sPluginName", u"nCommandCount", u"nTagCount"}),
          Method(u"GetPublishCommandInfo", &PT::GetPublishCommandInfo,
                 {u"nCommandIdx", u"sName", u"sValue", u"sHelp"}),
          Method(u"GetPublishTagInfo", &PT::GetPublishTagInfo, {u"nTagIdx", u"sName", u"sValue"}),
          Method(u"ParseCommand", &PT::ParseCommand,
                 {u"sCommand", u"sCommandArg", u"oConversationWnd", u"sResult"}),
          Method(u"ParseTag", &PT::ParseTag, {u"sTag", u"oConversationWnd", u"sResult"}),
          Method(u"ReceiveNotify", &PT::ReceiveNotify,
                 {u"sNotifyCode", u"sText", u"sContactName", u"oConversationWnd", u"sTextToSend"}),
      });
  return desc;
}

}  // namespace pictoss
