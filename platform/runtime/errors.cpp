#include "platform/runtime/errors.h"

#include "platform/base/text.h"

namespace platform {

RuntimeError::RuntimeError(std::int32_t number, std::u16string source, std::u16string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  what_ = std::to_string(number_) + " (" + ToAnsi(source_) + "): " + ToAnsi(description_);
}

std::u16string StandardErrorText(std::int32_t number) {
  switch (number) {
    case kInvalidProcedureCall:
      return u"Invalid procedure call or argument";
    case kOverflow:
      return u"Overflow";
    case kOutOfMemory:
      return u"Out of memory";
    case kSubscriptOutOfRange:
      return u"Subscript out of range";
    case kDivisionByZero:
      return u"Division by zero";
    case kUserInterrupt:
      return u"User interrupt occurred";
    case kTypeMismatch:
      return u"Type mismatch";
    case kErrorInLoadingDll:
      return u"Error in loading DLL";
    case kInternalError:
      return u"Internal error";
    case kBadFileName:
      return u"Bad file name or number";
    case kFileNotFound:
      return u"File not found";
    case kPermissionDenied:
      return u"Permission denied";
    case kPathFileAccessError:
      return u"Path/File access error";
    default:
      return u"Application-defined or object-defined error";
  }
}

void RaiseError(std::int32_t number, std::u16string_view source) {
  throw RuntimeError(number, std::u16string(source), StandardErrorText(number));
}

}  // namespace platform
