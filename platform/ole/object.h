// Reference-counted objects, the platform's way: an object starts with one reference, AddRef
// and Release count them, and the last Release deletes it. Objects that cross the automation
// boundary (the plug-in object, pictures, DIB sections) derive from Object; Ref<T> holds one
// reference. Threading: an object is used on the thread that created it.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/base/windef.h"

namespace platform {

class PLATFORM_API Object {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  std::uint32_t AddRef() noexcept { return ++refs_; }
  std::uint32_t Release() noexcept {
    std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  Object() = default;
  virtual ~Object() = default;

 private:
  std::atomic<std::uint32_t> refs_{1};
};

// One counted reference to an Object (or nothing).
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  // Takes over a reference that the caller already holds (such as a new object's first one).
  static Ref Adopt(T* object) {
    Ref r;
    r.p_ = object;
    return r;
  }
  // Adds a reference of its own.
  explicit Ref(T* object) : p_(object) {
    if (p_) p_->AddRef();
  }
  Ref(const Ref& other) : Ref(other.p_) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  Ref(const Ref<U>& other) : Ref(static_cast<T*>(other.get())) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() {
    if (p_) p_->Release();
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>::Adopt(new T(std::forward<Args>(args)...));
}

template <class T, class U>
Ref<T> RefCast(const Ref<U>& r) {
  return Ref<T>(dynamic_cast<T*>(r.get()));
}

}  // namespace platform
