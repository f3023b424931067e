// The process's table of drawing-object handles: device contexts, bitmaps and palettes, each
// named by a 32-bit value (0 for none) and tagged with its kind. The table owns the objects;
// a handle is never given out twice, so a deleted or made-up handle finds nothing and a call
// that gets one fails the platform's way. Stock objects live outside the count of live objects.
// DeleteObject and GetObjectA work here, through each kind's own rule and record.
// Threading: the user-interface thread only.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/base/windef.h"

namespace platform {

enum class GdiKind { kDc, kBitmap, kPalette };

// Base of every object the table names.
class PLATFORM_API GdiObject {
 public:
  explicit GdiObject(GdiKind kind) : kind_(kind) {}
  virtual ~GdiObject() = default;
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  GdiKind kind() const { return kind_; }
  // DeleteObject's rule for this kind: whether the object may go now. Device contexts never go
  // this way (DeleteDC and ReleaseDC end them).
  virtual bool Deletable() const { return false; }
  // GetObjectA's record for this kind: writes at most `size` bytes of it to buffer and returns
  // how many, or the record's size when buffer is null; 0 for a kind without a record.
  virtual int Describe(int /*size*/, void* /*buffer*/) const { return 0; }
  HANDLE32 handle() const { return handle_; }
  bool stock() const { return stock_; }

 private:
  friend HANDLE32 AddGdiObject(std::unique_ptr<GdiObject>, bool);
  GdiKind kind_;
  HANDLE32 handle_ = 0;
  bool stock_ = false;
};

// Registers the object and returns its new handle (0 if the table is full). A stock object is
// never counted as live and never deleted.
HANDLE32 AddGdiObject(std::unique_ptr<GdiObject> object, bool stock = false);

// The object named by handle, of whatever kind, else nullptr.
GdiObject* FindAnyGdiObject(HANDLE32 handle);

// The object named by handle when it is of that kind, else nullptr.
PLATFORM_API GdiObject* FindGdiObject(HANDLE32 handle, GdiKind kind);

template <class T>
T* FindGdi(HANDLE32 handle) {
  return static_cast<T*>(FindGdiObject(handle, T::kKind));
}

// Deletes the object and forgets its handle; false for an unknown or stock handle.
bool RemoveGdiObject(HANDLE32 handle);

// The number of live GDI objects (DCs, bitmaps, palettes), for leak checks in tests.
PLATFORM_API std::size_t LiveGdiObjectCount();

}  // namespace platform
