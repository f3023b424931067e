#include "platform/jpeg/jpeg.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/base/parallel.h"
#include "platform/jpeg/bands.h"

namespace {

using platform::jpeg::BandEncoder;
using platform::jpeg::BandPlan;
using platform::jpeg::Pieces;

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

// The encoder's state behind jprops: one band encoder for each band of the last picture, and
// for a picture written band by band (ijlStartBands) its plan and the rows each band has had.
struct Encoders {
  std::vector<std::unique_ptr<BandEncoder>> bands;
  BandPlan plan;
  std::vector<int> rows_done;
  // The file of ijlFinishBands, in pieces that point into the band encoders.
  platform::jpeg::Pieces pieces;
  std::array<std::uint8_t, 6> dri{};
  // The file handed on while the bands are written (ijlStreamBands): the bands done, the next
  // one to hand on, and whether a thread is handing bands on now.
  IjlFileSink sink;
  std::mutex stream;
  std::vector<char> done;
  int next_out = 0;
  bool handing = false;
};

// Hands on, in order, every done band that the sink has not had. A thread that finds another
// one at it leaves the band to it, so that no thread waits for the other's write.
void HandOnDone(Encoders& encoders, int band) {
  std::unique_lock lock(encoders.stream);
  encoders.done[static_cast<std::size_t>(band)] = 1;
  if (encoders.handing) return;
  encoders.handing = true;
  while (encoders.next_out < encoders.plan.bands &&
         encoders.done[static_cast<std::size_t>(encoders.next_out)]) {
    const int index = encoders.next_out;
    lock.unlock();
    const platform::jpeg::Pieces pieces = platform::jpeg::BandPieces(
        encoders.plan, index, *encoders.bands[static_cast<std::size_t>(index)], encoders.dri);
    encoders.sink(pieces);
    lock.lock();
    ++encoders.next_out;
  }
  encoders.handing = false;
}

// The encoders and output buffer that the last ijlFree kept.
struct Kept {
  std::mutex mutex;
  Encoders* encoders = nullptr;
  BYTE* buffer = nullptr;
  std::size_t capacity = 0;
};

Kept& TheKept() {
  static auto* kept = new Kept;  // lives until exit, like what it keeps
  return *kept;
}

// Encodes band `index` of the DIB that the record describes.
bool EncodeBand(const JPEG_CORE_PROPERTIES& props, int pitch, const BandPlan& plan, int index,
                BandEncoder& encoder) {
  if (!encoder.Start(plan, index, props.jquality, platform::jpeg::RowFormat::kBgr)) return false;
  const auto* bits = reinterpret_cast<const std::uint8_t*>(props.DIBBytes);
  const bool bottomUp = props.DIBHeight < 0;
  const int first = index * plan.band_rows;
  const int end = std::min(plan.height, first + plan.band_rows);
  constexpr int kChunk = 16;
  const std::uint8_t* rows[kChunk];
  for (int y = first; y < end; y += kChunk) {
    const int n = std::min(kChunk, end - y);
    for (int i = 0; i < n; ++i) {
      const int memoryRow = bottomUp ? plan.height - 1 - (y + i) : y + i;
      rows[i] = bits + static_cast<std::ptrdiff_t>(memoryRow) * pitch;
    }
    if (!encoder.Write(rows, n)) return false;
  }
  return encoder.Finish();
}

}  // namespace

int ijlInit(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr) return IJL_INVALID_RECORD;
  *props = JPEG_CORE_PROPERTIES{};
  props->jquality = 75;
  Kept& kept = TheKept();
  {
    std::lock_guard lock(kept.mutex);
    props->jprops = std::exchange(kept.encoders, nullptr);
    props->JPGBuffer = std::exchange(kept.buffer, nullptr);
    props->JPGCapacity = std::exchange(kept.capacity, 0);
  }
  if (props->jprops == nullptr) props->jprops = new (std::nothrow) Encoders;
  return props->jprops != nullptr ? IJL_OK : IJL_INIT_ERROR;
}

int ijlWrite(JPEG_CORE_PROPERTIES* props, IJLIOTYPE mode) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  if (mode != IJL_JBUFF_WRITEWHOLEIMAGE) return IJL_UNSUPPORTED_MODE;
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;
  props->JPGPieces = nullptr;
  props->JPGPieceCount = 0;

  int pitch = 0;
  if (const int status = CheckPicture(*props, pitch); status != IJL_OK) return status;
  if (props->jquality < 1 || props->jquality > 100) return IJL_INVALID_QUALITY;

  const int threads = platform::ThreadsWorthFor(std::int64_t{props->DIBWidth} * props->JPGHeight);
  const BandPlan plan = platform::jpeg::PlanBands(props->DIBWidth, props->JPGHeight, threads);
  const std::vector<BandEncoder*> bands = platform::jpeg::RecordBandEncoders(props, plan.bands);
  if (bands.empty()) return IJL_ENCODER_ERROR;
  const bool encoded = platform::RunInParallel(plan.bands, threads, [&](int index) {
    return EncodeBand(*props, pitch, plan, index, *bands[index]);
  });
  if (!encoded || !platform::jpeg::StoreStitched(props, plan, bands)) return IJL_ENCODER_ERROR;
  return IJL_OK;
}

namespace platform::jpeg {

std::vector<BandEncoder*> RecordBandEncoders(JPEG_CORE_PROPERTIES* props, int count) {
  auto& encoders = static_cast<Encoders*>(props->jprops)->bands;
  std::vector<BandEncoder*> bands;
  try {
    while (encoders.size() < static_cast<std::size_t>(count))
      encoders.push_back(std::make_unique<BandEncoder>());
    for (int i = 0; i < count; ++i) bands.push_back(encoders[i].get());
  } catch (const std::bad_alloc&) {
    bands.clear();
  }
  return bands;
}

bool StoreStitched(JPEG_CORE_PROPERTIES* props, const BandPlan& plan,
                   std::span<BandEncoder* const> bands) {
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;
  props->JPGPieces = nullptr;
  props->JPGPieceCount = 0;
  auto* encoders = static_cast<Encoders*>(props->jprops);
  const Pieces pieces = StitchedPieces(plan, bands, encoders->dri);
  const std::size_t size = StitchedSize(pieces);
  if (props->JPGCapacity < size) {
    std::free(props->JPGBuffer);
    props->JPGCapacity = 0;
    props->JPGBuffer = static_cast<BYTE*>(std::malloc(size));
    if (props->JPGBuffer == nullptr) return false;
    props->JPGCapacity = size;
  }
  Stitch(pieces, props->JPGBuffer);
  props->JPGBytes = props->JPGBuffer;
  props->JPGSizeBytes = size;
  return true;
}

}  // namespace platform::jpeg

int ijlStartBands(JPEG_CORE_PROPERTIES* props, int wanted, int* band_rows, int* bands) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;
  props->JPGPieces = nullptr;
  props->JPGPieceCount = 0;
  if (props->JPGWidth <= 0 || props->JPGHeight <= 0) return IJL_INVALID_SIZE;
  if (props->jquality < 1 || props->jquality > 100) return IJL_INVALID_QUALITY;
  auto* encoders = static_cast<Encoders*>(props->jprops);
  encoders->plan = platform::jpeg::PlanBands(props->JPGWidth, props->JPGHeight, wanted);
  if (platform::jpeg::RecordBandEncoders(props, encoders->plan.bands).empty())
    return IJL_ENCODER_ERROR;
  encoders->rows_done.assign(static_cast<std::size_t>(encoders->plan.bands), 0);
  encoders->done.assign(static_cast<std::size_t>(encoders->plan.bands), 0);
  encoders->next_out = 0;
  encoders->handing = false;  // also after bands given up halfway
  if (band_rows) *band_rows = encoders->plan.band_rows;
  if (bands) *bands = encoders->plan.bands;
  return IJL_OK;
}

int ijlWriteBand(JPEG_CORE_PROPERTIES* props, int band, const BYTE* const* rows, int count) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  auto* encoders = static_cast<Encoders*>(props->jprops);
  const BandPlan& plan = encoders->plan;
  if (band < 0 || band >= plan.bands || rows == nullptr || count <= 0) return IJL_INVALID_SIZE;
  int& done = encoders->rows_done[static_cast<std::size_t>(band)];
  const int bandRows = std::min(plan.band_rows, plan.height - band * plan.band_rows);
  if (done + count > bandRows) return IJL_INVALID_SIZE;
  BandEncoder& encoder = *encoders->bands[static_cast<std::size_t>(band)];
  if (done == 0 && !encoder.Start(plan, band, props->jquality, platform::jpeg::RowFormat::kBgrx))
    return IJL_ENCODER_ERROR;
  if (!encoder.Write(rows, count)) return IJL_ENCODER_ERROR;
  done += count;
  if (done == bandRows) {
    if (!encoder.Finish()) return IJL_ENCODER_ERROR;
    if (encoders->sink) {
      try {
        HandOnDone(*encoders, band);
      } catch (const std::bad_alloc&) {
        return IJL_ENCODER_ERROR;
      }
    }
  }
  return IJL_OK;
}

int ijlStreamBands(JPEG_CORE_PROPERTIES* props, IjlFileSink sink) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  static_cast<Encoders*>(props->jprops)->sink = std::move(sink);
  return IJL_OK;
}

int ijlFinishBands(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr || props->jprops == nullptr) return IJL_INVALID_RECORD;
  auto* encoders = static_cast<Encoders*>(props->jprops);
  const BandPlan& plan = encoders->plan;
  if (plan.bands == 0) return IJL_INVALID_SIZE;
  for (int b = 0; b < plan.bands; ++b)
    if (encoders->rows_done[static_cast<std::size_t>(b)] !=
        std::min(plan.band_rows, plan.height - b * plan.band_rows))
      return IJL_INVALID_SIZE;
  std::vector<BandEncoder*> bands;
  for (int b = 0; b < plan.bands; ++b)
    bands.push_back(encoders->bands[static_cast<std::size_t>(b)].get());
  try {
    encoders->pieces = platform::jpeg::StitchedPieces(plan, bands, encoders->dri);
  } catch (const std::bad_alloc&) {
    return IJL_ENCODER_ERROR;
  }
  props->JPGBytes = nullptr;
  props->JPGPieces = encoders->pieces.data();
  props->JPGPieceCount = encoders->pieces.size();
  props->JPGSizeBytes = platform::jpeg::StitchedSize(encoders->pieces);
  if (const IjlFileSink sink = std::exchange(encoders->sink, nullptr)) {
    // Every band has been handed on, unless a hand-on was cut short (which fails the file).
    if (encoders->next_out < plan.bands) return IJL_ENCODER_ERROR;
    const std::span<const BYTE> end[] = {platform::jpeg::FileEnd()};
    sink(end);
  }
  return IJL_OK;
}

int ijlFree(JPEG_CORE_PROPERTIES* props) {
  if (props == nullptr) return IJL_INVALID_RECORD;
  if (props->jprops != nullptr) static_cast<Encoders*>(props->jprops)->sink = nullptr;
  Kept& kept = TheKept();
  {
    std::lock_guard lock(kept.mutex);
    if (kept.encoders == nullptr && props->jprops != nullptr) {
      kept.encoders = static_cast<Encoders*>(std::exchange(props->jprops, nullptr));
      std::free(kept.buffer);
      kept.buffer = std::exchange(props->JPGBuffer, nullptr);
      kept.capacity = props->JPGCapacity;
    }
  }
  std::free(props->JPGBuffer);
  props->JPGBuffer = nullptr;
  props->JPGBytes = nullptr;
  props->JPGSizeBytes = 0;
  props->JPGPieces = nullptr;
  props->JPGPieceCount = 0;
  props->JPGCapacity = 0;
  delete static_cast<Encoders*>(props->jprops);
  props->jprops = nullptr;
  return IJL_OK;
}
