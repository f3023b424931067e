#include "platform/jpeg/bands.h"

// jpeglib.h needs size_t and FILE declared first.
#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace platform::jpeg {
namespace {

constexpr int kMcuSide = 16;  // 4:2:0
constexpr std::uint8_t kMarker = 0xFF, kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kSOF0 = 0xC0,
                       kDRI = 0xDD, kRST0 = 0xD0;

struct ErrorJump {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void JumpOut(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}

void Silent(j_common_ptr, int) {}

}  // namespace

// The encoder's destination: one growing buffer, kept from band to band.
struct BandEncoder::Output {
  jpeg_destination_mgr manager;
  ErrorJump error;
  std::uint8_t* bytes = nullptr;
  std::size_t capacity = 0;
  std::size_t size = 0;

  static void Init(j_compress_ptr cinfo) {
    Output* o = reinterpret_cast<Output*>(cinfo->dest);
    if (o->capacity == 0) Grow(cinfo, 64 * 1024);
    o->manager.next_output_byte = o->bytes;
    o->manager.free_in_buffer = o->capacity;
  }
  static void Grow(j_compress_ptr cinfo, std::size_t capacity) {
    Output* o = reinterpret_cast<Output*>(cinfo->dest);
    auto* grown = static_cast<std::uint8_t*>(std::realloc(o->bytes, capacity));
    if (!grown) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    o->bytes = grown;
    o->capacity = capacity;
  }
  static boolean Empty(j_compress_ptr cinfo) {
    Output* o = reinterpret_cast<Output*>(cinfo->dest);
    std::size_t used = o->capacity;
    Grow(cinfo, 2 * o->capacity);
    o->manager.next_output_byte = o->bytes + used;
    o->manager.free_in_buffer = o->capacity - used;
    return TRUE;
  }
  static void Term(j_compress_ptr cinfo) {
    Output* o = reinterpret_cast<Output*>(cinfo->dest);
    o->size = o->capacity - o->manager.free_in_buffer;
  }
};

BandPlan PlanBands(int width, int height, int wanted) {
  BandPlan plan;
  plan.width = width;
  plan.height = height;
  if (width <= 0 || height <= 0) return plan;
  const int mcu_columns = (width + kMcuSide - 1) / kMcuSide;
  const int mcu_rows = (height + kMcuSide - 1) / kMcuSide;
  int per_band = (mcu_rows + std::max(wanted, 1) - 1) / std::max(wanted, 1);
  per_band = std::max(1, std::min(per_band, 0xFFFF / mcu_columns));
  plan.band_rows = per_band * kMcuSide;
  plan.bands = (mcu_rows + per_band - 1) / per_band;
  plan.restart_interval = plan.bands > 1 ? static_cast<unsigned>(per_band * mcu_columns) : 0;
  return plan;
}

BandEncoder::BandEncoder() : cinfo_(new jpeg_compress_struct{}), out_(new Output) {
  cinfo_->err = jpeg_std_error(&out_->error.manager);
  out_->error.manager.error_exit = JumpOut;
  out_->error.manager.emit_message = Silent;
  jpeg_create_compress(cinfo_);
  out_->manager.init_destination = Output::Init;
  out_->manager.empty_output_buffer = Output::Empty;
  out_->manager.term_destination = Output::Term;
  cinfo_->dest = &out_->manager;
}

BandEncoder::~BandEncoder() {
  jpeg_destroy_compress(cinfo_);
  std::free(out_->bytes);
  delete out_;
  delete cinfo_;
}

bool BandEncoder::Start(const BandPlan& plan, int index, int quality, RowFormat format) {
  if (index < 0 || index >= plan.bands || quality < 1 || quality > 100) return false;
  const int first_row = index * plan.band_rows;
  first_ = index == 0;
  full_height_ = plan.height;
  jpeg_compress_struct* c = cinfo_;
  // An encoder kept from a capture that stopped halfway is still in the middle of its band, where
  // libjpeg refuses a new start.
  jpeg_abort_compress(c);
  if (setjmp(out_->error.jump)) {
    jpeg_abort_compress(c);
    return false;
  }
  c->image_width = static_cast<JDIMENSION>(plan.width);
  c->image_height = static_cast<JDIMENSION>(std::min(plan.band_rows, plan.height - first_row));
  c->in_color_space = format == RowFormat::kBgr ? JCS_EXT_BGR : JCS_EXT_BGRX;
  c->input_components = format == RowFormat::kBgr ? 3 : 4;
  // What tjCompress2 sets for 4:2:0 without flags: below quality 96 the fast integer DCT.
  jpeg_set_defaults(c);
  jpeg_set_quality(c, quality, TRUE);
  c->dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_FASTEST;
  jpeg_set_colorspace(c, JCS_YCbCr);
  c->comp_info[0].h_samp_factor = c->comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < 3; ++i) c->comp_info[i].h_samp_factor = c->comp_info[i].v_samp_factor = 1;
  // Later bands need only the scan's own markers; the stitched file takes band 0's tables.
  if (!first_) {
    c->write_JFIF_header = FALSE;
    jpeg_suppress_tables(c, TRUE);
  }
  jpeg_start_compress(c, first_ ? TRUE : FALSE);
  return true;
}

bool BandEncoder::Write(const std::uint8_t* const* rows, int count) {
  jpeg_compress_struct* c = cinfo_;
  if (setjmp(out_->error.jump)) {
    jpeg_abort_compress(c);
    return false;
  }
  JDIMENSION done = 0;
  while (done < static_cast<JDIMENSION>(count)) {
    JDIMENSION n = jpeg_write_scanlines(c, const_cast<JSAMPARRAY>(rows + done),
                                        static_cast<JDIMENSION>(count) - done);
    if (n == 0) return false;
    done += n;
  }
  return true;
}

bool BandEncoder::Finish() {
  jpeg_compress_struct* c = cinfo_;
  if (setjmp(out_->error.jump)) {
    jpeg_abort_compress(c);
    return false;
  }
  jpeg_finish_compress(c);
  return Split();
}

// Finds the entropy-coded data between the scan header and the closing EOI.
bool BandEncoder::Split() {
  const std::uint8_t* b = out_->bytes;
  const std::size_t size = out_->size;
  if (size < 6 || b[0] != kMarker || b[1] != kSOI || b[size - 2] != kMarker || b[size - 1] != kEOI)
    return false;
  std::size_t at = 2, sof = 0;
  while (at + 4 <= size && b[at] == kMarker) {
    const std::uint8_t code = b[at + 1];
    const std::size_t length = (std::size_t{b[at + 2]} << 8) | b[at + 3];
    if (code == kSOF0) sof = at;
    if (code == kSOS) {
      segment_begin_ = at + 2 + length;
      segment_end_ = size - 2;
      if (!first_) return segment_begin_ <= segment_end_;
      if (sof == 0 || segment_begin_ > segment_end_) return false;
      // The header of the whole picture: the full height, and the restart interval (added by
      // Stitch) before the scan header.
      header_.assign(b, b + segment_begin_);
      header_[sof + 5] = static_cast<std::uint8_t>(full_height_ >> 8);
      header_[sof + 6] = static_cast<std::uint8_t>(full_height_);
      return true;
    }
    at += 2 + length;
  }
  return false;
}

std::span<const std::uint8_t> BandEncoder::Header() const {
  return header_;
}

std::span<const std::uint8_t> BandEncoder::Segment() const {
  return {out_->bytes + segment_begin_, segment_end_ - segment_begin_};
}

namespace {

// Where band 0's scan header begins within its header.
std::size_t ScanHeaderAt(std::span<const std::uint8_t> header) {
  std::size_t at = 2;
  while (at + 4 <= header.size()) {
    if (header[at + 1] == kSOS) return at;
    at += 2 + ((std::size_t{header[at + 2]} << 8) | header[at + 3]);
  }
  return header.size();
}

}  // namespace

Pieces BandPieces(const BandPlan& plan, int index, const BandEncoder& band,
                  std::array<std::uint8_t, 6>& dri) {
  static constexpr std::uint8_t kRestarts[8][2] = {
      {kMarker, kRST0},     {kMarker, kRST0 + 1}, {kMarker, kRST0 + 2}, {kMarker, kRST0 + 3},
      {kMarker, kRST0 + 4}, {kMarker, kRST0 + 5}, {kMarker, kRST0 + 6}, {kMarker, kRST0 + 7}};
  if (index > 0) return {kRestarts[(index - 1) % 8], band.Segment()};
  std::span<const std::uint8_t> header = band.Header();
  const std::size_t scan = ScanHeaderAt(header);
  Pieces pieces{header.first(scan)};
  if (plan.bands > 1) {
    dri = {kMarker,
           kDRI,
           0,
           4,
           static_cast<std::uint8_t>(plan.restart_interval >> 8),
           static_cast<std::uint8_t>(plan.restart_interval)};
    pieces.push_back(dri);
  }
  pieces.push_back(header.subspan(scan));
  pieces.push_back(band.Segment());
  return pieces;
}

std::span<const std::uint8_t> FileEnd() {
  static constexpr std::uint8_t kEnd[2] = {kMarker, kEOI};
  return kEnd;
}

Pieces StitchedPieces(const BandPlan& plan, std::span<BandEncoder* const> bands,
                      std::array<std::uint8_t, 6>& dri) {
  Pieces pieces;
  for (std::size_t i = 0; i < bands.size(); ++i) {
    const Pieces band = BandPieces(plan, static_cast<int>(i), *bands[i], dri);
    pieces.insert(pieces.end(), band.begin(), band.end());
  }
  pieces.push_back(FileEnd());
  return pieces;
}

std::size_t StitchedSize(const Pieces& pieces) {
  std::size_t size = 0;
  for (const auto& piece : pieces) size += piece.size();
  return size;
}

void Stitch(const Pieces& pieces, std::uint8_t* out) {
  for (const auto& piece : pieces) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  }
}

}  // namespace platform::jpeg
