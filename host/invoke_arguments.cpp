#include "host/invoke_arguments.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/base/text.h"

namespace host {

using platform::Variant;

namespace {

template <class T>
std::optional<T> ReadInteger(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> ReadReal(std::string_view text) {
  double value = 0;
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
    if (auto v = ReadInteger<std::int16_t>(value)) return Variant(*v);
  } else if (type == "i4") {
    if (auto v = ReadInteger<std::int32_t>(value)) return Variant(*v);
  } else if (type == "r8") {
    if (auto v = ReadReal(value)) return Variant(*v);
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

}  // namespace

// {"type":...,"value":...} with the type named as on the command line.
std::string JsonVariant(const Variant& v) {
  std::string type, value = "null";
  switch (v.vt()) {
    case VT_EMPTY:
      type = "empty";
      break;
    case VT_I2:
      type = "i2";
      value = std::to_string(v.iVal());
      break;
    case VT_I4:
      type = "i4";
      value = std::to_string(v.lVal());
      break;
    case VT_INT_PTR:
      type = "ptr";
      value = std::to_string(v.intPtr());
      break;
    case VT_R8:
      type = "r8";
      value = JsonReal(v.dblVal());
      break;
    case VT_DATE:
      type = "date";
      value = JsonReal(v.date().days);
      break;
    case VT_BOOL:
      type = "bool";
      value = v.boolVal() ? "true" : "false";
      break;
    case VT_BSTR:
      type = "str";
      value = JsonString(platform::ToAnsi(v.bstrVal()));
      break;
    case VT_DISPATCH:
      type = v.object() ? "object" : "nothing";
      break;
    default:
      type = v.IsMissing() ? "missing" : "unknown";
      break;
  }
  return "{\"type\":\"" + type + "\",\"value\":" + value + "}";
}

}  // namespace host
