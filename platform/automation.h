// Automation: variants, the dispatch interface and the class descriptions that drive it, the way
// late-bound callers reach an object by method name. Variants own their strings and hold one
// reference to their object; a by-reference argument points into the caller's Variant, which
// the call may replace. Threading: an automation object is called on the thread that created
// it; a call from any other thread fails with RPC_E_WRONG_THREAD and does nothing.
//
// Declaring a class: derive from platform::Dispatch, write the methods with the C++ types of
// their parameters (a non-const reference is by reference and in-out), and describe them once,
// in slot order. The description gives names, optional parameters and their defaults; the
// types and by-reference flags come from the signatures.
//
//   class Counter : public platform::Dispatch {
//    public:
//     bool Add(std::int32_t lBy, std::int32_t& lTotal) { lTotal += lBy; return true; }
//     std::int32_t Count() const { return count_; }
//     void Reset(bool bHard = false);
//     const platform::ClassDesc& GetTypeInfo() const override {
//       static const platform::ClassDesc desc(u"Vorlick.Counter", {
//           platform::Method(u"Add", &Counter::Add, {u"lBy", u"lTotal"}),
//           platform::Property(u"Count", &Counter::Count),
//           platform::Method(u"Reset", &Counter::Reset, {platform::Optional(u"bHard", false)}),
//       });
//       return desc;
//     }
//   };
//
// A method raises platform::RuntimeError (or lets any other exception out); Dispatch::Invoke is
// the one place where that becomes a failed call (DISP_E_EXCEPTION with the error's number,
// source and description).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/object.h"
#include "platform/windef.h"

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

// What a failed call reports when the method raised an error. number is the run-time error
// number (13 for "Type mismatch"); scode is the same as a status code.
struct EXCEPINFO {
  std::int32_t number = 0;
  HRESULT scode = S_OK;
  std::u16string source;
  std::u16string description;
};

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

namespace platform {

// One argument of a call: a value, or a reference to the caller's Variant (in-out).
class Argument {
 public:
  Argument(Variant value) : value_(std::move(value)) {}
  static Argument ByRef(Variant& target) {
    Argument a{Variant()};
    a.target_ = &target;
    return a;
  }
  bool byRef() const { return target_ != nullptr; }
  const Variant& value() const { return target_ ? *target_ : value_; }
  Variant* target() const { return target_; }

 private:
  Variant value_;
  Variant* target_ = nullptr;
};

// ---- Class descriptions -------------------------------------------------------------------

enum class MemberKind { kMethod, kPropertyGet };

struct ParamDesc {
  std::u16string name;
  VARTYPE type = VT_VARIANT;
  bool byRef = false;
  bool optional = false;
  Variant defaultValue;  // for an optional parameter; Missing() when it has none
  // For an object parameter: whether the object is of the class that the method takes.
  bool (*accepts)(const Variant& value) = nullptr;
};

// A parameter as written in a description: a name, and optionally a default or a by-reference
// flag for a parameter that the method only reads.
struct Param {
  Param(const char16_t* n) : name(n) {}
  Param(std::u16string_view n) : name(n) {}
  std::u16string name;
  bool optional = false;
  bool byRef = false;
  Variant defaultValue = Variant::Missing();
};
inline Param Optional(std::u16string_view name, Variant defaultValue = Variant::Missing()) {
  Param p(name);
  p.optional = true;
  p.defaultValue = std::move(defaultValue);
  return p;
}
// Described as by reference although the method takes a const reference.
inline Param ByRef(std::u16string_view name) {
  Param p(name);
  p.byRef = true;
  return p;
}

// Calls the method on the object with its arguments already converted to the parameter kinds;
// writes by-reference results back into args (also when the method raises) and sets result.
using MemberInvoker = std::function<void(Dispatch& self, std::span<Variant> args, Variant& result)>;

struct MemberDesc {
  std::u16string name;
  MemberKind kind = MemberKind::kMethod;
  std::vector<ParamDesc> params;
  VARTYPE result = VT_EMPTY;  // VT_EMPTY: the method returns nothing
  MemberInvoker invoke;
};

// A class as automation sees it. Members get the dispatch ids 1, 2, ... in slot order.
class PLATFORM_API ClassDesc {
 public:
  // source: "Vorlick.<class>", where the class's errors arise; its last part is the class name.
  ClassDesc(std::u16string source, std::vector<MemberDesc> members);
  const std::u16string& source() const { return source_; }
  const std::u16string& name() const { return name_; }
  const std::vector<MemberDesc>& members() const { return members_; }
  // The member with this id, or null.
  const MemberDesc* Find(DISPID id) const;
  // The id of the member with this name, compared without regard to case; 0 when unknown.
  DISPID IdOfName(std::u16string_view name) const;

 private:
  std::u16string source_;
  std::u16string name_;
  std::vector<MemberDesc> members_;
};

// A type library: what registration records about the classes of a module.
struct GUID {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};
  bool operator==(const GUID&) const = default;
};
struct TypeLibDesc {
  GUID libid;
  std::u16string_view name;
  WORD majorVersion;
  WORD minorVersion;
  LCID lcid;
  std::u16string_view helpString;
};

// ---- The dispatch interface ---------------------------------------------------------------

class PLATFORM_API Dispatch : public Object {
 public:
  ~Dispatch() override;
  // The id of a member, found without regard to case: DISP_E_UNKNOWNNAME when there is none.
  HRESULT GetIDsOfNames(std::u16string_view name, DISPID* id);
  // Calls member id with args in order (first argument first). flags: DISPATCH_METHOD and/or
  // DISPATCH_PROPERTYGET. result and excepInfo may be null. On DISP_E_TYPEMISMATCH,
  // DISP_E_OVERFLOW and DISP_E_PARAMNOTOPTIONAL, *argErr is the index of the argument. On
  // DISP_E_EXCEPTION the result is False (or empty) and by-reference arguments hold what the
  // method wrote before it failed.
  HRESULT Invoke(DISPID id, WORD flags, std::span<Argument> args, Variant* result,
                 EXCEPINFO* excepInfo, UINT* argErr);
  // This class's description.
  virtual const ClassDesc& GetTypeInfo() const = 0;

 protected:
  Dispatch();

 private:
  bool RunMember(const MemberDesc& member, std::span<Variant> values, Variant& out,
                 EXCEPINFO& error);
  HRESULT ConvertArguments(const MemberDesc& member, std::span<Argument> args,
                           std::vector<Variant>& values, UINT* argErr) const;

  std::thread::id apartment_;
};

// GetIDsOfNames, then Invoke: one late-bound call by name.
PLATFORM_API HRESULT CallByName(Dispatch& object, std::u16string_view name, WORD flags,
                                std::span<Argument> args, Variant* result, EXCEPINFO* excepInfo,
                                UINT* argErr);

// ---- Binding C++ members to descriptions ----------------------------------------------------

// How a C++ parameter or result type maps onto a variant kind. Values handed to From are
// already of the kind vt.
template <class T, class = void>
struct AutomationType;

template <>
struct AutomationType<std::int16_t> {
  static constexpr VARTYPE vt = VT_I2;
  static std::int16_t From(const Variant& v) { return v.iVal(); }
  static Variant To(std::int16_t v) { return Variant(v); }
};
template <>
struct AutomationType<std::int32_t> {
  static constexpr VARTYPE vt = VT_I4;
  static std::int32_t From(const Variant& v) { return v.lVal(); }
  static Variant To(std::int32_t v) { return Variant(v); }
};
// Handles and raster operations travel as 32-bit integers, bit for bit.
template <>
struct AutomationType<std::uint32_t> {
  static constexpr VARTYPE vt = VT_I4;
  static std::uint32_t From(const Variant& v) { return static_cast<std::uint32_t>(v.lVal()); }
  static Variant To(std::uint32_t v) { return Variant(static_cast<std::int32_t>(v)); }
};
template <>
struct AutomationType<LONG_PTR> {
  static constexpr VARTYPE vt = VT_INT_PTR;
  static LONG_PTR From(const Variant& v) { return v.intPtr(); }
  static Variant To(LONG_PTR v) { return Variant::IntPtr(v); }
};
template <>
struct AutomationType<double> {
  static constexpr VARTYPE vt = VT_R8;
  static double From(const Variant& v) { return v.dblVal(); }
  static Variant To(double v) { return Variant(v); }
};
template <>
struct AutomationType<bool> {
  static constexpr VARTYPE vt = VT_BOOL;
  static bool From(const Variant& v) { return v.boolVal() != VARIANT_FALSE; }
  static Variant To(bool v) { return Variant(v); }
};
template <>
struct AutomationType<OleDate> {
  static constexpr VARTYPE vt = VT_DATE;
  static OleDate From(const Variant& v) { return v.date(); }
  static Variant To(OleDate v) { return Variant(v); }
};
template <>
struct AutomationType<std::u16string> {
  static constexpr VARTYPE vt = VT_BSTR;
  static std::u16string From(const Variant& v) { return v.bstrVal(); }
  static Variant To(std::u16string v) { return Variant(std::move(v)); }
};
template <>
struct AutomationType<Variant> {
  static constexpr VARTYPE vt = VT_VARIANT;
  static Variant From(const Variant& v) { return v; }
  static Variant To(Variant v) { return v; }
};

// An object of class U (or Nothing). An object of another class is a type mismatch, found
// before the call by Matches.
template <class U>
struct AutomationType<Ref<U>, std::enable_if_t<std::is_base_of_v<Object, U>>> {
  static constexpr VARTYPE vt = VT_DISPATCH;
  static bool Matches(const Variant& v) {
    return !v.object() || dynamic_cast<U*>(v.object().get()) != nullptr;
  }
  static Ref<U> From(const Variant& v) { return Ref<U>(dynamic_cast<U*>(v.object().get())); }
  static Variant To(const Ref<U>& v) { return Variant(Ref<Object>(v)); }
};
// A borrowed object pointer: the call's argument holds the reference.
template <class U>
struct AutomationType<U*, std::enable_if_t<std::is_base_of_v<Object, std::remove_const_t<U>>>> {
  static constexpr VARTYPE vt = VT_DISPATCH;
  static bool Matches(const Variant& v) {
    return !v.object() || dynamic_cast<U*>(v.object().get()) != nullptr;
  }
  static U* From(const Variant& v) { return dynamic_cast<U*>(v.object().get()); }
};

namespace detail {

template <class T>
using Bare = std::remove_cvref_t<T>;

// A parameter is in-out when the method takes it by non-const reference.
template <class A>
inline constexpr bool kIsOut =
    std::is_lvalue_reference_v<A> && !std::is_const_v<std::remove_reference_t<A>>;

template <class Fn>
struct MemberFunction;
template <class R, class B, class... A>
struct MemberFunction<R (B::*)(A...)> {
  using Result = R;
  using Class = B;
  using Args = std::tuple<A...>;
};
template <class R, class B, class... A>
struct MemberFunction<R (B::*)(A...) const> : MemberFunction<R (B::*)(A...)> {};
template <class R, class B, class... A>
struct MemberFunction<R (B::*)(A...) noexcept> : MemberFunction<R (B::*)(A...)> {};
template <class R, class B, class... A>
struct MemberFunction<R (B::*)(A...) const noexcept> : MemberFunction<R (B::*)(A...)> {};

// A description whose parameter names do not match the signature: a programming error,
// reported on stderr; the process aborts.
[[noreturn]] PLATFORM_API void DescriptionMismatch(std::u16string_view member);

template <class T>
constexpr auto AcceptsOf() -> bool (*)(const Variant&) {
  if constexpr (requires(const Variant& v) { AutomationType<T>::Matches(v); }) {
    return &AutomationType<T>::Matches;
  } else {
    return nullptr;
  }
}

template <class A, std::size_t I, class Values>
void WriteBack(std::span<Variant> args, Values& values) {
  if constexpr (kIsOut<A>) args[I] = AutomationType<Bare<A>>::To(std::get<I>(values));
}

template <class Fn, class... A, std::size_t... I>
void CallMember(Dispatch& self, Fn fn, [[maybe_unused]] std::span<Variant> args, Variant& result,
                std::index_sequence<I...>) {
  using Info = MemberFunction<Fn>;
  auto& object = static_cast<typename Info::Class&>(self);
  std::tuple<Bare<A>...> values{AutomationType<Bare<A>>::From(args[I])...};
  try {
    if constexpr (std::is_void_v<typename Info::Result>) {
      (object.*fn)(std::get<I>(values)...);
    } else {
      using R = Bare<typename Info::Result>;
      result = AutomationType<R>::To((object.*fn)(std::get<I>(values)...));
    }
  } catch (...) {
    (WriteBack<A, I>(args, values), ...);
    throw;
  }
  (WriteBack<A, I>(args, values), ...);
}

template <class Fn, class... A>
MemberDesc Describe(std::u16string_view name, MemberKind kind, Fn fn,
                    std::initializer_list<Param> params, std::tuple<A...>*) {
  static_assert(std::is_base_of_v<Dispatch, typename MemberFunction<Fn>::Class>,
                "automation members belong to a class derived from platform::Dispatch");
  if (params.size() != sizeof...(A)) DescriptionMismatch(name);
  MemberDesc m;
  m.name = name;
  m.kind = kind;
  const VARTYPE types[] = {AutomationType<Bare<A>>::vt..., VT_EMPTY};
  const bool outs[] = {kIsOut<A>..., false};
  bool (*const accepts[])(const Variant&) = {AcceptsOf<Bare<A>>()..., nullptr};
  std::size_t i = 0;
  for (const Param& p : params) {
    m.params.push_back(
        ParamDesc{p.name, types[i], outs[i] || p.byRef, p.optional, p.defaultValue, accepts[i]});
    ++i;
  }
  using R = typename MemberFunction<Fn>::Result;
  if constexpr (!std::is_void_v<R>) m.result = AutomationType<Bare<R>>::vt;
  m.invoke = [fn](Dispatch& self, std::span<Variant> args, Variant& result) {
    CallMember<Fn, A...>(self, fn, args, result, std::index_sequence_for<A...>{});
  };
  return m;
}

}  // namespace detail

// A method: its name, the member function, and one Param per parameter of the function.
template <class Fn>
MemberDesc Method(std::u16string_view name, Fn fn, std::initializer_list<Param> params = {}) {
  using Args = typename detail::MemberFunction<Fn>::Args;
  return detail::Describe(name, MemberKind::kMethod, fn, params, static_cast<Args*>(nullptr));
}

// A read-only property: a member function without parameters.
template <class Fn>
MemberDesc Property(std::u16string_view name, Fn fn) {
  using Args = typename detail::MemberFunction<Fn>::Args;
  static_assert(std::tuple_size_v<Args> == 0, "a property getter takes no parameters");
  return detail::Describe(name, MemberKind::kPropertyGet, fn, {}, static_cast<Args*>(nullptr));
}

}  // namespace platform
