// The PNG writer, pictoss_png.so: libpng, in a module beside the platform library that the
// clipboard loads the first time a program asks it for a PNG, so that a process that never
// hands one out maps neither libpng nor zlib. This header is shared by the platform library
// and the module. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

inline constexpr char kPngModuleFile[] = "pictoss_png.so";
inline constexpr char kPngWriterEntry[] = "PictossWritePng";

// Appends an 8-bit RGB PNG of the picture to *out: `height` rows of `width` pixels, blue, green,
// red, bottom row first, `stride` bytes apart from `bits`. False when it cannot; raises nothing.
using PngWriter = bool (*)(const std::uint8_t* bits, int width, int height, std::size_t stride,
                           std::vector<std::uint8_t>* out);

}  // namespace platform
