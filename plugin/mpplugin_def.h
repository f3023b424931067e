// MPPluginDef: the chat host's own template of the plug-in interface, the eight methods that the
// host calls, each accepting its arguments and doing nothing. Kept as the reference of the
// contract that PT implements; it is neither registered nor created by the module.
// Threading: like PT, called on the thread that created it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ole/dispatch.h"

namespace pictoss {

class MPPluginDef : public platform::Dispatch {
 public:
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
};

}  // namespace pictoss
