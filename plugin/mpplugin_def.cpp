#include "plugin/mpplugin_def.h"

namespace pictoss {

bool MPPluginDef::Initialize(std::int32_t, std::u16string, platform::Ref<platform::Object>) {
  return false;
}

platform::Variant MPPluginDef::Uninitialize() {
  return platform::Variant();
}

bool MPPluginDef::GetPublishInfo(std::u16string&, std::int32_t&, std::int32_t&) {
  return false;
}

platform::Variant MPPluginDef::GetPublishCommandInfo(std::int32_t, std::u16string&, std::u16string&,
                                                     std::u16string&) {
  return platform::Variant();
}

platform::Variant MPPluginDef::GetPublishTagInfo(std::int32_t, std::u16string&, std::u16string&) {
  return platform::Variant();
}

bool MPPluginDef::ParseCommand(std::u16string, std::u16string, platform::Ref<platform::Object>,
                               std::u16string&) {
  return false;
}

bool MPPluginDef::ParseTag(std::u16string, platform::Ref<platform::Object>, std::u16string&) {
  return false;
}

bool MPPluginDef::ReceiveNotify(std::u16string, std::u16string, std::u16string,
                                platform::Ref<platform::Object>, std::u16string&) {
  return false;
}

const platform::ClassDesc& MPPluginDef::GetTypeInfo() const {
  using platform::Method;
  static const platform::ClassDesc desc(
      u"Vorlick.MPPluginDef",
      {
          Method(u"Initialize", &MPPluginDef::Initialize,
                 {u"nVersion", u"sUserEmail", u"oMessenger"}),
          Method(u"Uninitialize", &MPPluginDef::Uninitialize),
          Method(u"GetPublishInfo", &MPPluginDef::GetPublishInfo,
                 {u"sPluginName", u"nCommandCount", u"nTagCount"}),
          Method(u"GetPublishCommandInfo", &MPPluginDef::GetPublishCommandInfo,
                 {u"nCommandIdx", u"sName", u"sValue", u"sHelp"}),
          Method(u"GetPublishTagInfo", &MPPluginDef::GetPublishTagInfo,
                 {u"nTagIdx", u"sName", u"sValue"}),
          Method(u"ParseCommand", &MPPluginDef::ParseCommand,
                 {u"sCommand", u"sCommandArg", u"oConversationWnd", u"sResult"}),
          Method(u"ParseTag", &MPPluginDef::ParseTag, {u"sTag", u"oConversationWnd", u"sResult"}),
          Method(u"ReceiveNotify", &MPPluginDef::ReceiveNotify,
                 {u"sNotifyCode", u"sText", u"sContactName", u"oConversationWnd", u"sTextToSend"}),
      });
  return desc;
}

}  // namespace pictoss
