// PT, the plug-in's one creatable class (ProgID "Vorlick.PT"): the object that the chat host
// creates and calls late-bound by method name. It owns its fields, among them oDib, which it
// releases when its last reference goes. Threading: apartment; every call comes on the thread
// that created it (the host's user-interface thread), and nothing is locked.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/dib_section.h"
#include "platform/ole/com.h"
#include "platform/ole/dispatch.h"
#include "platform/ole/object.h"
#include "platform/runtime/datetime.h"
#include "product/product.h"

namespace pictoss {

// The type library "Vorlick" 1.0 and the identities of the class, fixed once for the product.
extern const platform::TypeLibDesc kVorlickTypeLib;
constexpr CLSID CLSID_PT = {
    0xFFFB2456, 0x8ACC, 0x4047, {0xAB, 0x4D, 0x23, 0x5F, 0xC5, 0x8E, 0xFF, 0x56}};
constexpr IID IID__PT = {
    0xBFEDAF79, 0x0BC7, 0x4FCA, {0xBB, 0x05, 0x8B, 0xF1, 0x97, 0x63, 0x1D, 0xF4}};
// Where PT's errors arise: the class's ProgID.
inline constexpr std::u16string_view kPTSource = product::kProgId.wide();

class PT : public platform::Dispatch {
 public:
  PT();
  ~PT() override;

  // The ten methods of _PT, in slot order.
  platform::Variant GetTempDir();
  std::int16_t isNumber(const std::u16string& str);
  bool Initialize(std::int32_t nVersion, std::u16string sUserEmail,
                  platform::Ref<platform::Object> oMessenger);
  platform::Variant Uninitialize();
  bool GetPublishInfo(std::u16string& sPluginName, std::int32_t& nCommandCount,
                      std::int32_t& nTagCount);
  platform::Variant GetPublishCommandInfo(std::int32_t nCommandIdx, std::u16string& sName,
                                          std::u16string& sValue, std::u16string& sHelp);
  platform::Variant GetPublishTagInfo(std::int32_t nTagIdx, std::u16string& sName,
                                      std::u16string& sValue);
  bool ParseCommand(std::u16string sCommand, std::u16string sCommandArg,
                    platform::Ref<platform::Object> oConversationWnd, std::u16string& sResult);
  bool ParseTag(std::u16string sTag, platform::Ref<platform::Object> oConversationWnd,
                std::u16string& sResult);
  bool ReceiveNotify(std::u16string sNotifyCode, std::u16string sText, std::u16string sContactName,
                     platform::Ref<platform::Object> oConversationWnd, std::u16string& sTextToSend);

  const platform::ClassDesc& GetTypeInfo() const override;

  // Fields, kept between calls; the capture commands overwrite them.
  std::u16string sFilePath;
  std::u16string sTimeDelay;
  std::u16string sFileName;
  std::u16string sReply;
  platform::Date dTargetTime = 0;
  platform::Ref<cDIBSection> oDib;
};

// The work of ParseCommand: recognises the command word and runs it. Returns whether the
// command was the plug-in's; sResult is then the reply for the host.
bool HandleCommand(PT& pt, const std::u16string& sCommand, const std::u16string& sCommandArg,
                   const platform::Ref<platform::Object>& oConversationWnd,
                   std::u16string& sResult);

// The number of PT objects alive in the module (for DllCanUnloadNow).
long LiveObjects();

}  // namespace pictoss
