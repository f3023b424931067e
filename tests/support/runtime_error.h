// For tests: expectations of platform::RuntimeError, in place of a try and catch in each test.
// EXPECT_RUNTIME_ERROR(statement, number, source) fails the test unless the statement raises a
// RuntimeError with that number and source; RaisedError and ErrorOf hand the error over for
// further checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/text.h"
#include "platform/runtime/errors.h"

namespace testsupport {

// The RuntimeError that call raised, or nullopt when it returned.
template <class Call>
std::optional<platform::RuntimeError> ErrorOf(Call&& call) {
  try {
    call();
  } catch (const platform::RuntimeError& e) {
    return e;
  }
  return std::nullopt;
}

// The same for a call that must raise: no error is a failure of the running test.
template <class Call>
std::optional<platform::RuntimeError> RaisedError(Call&& call) {
  std::optional<platform::RuntimeError> error = ErrorOf(call);
  if (!error) ADD_FAILURE() << "no RuntimeError was raised";
  return error;
}

}  // namespace testsupport

#define EXPECT_RUNTIME_ERROR(statement, expected_number, expected_source) \
  do {                                                                    \
    SCOPED_TRACE(#statement);                                             \
    if (auto raised_ = ::testsupport::RaisedError([&] { statement; })) {  \
      EXPECT_EQ(raised_->number(), (expected_number));                    \
      EXPECT_EQ(platform::ToAnsi(raised_->source()),                      \
                platform::ToAnsi(std::u16string_view(expected_source)));  \
    }                                                                     \
  } while (false)
