#include "platform/jpeg.h"

#include <turbojpeg.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

// libjpeg's own default for colour pictures, and what cjpeg and tjbench use: full-resolution
// luminance and chrominance halved both ways. tjCompress2 has no default of its own.
constexpr int kDefaultSubsampling = TJSAMP_420;

// Checks the input and output description; on success sets the row pitch in bytes.
int CheckPicture(const JPEG_CORE_PROPERTIES& props, int& pitch) {
  if (props.DIBBytes == 0) return IJL_NO_PIXELS;
  if (props.DIBWidth <= 0 || props.DIBHeight == 0 || props.DIBHeight == INT32_MIN) {
    return IJL_INVALID_SIZE;
  }
  const LONG height = props.DIBHeight < 0 ? -props.DIBHeight : props.DIBHeight;
  if (props.JPGWidth != props.DIBWidth || props.JPGHeight != height) return IJL_INVALID_SIZE;
  if (props.DIBPadBytes < 0 || props.DIBPadBytes > 3) return IJL_INVALID_SIZE;
  const std::int64_t rowBytes = std::int64_t{3} * props.DIBWidth + props.DIBPadBytes;
  if (rowBytes > INT_MAX) return IJL_INVALID_SIZE;
  pitch = static_cast<int>(rowBytes);
  return IJL_OK;
}

}  // namespace

int ijlInit(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr) return IJL_INVALID_RECORD;
  *props = JPEG_CORE_PROPERTIES{};
  props->jquality = 75;
  props->jprops = tjInitCompress();
  return props->jprops != nullptr ? IJL_OK : IJL_INIT_ERROR;
}

int ijlWrite(JPEG_CORE_PROPERTIES* props, IJLIOTYPE mode) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  if (mode != IJL_JBUFF_WRITEWHOLEIMAGE) return IJL_UNSUPPORTED_MODE;
  tjFree(props->JPGBytes);
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;

  int pitch = 0;
  if (const int status = CheckPicture(*props, pitch); status != IJL_OK) return status;
  if (props->jquality < 1 || props->jquality > 100) return IJL_INVALID_QUALITY;

  const int flags = props->DIBHeight < 0 ? TJFLAG_BOTTOMUP : 0;
  const int height = props->JPGHeight;
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  const int result = tjCompress2(
      props->jprops, reinterpret_cast<const unsigned char*>(props->DIBBytes), props->DIBWidth,
      pitch, height, TJPF_BGR, &bytes, &size, kDefaultSubsampling, props->jquality, flags);
  if (result != 0) {
    tjFree(bytes);
    return IJL_ENCODER_ERROR;
  }
  props->JPGBytes = bytes;
  props->JPGSizeBytes = size;
  return IJL_OK;
}

int ijlFree(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr) return IJL_INVALID_RECORD;
  tjFree(props->JPGBytes);
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;
  if (props->jprops != nullptr) tjDestroy(props->jprops);
  props->jprops = nullptr;
  return IJL_OK;
}
