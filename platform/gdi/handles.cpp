#include "platform/gdi/handles.h"

#include <unordered_map>

#include "platform/gdi/gdi.h"

namespace platform {
namespace {

struct HandleTable {
  std::unordered_map<HANDLE32, std::unique_ptr<GdiObject>> objects;
  std::size_t stock_count = 0;
  // Handles count up from a value that small integers and X window ids do not reach often,
  // and are not reused until the 32-bit counter wraps.
  HANDLE32 next = 0x00010010u;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives until exit: stock objects are in it
  return *table;
}

}  // namespace

HANDLE32 AddGdiObject(std::unique_ptr<GdiObject> object, bool stock) {
  if (!object) return 0;
  HandleTable& t = Table();
  if (t.objects.size() >= 0x100000) return 0;  // a runaway leak, not a real workload
  HANDLE32 h;
  do {
    h = t.next++;
  } while (h == 0 || t.objects.count(h) != 0);
  object->handle_ = h;
  object->stock_ = stock;
  if (stock) ++t.stock_count;
  t.objects.emplace(h, std::move(object));
  return h;
}

GdiObject* FindAnyGdiObject(HANDLE32 handle) {
  if (handle == 0) return nullptr;
  HandleTable& t = Table();
  auto it = t.objects.find(handle);
  return it == t.objects.end() ? nullptr : it->second.get();
}

GdiObject* FindGdiObject(HANDLE32 handle, GdiKind kind) {
  GdiObject* object = FindAnyGdiObject(handle);
  return object && object->kind() == kind ? object : nullptr;
}

bool RemoveGdiObject(HANDLE32 handle) {
  HandleTable& t = Table();
  auto it = t.objects.find(handle);
  if (it == t.objects.end() || it->second->stock()) return false;
  // Take the object out first: its destructor may look other handles up.
  std::unique_ptr<GdiObject> object = std::move(it->second);
  t.objects.erase(it);
  object.reset();
  return true;
}

std::size_t LiveGdiObjectCount() {
  const HandleTable& t = Table();
  return t.objects.size() - t.stock_count;
}

}  // namespace platform

BOOL DeleteObject(HGDIOBJ object) {
  platform::GdiObject* o = platform::FindAnyGdiObject(object);
  if (!o || o->kind() == platform::GdiKind::kDc) return FALSE;
  if (o->stock()) return TRUE;
  if (!o->Deletable()) return FALSE;
  return platform::RemoveGdiObject(object) ? TRUE : FALSE;
}

int GetObjectA(HGDIOBJ object, int size, void* buffer) {
  const platform::GdiObject* o = platform::FindAnyGdiObject(object);
  return o ? o->Describe(size, buffer) : 0;
}
