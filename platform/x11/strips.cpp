// Strips of the root window read through XCB and MIT-SHM, several threads at once. Shared
// segments are kept between captures, so that a running host reads into memory that is already
// attached and mapped.
#include <X11/Xlib-xcb.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/x11/connection.h"

namespace platform::x11 {

struct StripReader::Segment {
  xcb_shm_seg_t id = 0;
  std::uint8_t* memory = nullptr;
  std::size_t size = 0;
  unsigned generation = 0;  // of the connection that has it attached
};

namespace {

// Segments not in use now, of the sizes that readers asked for.
struct SegmentPool {
  std::mutex mutex;
  std::vector<StripReader::Segment*> free;
};

SegmentPool& Pool() {
  static auto* pool = new SegmentPool;  // lives until exit, like the segments it keeps
  return *pool;
}

xcb_connection_t* Xcb() {
  Connection* c = Existing();
  return c && !c->broken ? XGetXCBConnection(c->display) : nullptr;
}

// Segment ids of an earlier connection may name live segments of the open one: only a
// segment of the open connection is detached there.
void Destroy(StripReader::Segment* s) {
  Connection* c = Existing();
  if (xcb_connection_t* xcb = Xcb(); xcb && c->generation == s->generation)
    xcb_shm_detach(xcb, s->id);
  shmdt(s->memory);
  delete s;
}

StripReader::Segment* Take(std::size_t size) {
  Connection* c = Existing();
  xcb_connection_t* xcb = Xcb();
  if (!c || !xcb) return nullptr;
  {
    std::lock_guard lock(Pool().mutex);
    auto& free = Pool().free;
    // Segments of a connection before this one are of no use any more.
    std::erase_if(free, [&](StripReader::Segment* s) {
      if (s->generation == c->generation) return false;
      Destroy(s);
      return true;
    });
    for (auto it = free.begin(); it != free.end(); ++it) {
      if ((*it)->size == size) {
        StripReader::Segment* s = *it;
        free.erase(it);
        return s;
      }
    }
  }
  auto* s = new StripReader::Segment;
  s->size = size;
  s->generation = c->generation;
  const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) {
    delete s;
    return nullptr;
  }
  s->memory = static_cast<std::uint8_t*>(shmat(id, nullptr, 0));
  if (s->memory == reinterpret_cast<std::uint8_t*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    delete s;
    return nullptr;
  }
  s->id = xcb_generate_id(xcb);
  xcb_generic_error_t* error =
      xcb_request_check(xcb, xcb_shm_attach_checked(xcb, s->id, static_cast<std::uint32_t>(id), 0));
  // Marked for removal once the server holds it: it goes with the last detach, even if the
  // process dies.
  shmctl(id, IPC_RMID, nullptr);
  if (error) {
    std::free(error);
    s->generation = 0;  // not attached: nothing to detach
    Destroy(s);
    return nullptr;
  }
  return s;
}

void Give(StripReader::Segment* s) {
  Connection* c = Existing();
  if (!c || c->generation != s->generation) return Destroy(s);
  std::lock_guard lock(Pool().mutex);
  auto& free = Pool().free;
  // A few sizes at most: the readers of one capture, and of the last screen size.
  constexpr std::size_t kKept = 4;
  if (free.size() >= kKept) {
    Destroy(free.front());
    free.erase(free.begin());
  }
  free.push_back(s);
}

}  // namespace

bool StripReader::Available() {
  Connection* c = Current();
  if (!c || !c->shm_available || c->broken) return false;
  const ScreenInfo& f = c->format;
  xcb_connection_t* xcb = XGetXCBConnection(c->display);
  const bool native_order = xcb_get_setup(xcb)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
  return native_order && c->depth == 24 && f.bits_per_pixel == 32 && !f.palette &&
         f.red == 0xFF0000 && f.green == 0x00FF00 && f.blue == 0x0000FF;
}

StripReader::StripReader(const Rect& rect, int strip_rows)
    : rect_(rect), strip_rows_(std::max(1, strip_rows)) {
  strips_ = rect.height > 0 ? (rect.height + strip_rows_ - 1) / strip_rows_ : 0;
  stride_ = rect.width * 4;
  slot_bytes_ = (static_cast<std::size_t>(stride_) * strip_rows_ + 4095) & ~std::size_t{4095};
  if (rect.width <= 0 || strips_ == 0) return;
  segment_ = Take(2 * slot_bytes_);
  if (segment_ && Request(0) && strips_ > 1) Request(1);
}

StripReader::~StripReader() {
  if (!segment_) return;
  // Replies still owed for strips that nobody took: wait for them, so that the server has
  // stopped writing into the segment before another reader gets it.
  if (xcb_connection_t* xcb = Xcb()) {
    for (int strip = next_; strip < std::min(next_ + 2, strips_); ++strip) {
      if (unsigned& cookie = cookies_[strip % 2]) {
        std::free(xcb_shm_get_image_reply(xcb, {cookie}, nullptr));
        cookie = 0;
      }
    }
  }
  Give(segment_);
}

bool StripReader::Request(int strip) {
  xcb_connection_t* xcb = Xcb();
  if (!xcb || !segment_) return false;
  const int row = strip * strip_rows_;
  const int rows = std::min(strip_rows_, rect_.height - row);
  xcb_shm_get_image_cookie_t cookie = xcb_shm_get_image(
      xcb, Existing()->format.root, static_cast<std::int16_t>(rect_.x),
      static_cast<std::int16_t>(rect_.y + row), static_cast<std::uint16_t>(rect_.width),
      static_cast<std::uint16_t>(rows), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id,
      static_cast<std::uint32_t>((strip % 2) * slot_bytes_));
  cookies_[strip % 2] = cookie.sequence;
  xcb_flush(xcb);
  return true;
}

bool StripReader::Next(Band* band) {
  if (!segment_ || next_ >= strips_) return false;
  xcb_connection_t* xcb = Xcb();
  if (!xcb) return false;
  const int strip = next_++;
  // The caller is done with the strip before this one: its slot takes the one after this.
  if (strip >= 1 && strip + 1 < strips_ && !Request(strip + 1)) return false;
  unsigned& cookie = cookies_[strip % 2];
  xcb_generic_error_t* error = nullptr;
  xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(xcb, {cookie}, &error);
  cookie = 0;
  const bool ok = reply && !error && reply->depth == 24;
  std::free(reply);
  std::free(error);
  if (!ok) return false;
  const int row = strip * strip_rows_;
  *band = {segment_->memory + (strip % 2) * slot_bytes_, stride_, row,
           std::min(strip_rows_, rect_.height - row)};
  return true;
}

}  // namespace platform::x11
