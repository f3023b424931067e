// JPEG pictures encoded in horizontal bands, each on whichever thread takes it. A band is whole
// MCU rows (16 pixel rows at 4:2:0) encoded as an independent entropy-coded segment; the bands
// are stitched into one baseline JPEG whose restart interval is a band's MCU count, with RST0 to
// RST7 in turn between bands. A standalone band starts with its DC predictors at zero and pads
// its last byte with 1-bits, as a full encode does at a restart, and chrominance is halved
// within 2x2 blocks, so no band reads another's pixels: the decoded pixels equal those of one
// encode of the whole picture (tjCompress2 at the same quality and subsampling).
// A BandEncoder owns its libjpeg state and its output buffer, reused from band to band; one
// thread uses it at a time. Internal to the platform layer.
#pragma once

#include "platform/base/windef.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/base/windef.h"

struct jpeg_compress_struct;
struct JPEG_CORE_PROPERTIES;

namespace platform::jpeg {

// How a picture is cut: every band but the last has band_rows rows (a multiple of 16).
struct BandPlan {
  int width = 0;
  int height = 0;
  int band_rows = 0;
  int bands = 0;
  unsigned restart_interval = 0;  // MCUs in a band; 0 when there is one band (no restarts)
};

// Cuts width x height into about `wanted` bands of equal MCU rows, more where a band's MCU
// count would not fit the 16 bits of the restart interval (very wide pictures).
BandPlan PlanBands(int width, int height, int wanted);

// The pixel layout of the rows handed to Write.
enum class RowFormat { kBgr, kBgrx };

class BandEncoder {
 public:
  BandEncoder();
  ~BandEncoder();
  BandEncoder(const BandEncoder&) = delete;
  BandEncoder& operator=(const BandEncoder&) = delete;

  // Begins band `index` of the plan at quality 1..100, 4:2:0. False when libjpeg refuses.
  bool Start(const BandPlan& plan, int index, int quality, RowFormat format);
  // Encodes the band's next rows, top to bottom.
  bool Write(const std::uint8_t* const* rows, int count);
  // Ends the band. Its bytes are then Header() (band 0 only: the file's markers up to and with
  // the scan header, for the whole picture) and Segment() (the entropy-coded data).
  bool Finish();

  std::span<const std::uint8_t> Header() const;
  std::span<const std::uint8_t> Segment() const;

 private:
  struct Output;
  bool Split();

  jpeg_compress_struct* cinfo_;
  Output* out_;
  int full_height_ = 0;
  bool first_ = false;
  std::vector<std::uint8_t> header_;
  std::size_t segment_begin_ = 0, segment_end_ = 0;
};

// The stitched file as pieces, in order: band 0's markers with the restart interval (kept in
// `dri`) before its scan header, each band's segment with the restart marker before it, EOI.
// `bands` are the finished encoders of bands 0, 1, ...; the pieces point into them, into `dri`
// and into constant bytes.
using Pieces = std::vector<std::span<const std::uint8_t>>;
Pieces StitchedPieces(const BandPlan& plan, std::span<BandEncoder* const> bands,
                      std::array<std::uint8_t, 6>& dri);
// What band `index` (finished in `band`) adds to those pieces after the bands before it, and
// the end that follows the last band.
Pieces BandPieces(const BandPlan& plan, int index, const BandEncoder& band,
                  std::array<std::uint8_t, 6>& dri);
std::span<const std::uint8_t> FileEnd();
// Their total size, and the file written whole at `out` (StitchedSize bytes).
std::size_t StitchedSize(const Pieces& pieces);
void Stitch(const Pieces& pieces, std::uint8_t* out);

// The record's band encoders for `count` bands (made as needed, kept by the record), or an
// empty list when memory is short.
std::vector<BandEncoder*> RecordBandEncoders(JPEG_CORE_PROPERTIES* props, int count);
// Stitches the finished bands into the record's JPGBytes; false when memory is short.
bool StoreStitched(JPEG_CORE_PROPERTIES* props, const BandPlan& plan,
                   std::span<BandEncoder* const> bands);

}  // namespace platform::jpeg
