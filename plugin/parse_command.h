// The command handler of PT (ParseCommand's work), declared for its tests. One-way: it uses the
// PT object's fields and methods; pt.cpp knows nothing of it.
#pragma once

#include <string>

#include "platform/ole/object.h"
#include "plugin/pt.h"

namespace pictoss {

// Recognises the command word and runs it. Returns whether the command was the plug-in's;
// sResult is then the reply for the host.
bool HandleCommand(PT& pt, const std::u16string& sCommand, const std::u16string& sCommandArg,
                   const platform::Ref<platform::Object>& oConversationWnd,
                   std::u16string& sResult);

}  // namespace pictoss
