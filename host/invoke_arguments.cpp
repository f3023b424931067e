#include "host/invoke_arguments.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/base/text.h"

namespace host {

using platform::Variant;

namespace {

// The whole text as a number of type T (an integer type or double).
template <class T>
std::optional<T> ReadNumber(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

// "TYPE:VALUE" as a variant.
std::optional<Variant> ReadArgument(const std::string& spec) {
  std::size_t colon = spec.find(':');
  std::string type = spec.substr(0, colon);
  std::string value = colon == std::string::npos ? "" : spec.substr(colon + 1);
  if (type == "str") return Variant(platform::FromAnsi(value));
  if (type == "i2") {
    if (auto v = ReadNumber<std::int16_t>(value)) return Variant(*v);
  } else if (type == "i4") {
    if (auto v = ReadNumber<std::int32_t>(value)) return Variant(*v);
  } else if (type == "r8") {
    if (auto v = ReadNumber<double>(value)) return Variant(*v);
  } else if (type == "bool") {
    if (value == "true" || value == "false") return Variant(value == "true");
  } else if (type == "empty" && value.empty()) {
    return Variant();
  } else if (type == "nothing" && value.empty()) {
    return Variant::Nothing();
  } else if (type == "missing" && value.empty()) {
    return Variant::Missing();
  }
  return std::nullopt;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

namespace {

std::string JsonReal(double value) {
  if (!std::isfinite(value)) return "null";
  // JSON numbers use a point whatever the locale says.
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return std::string(text, ec == std::errc() ? end : text);
}

std::string Json(std::string_view type, const std::string& value = "null") {
  return "{\"type\":\"" + std::string(type) + "\",\"value\":" + value + "}";
}

}  // namespace

// {"type":...,"value":...} with the type named as on the command line.
std::string JsonVariant(const Variant& v) {
  switch (v.vt()) {
    case VT_EMPTY:
      return Json("empty");
    case VT_I2:
      return Json("i2", std::to_string(v.iVal()));
    case VT_I4:
      return Json("i4", std::to_string(v.lVal()));
    case VT_INT_PTR:
      return Json("ptr", std::to_string(v.intPtr()));
    case VT_R8:
      return Json("r8", JsonReal(v.dblVal()));
    case VT_DATE:
      return Json("date", JsonReal(v.date().days));
    case VT_BOOL:
      return Json("bool", v.boolVal() ? "true" : "false");
    case VT_BSTR:
      return Json("str", JsonString(platform::ToAnsi(v.bstrVal())));
    case VT_DISPATCH:
      return Json(v.object() ? "object" : "nothing");
    default:
      return Json(v.IsMissing() ? "missing" : "unknown");
  }
}

}  // namespace host
