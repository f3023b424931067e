// The one way this layer shares memory with the X server (MIT-SHM 1.2): memory files handed to
// the server by descriptor through XCB on the display connection. A System V segment id would
// name whatever segment has that id in the server's IPC namespace, which is not ours when either
// runs in a container; a descriptor can name nothing but our memory, and nothing of it outlives
// the last process that maps it. Readers keep a few segments between captures, so that a running
// host reads into memory that is already attached and mapped; bitmaps that repeated captures
// reuse get segments of their own.
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/base/debug.h"
#include "platform/x11/connection.h"

namespace platform::x11 {
namespace {

// Segments not in use now, of the sizes that readers asked for.
struct SegmentPool {
  std::mutex mutex;
  std::vector<Segment*> free;
};

SegmentPool& Pool() {
  static auto* pool = new SegmentPool;  // lives until exit, like the segments it keeps
  return *pool;
}

xcb_connection_t* Xcb(const Connection* c) {
  return c && !c->broken ? c->xcb : nullptr;
}

// Segment ids of an earlier connection may name live segments of the open one: a segment is
// detached only on its own connection.
void Destroy(Segment* s, bool server_alive) {
  const Connection* c = Existing();
  if (xcb_connection_t* xcb = Xcb(c);
      xcb && server_alive && s->generation != 0 && c->generation == s->generation)
    xcb_shm_detach(xcb, s->id);
  munmap(s->memory, s->size);
  delete s;
}

}  // namespace

Segment* AttachSegment(std::size_t bytes) {
  const SigpipeBlocked quiet;
  const Connection* c = Existing();
  xcb_connection_t* xcb = Xcb(c);
  if (!xcb || !c->shm_available || bytes == 0) return nullptr;
  const int fd = memfd_create("pictoss-pixels", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    if (fd >= 0) close(fd);
    DebugLine("x11", "no shared memory of %zu bytes (memfd_create or ftruncate failed)", bytes);
    return nullptr;
  }
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    close(fd);
    DebugLine("x11", "no shared memory of %zu bytes (mmap failed)", bytes);
    return nullptr;
  }
  auto* s =
      new Segment{xcb_generate_id(xcb), static_cast<std::uint8_t*>(memory), bytes, c->generation};
  xcb_generic_error_t* error = nullptr;
  {
    const std::lock_guard turn(ReplyTurn());
    // XCB closes the descriptor once it has sent it.
    error = xcb_request_check(xcb, xcb_shm_attach_fd_checked(xcb, s->id, fd, 0));
  }
  if (error) {
    std::free(error);
    DebugLine("x11", "%s cannot attach shared memory (a server on another machine?)",
              c->name.c_str());
    s->generation = 0;  // not attached: nothing to detach
    Destroy(s, false);
    return nullptr;
  }
  return s;
}

void FreeSegment(Segment* segment) {
  if (!segment) return;
  const Connection* c = Existing();
  Destroy(segment, c && Alive(c->xcb));
}

Segment* TakeSegment(std::size_t bytes) {
  const Connection* c = Existing();
  if (!c) return nullptr;
  {
    std::lock_guard lock(Pool().mutex);
    auto& free = Pool().free;
    // Segments of a connection before this one are of no use any more.
    std::erase_if(free, [&](Segment* s) {
      if (s->generation == c->generation) return false;
      Destroy(s, false);
      return true;
    });
    for (auto it = free.begin(); it != free.end(); ++it) {
      if ((*it)->size == bytes) {
        Segment* s = *it;
        free.erase(it);
        return s;
      }
    }
  }
  return AttachSegment(bytes);
}

void GiveSegment(Segment* s) {
  const Connection* c = Existing();
  if (!c || c->generation != s->generation) return Destroy(s, false);
  std::lock_guard lock(Pool().mutex);
  auto& free = Pool().free;
  // A few sizes at most: the readers of one capture, and of the last screen size.
  constexpr std::size_t kKept = 4;
  if (free.size() >= kKept) {
    Destroy(free.front(), true);
    free.erase(free.begin());
  }
  free.push_back(s);
}

void DropSegments(const Connection& c, bool server_alive) {
  std::lock_guard lock(Pool().mutex);
  std::erase_if(Pool().free, [&](Segment* s) {
    if (s->generation != c.generation) return false;
    Destroy(s, server_alive);
    return true;
  });
}

// Pixel memory of bitmaps: segments of their own, found again by address.
namespace {

std::vector<Segment*>& SharedBlocks() {
  static auto* blocks = new std::vector<Segment*>;
  return *blocks;
}

}  // namespace

Segment* FindSharedPixels(const void* p, std::size_t bytes) {
  auto* at = static_cast<const std::uint8_t*>(p);
  for (Segment* s : SharedBlocks())
    if (at >= s->memory && bytes <= s->size &&
        static_cast<std::size_t>(at - s->memory) <= s->size - bytes)
      return s;
  return nullptr;
}

void* AllocateSharedPixels(std::size_t bytes) {
  if (!Current()) return nullptr;
  Segment* s = AttachSegment(bytes);
  if (!s) return nullptr;
  SharedBlocks().push_back(s);
  return s->memory;
}

void FreeSharedPixels(void* memory) {
  auto& blocks = SharedBlocks();
  for (auto it = blocks.begin(); it != blocks.end(); ++it) {
    if ((*it)->memory != memory) continue;
    FreeSegment(*it);
    blocks.erase(it);
    return;
  }
}

bool IsSharedPixels(const void* memory) {
  const Segment* s = FindSharedPixels(memory, 0);
  return s && Existing() && s->generation == Existing()->generation;
}

}  // namespace platform::x11
