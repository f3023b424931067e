// Automation: the dispatch interface and the class descriptions that drive it, the way
// late-bound callers reach an object by method name (the values are in variant.h). A
// by-reference argument points into the caller's Variant, which
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

#include "platform/base/windef.h"
#include "platform/ole/object.h"
#include "platform/ole/variant.h"

// What a failed call reports when the method raised an error. number is the run-time error
// number (13 for "Type mismatch"); scode is the same as a status code.
struct EXCEPINFO {
  std::int32_t number = 0;
  HRESULT scode = S_OK;
  std::u16string source;
  std::u16string description;
};

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

// A kind that a variant holds as it is: read with its accessor, made by its constructor.
template <class T, VARTYPE Vt, auto Get>
struct PlainAutomationType {
  static constexpr VARTYPE vt = Vt;
  static T From(const Variant& v) { return (v.*Get)(); }
  static Variant To(T v) { return Variant(std::move(v)); }
};

template <>
struct AutomationType<std::int16_t> : PlainAutomationType<std::int16_t, VT_I2, &Variant::iVal> {};
template <>
struct AutomationType<std::int32_t> : PlainAutomationType<std::int32_t, VT_I4, &Variant::lVal> {};
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
struct AutomationType<double> : PlainAutomationType<double, VT_R8, &Variant::dblVal> {};
template <>
struct AutomationType<bool> {
  static constexpr VARTYPE vt = VT_BOOL;
  static bool From(const Variant& v) { return v.boolVal() != VARIANT_FALSE; }
  static Variant To(bool v) { return Variant(v); }
};
template <>
struct AutomationType<OleDate> : PlainAutomationType<OleDate, VT_DATE, &Variant::date> {};
template <>
struct AutomationType<std::u16string>
    : PlainAutomationType<std::u16string, VT_BSTR, &Variant::bstrVal> {};
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
