#include "platform/ole/dispatch.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "platform/base/text.h"
#include "platform/runtime/datetime.h"
#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"

namespace platform {
namespace {

// The run-time errors that a failed C++ operation stands for.
constexpr std::int32_t kOutOfMemory = 7;
constexpr std::int32_t kInternalError = 51;

// The status code of a run-time error, as an automation server reports it.
HRESULT ScodeOfError(std::int32_t number) {
  return MakeHresult(0x800A0000u | (static_cast<std::uint32_t>(number) & 0xFFFFu));
}

char16_t FoldCase(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

}  // namespace

ClassDesc::ClassDesc(std::u16string source, std::vector<MemberDesc> members)
    : source_(std::move(source)), members_(std::move(members)) {
  std::size_t dot = source_.rfind(u'.');
  name_ = dot == std::u16string::npos ? source_ : source_.substr(dot + 1);
}

const MemberDesc* ClassDesc::Find(DISPID id) const {
  if (id < 1 || static_cast<std::size_t>(id) > members_.size()) return nullptr;
  return &members_[id - 1];
}

DISPID ClassDesc::IdOfName(std::u16string_view name) const {
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (EqualNoCase(members_[i].name, name)) return static_cast<DISPID>(i + 1);
  }
  return 0;
}

namespace detail {

void DescriptionMismatch(std::u16string_view member) {
  std::fprintf(stderr, "automation: the description of %s does not match its parameters\n",
               ToAnsi(member).c_str());
  std::abort();
}

}  // namespace detail

Dispatch::Dispatch() : apartment_(std::this_thread::get_id()) {}
Dispatch::~Dispatch() = default;

HRESULT Dispatch::GetIDsOfNames(std::u16string_view name, DISPID* id) {
  if (!id) return E_POINTER;
  if (std::this_thread::get_id() != apartment_) return RPC_E_WRONG_THREAD;
  *id = GetTypeInfo().IdOfName(name);
  return *id == 0 ? DISP_E_UNKNOWNNAME : S_OK;
}

// Fills values with one value of each parameter's kind: the argument converted, or the default
// of an omitted optional parameter.
HRESULT Dispatch::ConvertArguments(const MemberDesc& member, std::span<Argument> args,
                                   std::vector<Variant>& values, UINT* argErr) const {
  const auto& params = member.params;
  std::size_t required = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!params[i].optional) required = i + 1;
  }
  if (args.size() > params.size() || args.size() < required) return DISP_E_BADPARAMCOUNT;
  values.resize(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamDesc& p = params[i];
    const Variant& given = i < args.size() ? args[i].value() : Variant::Missing();
    HRESULT hr = S_OK;
    if (given.IsMissing() && !p.optional) {
      hr = DISP_E_PARAMNOTOPTIONAL;
    } else if (given.IsMissing() && p.type == VT_VARIANT) {
      values[i] = p.defaultValue;  // a Variant parameter sees the omission itself
    } else if (given.IsMissing()) {
      // A typed optional parameter without a default starts as the kind's empty value.
      const Variant& d = p.defaultValue.IsMissing() ? Variant() : p.defaultValue;
      hr = VariantChangeType(values[i], d, p.type);
    } else {
      hr = VariantChangeType(values[i], given, p.type);
      if (SUCCEEDED(hr) && p.accepts && !p.accepts(values[i])) hr = DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) {
      if (argErr) *argErr = static_cast<UINT>(i);
      return hr;
    }
  }
  return S_OK;
}

// Runs the method. This is the one place where an error raised inside a method becomes a
// failed call: the error's number, source and description go into error.
bool Dispatch::RunMember(const MemberDesc& member, std::span<Variant> values, Variant& out,
                         EXCEPINFO& error) {
  std::int32_t number = kInternalError;
  std::u16string description;
  try {
    member.invoke(*this, values, out);
    return true;
  } catch (const RuntimeError& e) {
    error = EXCEPINFO{e.number(), ScodeOfError(e.number()), e.source(), e.description()};
    return false;
  } catch (const std::bad_alloc&) {
    number = kOutOfMemory;
    description = u"Out of memory";
  } catch (const std::exception& e) {
    description = FromAnsi(e.what());
  } catch (...) {
    description = u"Internal error";
  }
  error = EXCEPINFO{number, ScodeOfError(number), GetTypeInfo().source(), std::move(description)};
  return false;
}

HRESULT Dispatch::Invoke(DISPID id, WORD flags, std::span<Argument> args, Variant* result,
                         EXCEPINFO* excepInfo, UINT* argErr) {
  if (std::this_thread::get_id() != apartment_) return RPC_E_WRONG_THREAD;
  const MemberDesc* member = GetTypeInfo().Find(id);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  WORD accepted = member->kind == MemberKind::kMethod ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
  if ((flags & accepted) == 0) return DISP_E_MEMBERNOTFOUND;

  Variant out;
  if (member->result == VT_BOOL) out = Variant(false);
  EXCEPINFO error;
  bool ran = false;
  try {
    std::vector<Variant> values;
    HRESULT hr = ConvertArguments(*member, args, values, argErr);
    if (FAILED(hr)) return hr;
    bool anyByRef = false;
    for (const Argument& a : args) anyByRef = anyByRef || a.byRef();
    std::vector<Variant> passed;
    if (anyByRef) passed = values;
    ran = RunMember(*member, values, out, error);
    // By-reference arguments receive what the method wrote, also when it failed afterwards.
    for (std::size_t i = 0; anyByRef && i < args.size(); ++i) {
      if (args[i].byRef() && member->params[i].byRef && !(values[i] == passed[i])) {
        *args[i].target() = values[i];
      }
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (!ran) {
    if (excepInfo) *excepInfo = std::move(error);
    out = member->result == VT_BOOL ? Variant(false) : Variant();
  }
  if (result) *result = std::move(out);
  return ran ? S_OK : DISP_E_EXCEPTION;
}

HRESULT CallByName(Dispatch& object, std::u16string_view name, WORD flags, std::span<Argument> args,
                   Variant* result, EXCEPINFO* excepInfo, UINT* argErr) {
  DISPID id = 0;
  HRESULT hr = object.GetIDsOfNames(name, &id);
  if (FAILED(hr)) return hr;
  return object.Invoke(id, flags, args, result, excepInfo, argErr);
}

}  // namespace platform
