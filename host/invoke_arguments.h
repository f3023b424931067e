// What `pictoss invoke` reads and prints: an argument as "TYPE:VALUE" (TYPE str, i2, i4, r8,
// bool, empty, nothing or missing) and a variant as one JSON object. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/ole/variant.h"

namespace host {

// The variant that "TYPE:VALUE" names; nothing when the type is unknown or the value does not
// fit it. Numbers are read without regard to the locale.
std::optional<platform::Variant> ReadArgument(const std::string& spec);

// {"type":...,"value":...} with the type named as ReadArgument reads it.
std::string JsonVariant(const platform::Variant& v);

// The text as a JSON string, quotes included; control characters (NUL too) are escaped.
std::string JsonString(std::string_view text);

}  // namespace host
