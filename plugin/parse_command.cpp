// Command handling. No command is recognised yet: every command is left to the host.
#include "plugin/pt.h"

namespace pictoss {

bool HandleCommand(PT&, const std::u16string&, const std::u16string&,
                   const platform::Ref<platform::Object>&, std::u16string&) {
  return false;
}

}  // namespace pictoss
