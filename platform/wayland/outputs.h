// The outputs of the Wayland session, read from the compositor: each output's name, logical
// position and size (xdg-output) and its scale (wl_output). One short-lived connection a read.
// UI thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/wayland/output_layout.h"

namespace platform::wayland {

// The outputs in the compositor's order; false with *error set when the compositor cannot be
// reached or does not describe its outputs.
bool ReadOutputs(std::vector<Output>* outputs, std::string* error);

}  // namespace platform::wayland
