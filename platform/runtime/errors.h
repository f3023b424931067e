// Errors raised inside the plug-in: a number, a source (where the error arose, named by the
// caller) and a description, as the automation
// runtime reports them. Raised as a C++ exception and turned into a failed call at the
// automation boundary; nothing else catches them.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/base/windef.h"

namespace platform {

// The run-time errors that the plug-in raises, with their standard texts.
enum RuntimeErrorNumber : std::int32_t {
  kInvalidProcedureCall = 5,  // "Invalid procedure call or argument"
  kOverflow = 6,              // "Overflow"
  kOutOfMemory = 7,           // "Out of memory"
  kSubscriptOutOfRange = 9,   // "Subscript out of range"
  kDivisionByZero = 11,       // "Division by zero"
  kUserInterrupt = 18,        // "User interrupt occurred"
  kTypeMismatch = 13,         // "Type mismatch"
  kErrorInLoadingDll = 48,    // "Error in loading DLL"
  kInternalError = 51,        // "Internal error"
  kBadFileName = 52,          // "Bad file name or number"
  kFileNotFound = 53,         // "File not found"
  kPermissionDenied = 70,     // "Permission denied"
  kPathFileAccessError = 75,  // "Path/File access error"
};

class PLATFORM_API RuntimeError : public std::exception {
 public:
  RuntimeError(std::int32_t number, std::u16string source, std::u16string description);
  std::int32_t number() const { return number_; }
  const std::u16string& source() const { return source_; }
  const std::u16string& description() const { return description_; }
  // "number (source): description" in UTF-8.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t number_;
  std::u16string source_;
  std::u16string description_;
  std::string what_;
};

// The standard text of a run-time error number ("Application-defined or object-defined error"
// for a number outside the table).
PLATFORM_API std::u16string StandardErrorText(std::int32_t number);

// Raises the run-time error with its standard text.
[[noreturn]] PLATFORM_API void RaiseError(std::int32_t number, std::u16string_view source);

}  // namespace platform
