// Automation values: the status codes of calls, the variant kinds, and Variant, the one value
// type that late-bound calls pass, with the conversion between kinds that late-bound callers
// expect. Variants own their strings and hold one reference to their object. Threading: a
// Variant is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/base/windef.h"
#include "platform/ole/object.h"

// ---- Status codes, the platform's HRESULTs -------------------------------------------------

using HRESULT = std::int32_t;
using DISPID = std::int32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using LCID = std::uint32_t;

constexpr HRESULT MakeHresult(std::uint32_t code) {
  return static_cast<HRESULT>(code);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000F);
constexpr HRESULT RPC_E_WRONG_THREAD = MakeHresult(0x8001010E);

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

// ---- Variant kinds ------------------------------------------------------------------------

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_DATE = 7;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_ERROR = 10;  // with DISP_E_PARAMNOTFOUND: an omitted optional argument
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_VARIANT = 12;  // in a description: any kind, passed as it comes
constexpr VARTYPE VT_INT_PTR = 37;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr WORD DISPATCH_METHOD = 1;
constexpr WORD DISPATCH_PROPERTYGET = 2;

namespace platform {

class Dispatch;

// The automation date: days since 30 December 1899, the fraction being the time of day.
struct OleDate {
  double days = 0;
  bool operator==(const OleDate&) const = default;
};

// One automation value. Copying copies the string and adds a reference to the object.
class PLATFORM_API Variant {
 public:
  Variant() = default;
  Variant(std::int16_t v) : vt_(VT_I2) { i4_ = v; }
  Variant(std::int32_t v) : vt_(VT_I4) { i4_ = v; }
  Variant(double v) : vt_(VT_R8) { r8_ = v; }
  Variant(bool v) : vt_(VT_BOOL) { i4_ = v ? VARIANT_TRUE : VARIANT_FALSE; }
  Variant(OleDate v) : vt_(VT_DATE) { r8_ = v.days; }
  Variant(std::u16string v) : vt_(VT_BSTR), str_(std::move(v)) {}
  Variant(std::u16string_view v) : vt_(VT_BSTR), str_(v) {}
  Variant(const char16_t* v) : vt_(VT_BSTR), str_(v) {}
  Variant(const char*) = delete;  // would otherwise become a Boolean
  // An object reference; a null reference is Nothing.
  Variant(Ref<Object> v) : vt_(VT_DISPATCH), obj_(std::move(v)) {}
  template <class U, class = std::enable_if_t<std::is_base_of_v<Object, U>>>
  Variant(const Ref<U>& v) : vt_(VT_DISPATCH), obj_(v) {}
  static Variant IntPtr(LONG_PTR v);
  static Variant Nothing() { return Variant(Ref<Object>()); }
  // The value of an omitted optional argument.
  static Variant Missing();

  VARTYPE vt() const { return vt_; }
  bool IsMissing() const { return vt_ == VT_ERROR; }
  std::int16_t iVal() const { return static_cast<std::int16_t>(i4_); }
  std::int32_t lVal() const { return static_cast<std::int32_t>(i4_); }
  double dblVal() const { return r8_; }
  OleDate date() const { return OleDate{r8_}; }
  VARIANT_BOOL boolVal() const { return static_cast<VARIANT_BOOL>(i4_); }
  LONG_PTR intPtr() const { return i4_; }
  const std::u16string& bstrVal() const { return str_; }
  const Ref<Object>& object() const { return obj_; }

  // Same kind and same value (objects: the same object).
  bool operator==(const Variant& other) const;

 private:
  VARTYPE vt_ = VT_EMPTY;
  LONG_PTR i4_ = 0;  // I2, I4, BOOL, INT_PTR, and the status of VT_ERROR
  double r8_ = 0;    // R8, DATE
  std::u16string str_;
  Ref<Object> obj_;
};

}  // namespace platform

// Converts in to the kind vt into out, the way late-bound callers expect: numbers through the
// locale-aware text conversion, Booleans as -1 and 0, numbers to text. Fails with
// DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW and leaves out unchanged. vt VT_VARIANT copies.
PLATFORM_API HRESULT VariantChangeType(platform::Variant& out, const platform::Variant& in,
                                       VARTYPE vt);
