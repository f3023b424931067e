#include "platform/jpeg/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

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

namespace {

// The encoder and output buffer that the last ijlFree kept.
struct Kept {
  std::mutex mutex;
  tjhandle encoder = nullptr;
  unsigned char* buffer = nullptr;
  std::size_t capacity = 0;
};

Kept& TheKept() {
  static auto* kept = new Kept;  // lives until exit, like what it keeps
  return *kept;
}

}  // namespace

int ijlInit(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr) return IJL_INVALID_RECORD;
  *props = JPEG_CORE_PROPERTIES{};
  props->jquality = 75;
  Kept& kept = TheKept();
  {
    std::lock_guard lock(kept.mutex);
    props->jprops = std::exchange(kept.encoder, nullptr);
    props->JPGBuffer = std::exchange(kept.buffer, nullptr);
    props->JPGCapacity = std::exchange(kept.capacity, 0);
  }
  if (props->jprops == nullptr) props->jprops = tjInitCompress();
  return props->jprops != nullptr ? IJL_OK : IJL_INIT_ERROR;
}

int ijlWrite(JPEG_CORE_PROPERTIES* props, IJLIOTYPE mode) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  if (mode != IJL_JBUFF_WRITEWHOLEIMAGE) return IJL_UNSUPPORTED_MODE;
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;

  int pitch = 0;
  if (const int status = CheckPicture(*props, pitch); status != IJL_OK) return status;
  if (props->jquality < 1 || props->jquality > 100) return IJL_INVALID_QUALITY;

  // The worst case of the encoder's output, so that it never reallocates the buffer.
  const unsigned long needed = tjBufSize(props->DIBWidth, props->JPGHeight, kDefaultSubsampling);
  if (needed == static_cast<unsigned long>(-1)) return IJL_INVALID_SIZE;
  if (props->JPGCapacity < needed) {
    tjFree(props->JPGBuffer);
    props->JPGCapacity = 0;
    props->JPGBuffer = tjAlloc(static_cast<int>(std::min<unsigned long>(needed, INT_MAX)));
    if (props->JPGBuffer == nullptr) return IJL_ENCODER_ERROR;
    props->JPGCapacity = needed;
  }

  const int flags = TJFLAG_NOREALLOC | (props->DIBHeight < 0 ? TJFLAG_BOTTOMUP : 0);
  unsigned char* bytes = props->JPGBuffer;
  unsigned long size = props->JPGCapacity;
  const int result =
      tjCompress2(props->jprops, reinterpret_cast<const unsigned char*>(props->DIBBytes),
                  props->DIBWidth, pitch, props->JPGHeight, TJPF_BGR, &bytes, &size,
                  kDefaultSubsampling, props->jquality, flags);
  if (result != 0) return IJL_ENCODER_ERROR;
  props->JPGBytes = bytes;
  props->JPGSizeBytes = size;
  return IJL_OK;
}

int ijlFree(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr) return IJL_INVALID_RECORD;
  Kept& kept = TheKept();
  {
    std::lock_guard lock(kept.mutex);
    if (kept.encoder == nullptr && props->jprops != nullptr) {
      kept.encoder = std::exchange(props->jprops, nullptr);
      tjFree(kept.buffer);
      kept.buffer = std::exchange(props->JPGBuffer, nullptr);
      kept.capacity = props->JPGCapacity;
    }
  }
  tjFree(props->JPGBuffer);
  props->JPGBuffer = nullptr;
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;
  props->JPGCapacity = 0;
  if (props->jprops != nullptr) tjDestroy(props->jprops);
  props->jprops = nullptr;
  return IJL_OK;
}
