// The PNG writer module: the clipboard's pictures as PNG, through libpng.
#include <png.h>

#include <csetjmp>
#include <new>
#include <type_traits>

#include "platform/base/windef.h"
#include "platform/user/png_module.h"

namespace {

void Append(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  try {
    out->insert(out->end(), data, data + length);
  } catch (const std::bad_alloc&) {
    png_error(png, "out of memory");  // leaves through the jump below, not through libpng
  }
}

void Flush(png_structp) {}

}  // namespace

// libpng takes the blue-green-red order as it is; the rows go top row first.
extern "C" PLATFORM_API bool PictossWritePng(const std::uint8_t* bits, int width, int height,
                                             std::size_t stride, std::vector<std::uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, Append, Flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  png_set_bgr(png);
  for (int y = height - 1; y >= 0; --y)
    png_write_row(png, const_cast<png_bytep>(bits + static_cast<std::size_t>(y) * stride));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The writer's type is the one the platform library calls it by.
static_assert(std::is_same_v<decltype(&PictossWritePng), platform::PngWriter>);
