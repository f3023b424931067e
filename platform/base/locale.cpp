#include "platform/base/locale.h"

#include <atomic>
#include <clocale>
#include <mutex>

namespace platform {
namespace {

std::atomic<bool> wanted{false};
std::once_flag loaded;

}  // namespace

void SetUserLocaleOnFirstUse() {
  wanted = true;
}

void UseLocale() {
  if (!wanted) return;
  std::call_once(loaded, [] { std::setlocale(LC_ALL, ""); });
}

}  // namespace platform
