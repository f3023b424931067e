// The author credit and the contact lines that both dialogs show.
#pragma once

namespace pictoss {

inline constexpr const char* kCreditLine = "by Vorlick";
inline constexpr const char* kEmailLine = "E-mail: vorlick@brindlemoor.example";
inline constexpr const char* kMessengerLine = "Messenger: vorlick@brindlemoor.example";

}  // namespace pictoss
