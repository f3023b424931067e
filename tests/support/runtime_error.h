// For tests: expectations of platform::RuntimeError. EXPECT_RUNTIME_ERROR(statement, number,
// source) fails the test unless the statement raises a RuntimeError with that number and source.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/text.h"
#include "platform/runtime/errors.h"

namespace testsupport {

// The error that call raised, or nullopt (a failure of the running test) when it raised none.
template <class Call>
std::optional<platform::RuntimeError> RaisedError(Call&& call) {
  try {
    call();
  } catch (const platform::RuntimeError& e) {
    return e;
  }
  ADD_FAILURE() << "no RuntimeError was raised";
  return std::nullopt;
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
