// MPPluginConst: the constants of the chat host's plug-in contract that the plug-in relies on.
// No code; nothing here is registered.
#pragma once

#include <cstdint>
#include <string_view>

#include "product/product.h"

namespace pictoss::MPPluginConst {

// The reply that makes the host send a file: this prefix, then the file's path.
inline constexpr std::u16string_view kDropFile = product::kDropFile.wide();

// Booleans as the host's interface passes them.
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

}  // namespace pictoss::MPPluginConst
