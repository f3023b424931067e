// Variants: their values, and the conversion between kinds that late-bound callers expect.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "platform/base/locale.h"
#include "platform/base/text.h"
#include "platform/ole/variant.h"
#include "platform/runtime/datetime.h"
#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"

namespace platform {

Variant Variant::IntPtr(LONG_PTR v) {
  Variant r;
  r.vt_ = VT_INT_PTR;
  r.i4_ = v;
  return r;
}

Variant Variant::Missing() {
  Variant r;
  r.vt_ = VT_ERROR;
  r.i4_ = DISP_E_PARAMNOTFOUND;
  return r;
}

bool Variant::operator==(const Variant& other) const {
  if (vt_ != other.vt_) return false;
  switch (vt_) {
    case VT_R8:
    case VT_DATE:
      return r8_ == other.r8_;
    case VT_BSTR:
      return str_ == other.str_;
    case VT_DISPATCH:
      return obj_.get() == other.obj_.get();
    default:
      return i4_ == other.i4_;
  }
}

}  // namespace platform

using platform::OleDate;
using platform::Variant;

namespace {

// A numeric reading of a variant: exact for the integer kinds, a double for the others.
struct Number {
  bool integral = true;
  LONG_PTR integer = 0;
  double real = 0;
  double AsDouble() const { return integral ? static_cast<double>(integer) : real; }
};

std::u16string_view TrimBlanks(std::u16string_view text) {
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t c = a[i] >= u'A' && a[i] <= u'Z' ? a[i] + (u'a' - u'A') : a[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Text to a number through the locale-aware conversion.
HRESULT NumberOfText(const std::u16string& text, Number& n) {
  platform::TextNumber parsed = platform::ParseTextNumber(text);
  if (parsed.error == platform::kOverflow) return DISP_E_OVERFLOW;
  if (parsed.error != 0) return DISP_E_TYPEMISMATCH;
  n.integral = false;
  n.real = parsed.value;
  return S_OK;
}

HRESULT NumberOf(const Variant& in, Number& n) {
  switch (in.vt()) {
    case VT_EMPTY:
      n.integer = 0;
      return S_OK;
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
    case VT_INT_PTR:
      n.integer = in.intPtr();
      return S_OK;
    case VT_R8:
    case VT_DATE:
      n.integral = false;
      n.real = in.dblVal();
      return S_OK;
    case VT_BSTR:
      return NumberOfText(in.bstrVal(), n);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// The nearest integer in [low, high], halves to even.
HRESULT ToInteger(const Number& n, LONG_PTR low, LONG_PTR high, LONG_PTR& out) {
  if (n.integral) {
    if (n.integer < low || n.integer > high) return DISP_E_OVERFLOW;
    out = n.integer;
    return S_OK;
  }
  double r = std::nearbyint(n.real);  // the default rounding mode rounds halves to even
  // high + 1 is a power of two, exact as a double, where high itself may not be.
  if (!(r >= static_cast<double>(low) && r < static_cast<double>(high) + 1.0)) {
    return DISP_E_OVERFLOW;
  }
  out = static_cast<LONG_PTR>(r);
  return S_OK;
}

// 15 significant digits, the way numbers print as text ("0.1", "1E+20", "1.5E-05").
std::u16string RealToText(double value) {
  platform::UseLocale();  // the decimal separator is the locale's
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15G", value);
  return platform::FromAnsi(buffer);
}

// The date as text; nullopt for a date outside the valid range.
std::optional<std::u16string> DateToText(OleDate date) {
  std::optional<platform::DateParts> parts = platform::TryDateToParts(date.days);
  if (!parts) return std::nullopt;
  const platform::DateParts& p = *parts;
  char buffer[64];
  std::string text;
  bool hasDate = std::trunc(date.days) != 0;
  bool hasTime = date.days != std::trunc(date.days);
  if (hasDate || !hasTime) {
    std::snprintf(buffer, sizeof buffer, "%d/%d/%d", p.month, p.day, p.year);
    text = buffer;
  }
  if (hasTime) {
    int hour12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
    std::snprintf(buffer, sizeof buffer, "%s%d:%02d:%02d %s", text.empty() ? "" : " ", hour12,
                  p.minute, p.second, p.hour < 12 ? "AM" : "PM");
    text += buffer;
  }
  return platform::FromAnsi(text);
}

HRESULT ToText(const Variant& in, Variant& out) {
  switch (in.vt()) {
    case VT_EMPTY:
      out = Variant(u"");
      return S_OK;
    case VT_I2:
    case VT_I4:
    case VT_INT_PTR:
      out = Variant(platform::FromAnsi(std::to_string(in.intPtr())));
      return S_OK;
    case VT_R8:
      out = Variant(RealToText(in.dblVal()));
      return S_OK;
    case VT_DATE:
      if (std::optional<std::u16string> text = DateToText(in.date())) {
        out = Variant(std::move(*text));
        return S_OK;
      }
      return DISP_E_OVERFLOW;
    case VT_BOOL:
      out = Variant(in.boolVal() ? u"True" : u"False");
      return S_OK;
    case VT_BSTR:
      out = in;
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT ToBool(const Variant& in, Variant& out) {
  if (in.vt() == VT_BSTR) {
    std::u16string_view text = TrimBlanks(in.bstrVal());
    if (EqualsNoCase(text, u"true") || EqualsNoCase(text, u"false")) {
      out = Variant(EqualsNoCase(text, u"true"));
      return S_OK;
    }
  }
  Number n;
  HRESULT hr = NumberOf(in, n);
  if (FAILED(hr)) return hr;
  out = Variant(n.integral ? n.integer != 0 : n.real != 0);
  return S_OK;
}

HRESULT ToNumber(const Variant& in, VARTYPE vt, Variant& out) {
  Number n;
  HRESULT hr = NumberOf(in, n);
  if (FAILED(hr)) return hr;
  LONG_PTR i = 0;
  switch (vt) {
    case VT_I2:
      hr = ToInteger(n, INT16_MIN, INT16_MAX, i);
      if (SUCCEEDED(hr)) out = Variant(static_cast<std::int16_t>(i));
      return hr;
    case VT_I4:
      hr = ToInteger(n, INT32_MIN, INT32_MAX, i);
      if (SUCCEEDED(hr)) out = Variant(static_cast<std::int32_t>(i));
      return hr;
    case VT_INT_PTR:
      hr = ToInteger(n, std::numeric_limits<LONG_PTR>::min(), std::numeric_limits<LONG_PTR>::max(),
                     i);
      if (SUCCEEDED(hr)) out = Variant::IntPtr(i);
      return hr;
    case VT_R8:
      out = Variant(n.AsDouble());
      return S_OK;
    default: {  // VT_DATE
      double days = n.AsDouble();
      if (!(days >= platform::kMinDate && days <= platform::kMaxDate)) return DISP_E_OVERFLOW;
      out = Variant(OleDate{days});
      return S_OK;
    }
  }
}

}  // namespace

HRESULT VariantChangeType(Variant& out, const Variant& in, VARTYPE vt) {
  if (vt == VT_VARIANT || vt == in.vt()) {
    out = in;
    return S_OK;
  }
  if (in.IsMissing()) return DISP_E_PARAMNOTFOUND;
  switch (vt) {
    case VT_I2:
    case VT_I4:
    case VT_INT_PTR:
    case VT_R8:
      return ToNumber(in, vt, out);
    case VT_DATE:
      // Text is not read as a date here; only numbers convert.
      if (in.vt() == VT_BSTR) return DISP_E_TYPEMISMATCH;
      return ToNumber(in, vt, out);
    case VT_BOOL:
      return ToBool(in, out);
    case VT_BSTR:
      return ToText(in, out);
    case VT_EMPTY:
      out = Variant();
      return S_OK;
    default:  // VT_DISPATCH from anything but an object
      return DISP_E_TYPEMISMATCH;
  }
}
