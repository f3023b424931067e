// Reads of the root window's pixels, all one way: strips through shared-memory segments with
// requests kept ahead, so that the server fills the next strips while the caller works on this
// one; or, where the server shares no memory, plain image requests. The band reads of a capture
// and the strips of the one-pass capture differ only in the strip's height.
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cstdlib>

#include "platform/base/debug.h"
#include "platform/x11/connection.h"
#include "platform/x11/x11_for_tests.h"

namespace platform::x11 {
namespace {

// A band read is a strip of about this size (at least one row): small enough to stay in the
// cache between the server's write and the caller's copy.
constexpr std::size_t kBandBytes = 1 << 20;
// A reader's strips in flight take at most about this much of its segment (two strips at least):
// each reader's segment adds to the process's peak memory.
constexpr std::size_t kBytesInFlight = 768 << 10;

int StripsOf(const Rect& r, int strip_rows) {
  return r.height > 0 ? (r.height + strip_rows - 1) / strip_rows : 0;
}

xcb_connection_t* Xcb() {
  Connection* c = Existing();
  return c && !c->broken ? c->xcb : nullptr;
}

// The reply to an image request: taken at once when the connection has read it already (often
// while another thread waited), else waited for in turn with the other threads.
xcb_shm_get_image_reply_t* ImageReply(xcb_connection_t* xcb, unsigned sequence,
                                      xcb_generic_error_t** error) {
  void* reply = nullptr;
  if (xcb_poll_for_reply(xcb, sequence, &reply, error))
    return static_cast<xcb_shm_get_image_reply_t*>(reply);
  const std::lock_guard turn(ReplyTurn());
  return xcb_shm_get_image_reply(xcb, {sequence}, error);
}

// Plain image requests, a band at a time, from row `first` on.
bool ReadCopied(Connection& c, const Rect& r, const BandSink& sink, int first) {
  const int band_rows =
      std::max(1, static_cast<int>(kBandBytes / static_cast<std::size_t>(LineBytes(c, r.width))));
  const int stride = LineBytes(c, r.width);
  for (int row = first; row < r.height; row += band_rows) {
    int rows = std::min(band_rows, r.height - row);
    auto image = Await(
        xcb_get_image_reply, c.xcb,
        xcb_get_image(c.xcb, XCB_IMAGE_FORMAT_Z_PIXMAP, c.format.root,
                      static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y + row),
                      static_cast<std::uint16_t>(r.width), static_cast<std::uint16_t>(rows), ~0u));
    if (!image || image->depth != c.depth ||
        xcb_get_image_data_length(image.get()) < static_cast<std::int64_t>(stride) * rows) {
      if (!image) NoteIfLost(c);
      return false;
    }
    sink({xcb_get_image_data(image.get()), stride, row, rows});
  }
  return true;
}

}  // namespace

int LineBytes(const Connection& c, int width) {
  const std::size_t pad = static_cast<std::size_t>(c.scanline_pad);
  return static_cast<int>((static_cast<std::size_t>(width) * c.format.bits_per_pixel + pad - 1) /
                          pad * pad / 8);
}

bool StripReader::Available() {
  Connection* c = Current();
  if (!c || !c->shm_available || c->broken) return false;
  const ScreenInfo& f = c->format;
  const bool native_order = xcb_get_setup(c->xcb)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
  return native_order && c->depth == 24 && f.bits_per_pixel == 32 && !f.palette &&
         f.red == 0xFF0000 && f.green == 0x00FF00 && f.blue == 0x0000FF;
}

StripReader::StripReader(const Rect& rect, int strip_rows)
    : quiet_(std::make_unique<SigpipeBlocked>()), strip_rows_(std::max(1, strip_rows)) {
  const Connection* c = Existing();
  total_ = StripsOf(rect, strip_rows_);
  if (!c || rect.width <= 0 || total_ == 0) return;
  parts_.push_back({rect, 0});
  stride_ = LineBytes(*c, rect.width);
  depth_ = c->depth;
  slot_bytes_ = (static_cast<std::size_t>(stride_) * strip_rows_ + 4095) & ~std::size_t{4095};
  slots_ = std::min(kSlots, std::max(2, static_cast<int>(kBytesInFlight / slot_bytes_)));
  segment_ = TakeSegment(slots_ * slot_bytes_);
  if (segment_ && !segment_->used) slots_ = std::min(slots_, kFreshSlots);
  RequestUpTo(slots_);
}

StripReader::~StripReader() {
  if (!segment_) return;
  // Replies still owed for strips that nobody took: wait for them, so that the server has
  // stopped writing into the segment before another reader gets it.
  if (xcb_connection_t* xcb = Xcb()) {
    for (unsigned& cookie : cookies_) {
      if (cookie) std::free(ImageReply(xcb, cookie, nullptr));
      cookie = 0;
    }
  }
  segment_->used = true;
  GiveSegment(segment_);
}

StripReader::Place StripReader::Locate(int strip) const {
  auto part = parts_.begin();
  while (part + 1 != parts_.end() && strip >= (part + 1)->first) ++part;
  const int row = (strip - part->first) * strip_rows_;
  return {part->rect, row, std::min(strip_rows_, part->rect.height - row)};
}

// Asks for the strip into its slot; the caller flushes.
bool StripReader::Request(int strip) {
  xcb_connection_t* xcb = Xcb();
  if (!xcb || !segment_) return false;
  const Place at = Locate(strip);
  xcb_shm_get_image_cookie_t cookie = xcb_shm_get_image(
      xcb, Existing()->format.root, static_cast<std::int16_t>(at.rect.x),
      static_cast<std::int16_t>(at.rect.y + at.row), static_cast<std::uint16_t>(at.rect.width),
      static_cast<std::uint16_t>(at.rows), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id,
      static_cast<std::uint32_t>((strip % slots_) * slot_bytes_));
  cookies_[strip % slots_] = cookie.sequence;
  return true;
}

bool StripReader::RequestUpTo(int below) {
  const int last = std::min(below, total_);
  if (issued_ >= last) return true;
  for (; issued_ < last; ++issued_)
    if (!Request(issued_)) return false;
  if (xcb_connection_t* xcb = Xcb()) xcb_flush(xcb);
  return true;
}

void StripReader::Continue(const Rect& next) {
  if (!WantsMore() || next.width != parts_.front().rect.width) return;
  const int strips = StripsOf(next, strip_rows_);
  if (strips == 0) return;
  // Parts read to their end are of no more use.
  while (parts_.size() > 1 && parts_[1].first <= next_ - 1) parts_.erase(parts_.begin());
  parts_.push_back({next, total_});
  total_ += strips;
  // The caller still has the strip it was given last, in its slot.
  RequestUpTo(next_ == 0 ? slots_ : next_ - 1 + slots_);
}

bool StripReader::Next(Band* band) {
  if (!segment_ || next_ >= total_) return false;
  xcb_connection_t* xcb = Xcb();
  if (!xcb) return false;
  const int strip = next_++;
  // The caller is done with the strip before this one: its slot takes the last one in flight.
  if (!RequestUpTo(strip + slots_)) return false;
  unsigned& cookie = cookies_[strip % slots_];
  xcb_generic_error_t* error = nullptr;
  xcb_shm_get_image_reply_t* reply = ImageReply(xcb, cookie, &error);
  cookie = 0;
  const bool ok = reply && !error && reply->depth == depth_;
  std::free(reply);
  std::free(error);
  if (!ok) return false;
  const Place at = Locate(strip);
  *band = {segment_->memory + (strip % slots_) * slot_bytes_, stride_, at.row, at.rows};
  return true;
}

bool ReadRoot(const Rect& r, const BandSink& sink) {
  const SigpipeBlocked quiet;
  Connection* c = Current();
  if (!c || r.width <= 0 || r.height <= 0) return false;
  int done = 0;
  if (c->shm_available) {
    const int band_rows = std::max(
        1, static_cast<int>(kBandBytes / static_cast<std::size_t>(LineBytes(*c, r.width))));
    StripReader reader(r, band_rows);
    for (Band band{}; reader.Next(&band); done += band.rows) sink(band);
    if (done == r.height) return true;
    if (NoteIfLost(*c)) return false;
    if (!reader.attached()) {
      // The server refused the segment: read by plain requests from now on.
      c->shm_available = false;
      DebugLine("x11", "%s shares no memory: the screen is read by plain image requests",
                c->name.c_str());
    } else {
      DebugLine("x11", "a shared-memory read failed at row %d of %d: the rest by plain requests",
                done, r.height);
    }
  }
  return ReadCopied(*c, r, sink, done) && !c->broken;
}

bool ReadRootShared(const Rect& r, std::uint8_t* dest, int stride) {
  const SigpipeBlocked quiet;
  Connection* c = Current();
  if (!c || c->broken || r.width <= 0 || r.height <= 0 || stride != LineBytes(*c, r.width))
    return false;
  const Segment* s = FindSharedPixels(dest, static_cast<std::size_t>(stride) * r.height);
  if (!s || s->generation != c->generation) return false;
  xcb_connection_t* xcb = c->xcb;
  xcb_generic_error_t* error = nullptr;
  xcb_shm_get_image_reply_t* reply = ImageReply(
      xcb,
      xcb_shm_get_image(xcb, c->format.root, static_cast<std::int16_t>(r.x),
                        static_cast<std::int16_t>(r.y), static_cast<std::uint16_t>(r.width),
                        static_cast<std::uint16_t>(r.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, s->id,
                        static_cast<std::uint32_t>(dest - s->memory))
          .sequence,
      &error);
  const bool ok = reply && !error && reply->depth == c->depth;
  std::free(reply);
  std::free(error);
  if (!ok && !NoteIfLost(*c))
    DebugLine("x11", "a read into shared pixel memory failed: the screen is read in bands");
  return ok;
}

void StopUsingSharedMemory() {
  if (Connection* c = Current()) c->shm_available = false;
}

ReadMethod CurrentReadMethod() {
  Connection* c = Current();
  if (!c) return ReadMethod::kNone;
  return c->shm_available ? ReadMethod::kSharedMemory : ReadMethod::kImages;
}

}  // namespace platform::x11
