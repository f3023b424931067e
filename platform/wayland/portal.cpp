// The Screenshot portal client on sd-bus, and the PNG reader for its answer.
//
// A request goes like this: subscribe to Response on the request path that the portal will
// use (predicted from our unique name and a handle_token), call Screenshot, wait for the
// answer while the thread's messages are dispatched, then read and delete the file. Portals
// older than the handle_token convention pick the path themselves and return it from the call;
// their answer may come before the call's reply is read, so answers on other paths are kept
// until the reply names the request's path.
#include "platform/wayland/portal.h"

#include <png.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/wayland/bus.h"

namespace platform::wayland {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDesktop = "org.freedesktop.portal.Desktop";
constexpr const char* kDesktopPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenshot = "org.freedesktop.portal.Screenshot";
constexpr const char* kRequest = "org.freedesktop.portal.Request";

Screenshot Failure(Outcome outcome, std::string error) {
  Screenshot s;
  s.outcome = outcome;
  s.error = std::move(error);
  return s;
}

Bus OpenPortalBus(std::string* why) {
  Bus bus = OpenSessionBus(why);
  if (!bus) *why = "no session bus to reach the screenshot portal: " + *why;
  return bus;
}

// Asks for the Screenshot interface's version: this also starts a portal that the bus
// activates on demand.
bool Offered(sd_bus* bus, std::string* why) {
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kDesktop, kDesktopPath,
                                         "org.freedesktop.DBus.Properties", "Get");
  Message call(raw), reply;
  if (r >= 0) r = sd_bus_message_append(call.get(), "ss", kScreenshot, "version");
  if (r >= 0) {
    sd_bus_message* answer = nullptr;
    r = sd_bus_call(bus, call.get(), kCallMicroseconds, &error.e, &answer);
    reply.reset(answer);
  }
  if (r >= 0) return true;
  if (sd_bus_error_has_name(&error.e, "org.freedesktop.DBus.Error.ServiceUnknown") ||
      sd_bus_error_has_name(&error.e, "org.freedesktop.DBus.Error.NameHasNoOwner"))
    *why =
        "no screenshot portal on the session bus (nothing provides " + std::string(kDesktop) + ")";
  else if (sd_bus_error_has_name(&error.e, "org.freedesktop.DBus.Error.UnknownInterface") ||
           sd_bus_error_has_name(&error.e, "org.freedesktop.DBus.Error.UnknownProperty") ||
           sd_bus_error_has_name(&error.e, "org.freedesktop.DBus.Error.InvalidArgs"))
    *why = "no screenshot portal on the session bus (the desktop portal offers no " +
           std::string(kScreenshot) + ")";
  else
    *why = "the screenshot portal on the session bus does not answer: " + error.Text(r);
  return false;
}

std::string NameOwner(sd_bus* bus) {
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetNameOwner", &error.e, &raw, "s", kDesktop) < 0)
    return {};
  Message reply(raw);
  const char* owner = nullptr;
  return sd_bus_message_read(reply.get(), "s", &owner) >= 0 && owner ? owner : "";
}

struct Answer {
  std::string path;
  std::uint32_t response = 2;
  std::string uri;
};

struct Request {
  std::string predicted;  // the path from our name and handle_token
  std::string handle;     // the path the call returned
  bool replied = false;
  bool answered = false;
  std::string call_error;
  Answer answer;
  std::vector<Answer> early;  // answers on other paths before the reply
};

// Response(u response, a{sv} results): the code and the results' "uri".
bool ReadAnswer(sd_bus_message* m, Answer* a) {
  a->path = sd_bus_message_get_path(m) ? sd_bus_message_get_path(m) : "";
  if (sd_bus_message_read(m, "u", &a->response) < 0) return false;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  int r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    const char* uri = nullptr;
    if (std::strcmp(key, "uri") == 0 && sd_bus_message_enter_container(m, 'v', "s") > 0) {
      if (sd_bus_message_read(m, "s", &uri) < 0) return false;
      a->uri = uri;
      sd_bus_message_exit_container(m);
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return r >= 0;
}

void Accept(Request* request, Answer answer) {
  request->answer = std::move(answer);
  request->answered = true;
}

int OnResponse(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* request = static_cast<Request*>(data);
  if (request->answered) return 0;  // both subscriptions see the predicted path's answer
  Answer a;
  if (!ReadAnswer(m, &a)) a.response = 0xFFFFFFFF;
  if (a.path == request->predicted || (request->replied && a.path == request->handle))
    Accept(request, std::move(a));
  else if (!request->replied)
    request->early.push_back(std::move(a));
  return 0;
}

int OnReply(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* request = static_cast<Request*>(data);
  request->replied = true;
  if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
    request->call_error = std::string(e->name) + ": " + (e->message ? e->message : "");
    return 0;
  }
  const char* path = nullptr;
  if (sd_bus_message_read(m, "o", &path) < 0 || !path) {
    request->call_error = "the Screenshot call returned no request path";
    return 0;
  }
  request->handle = path;
  for (Answer& a : request->early)
    if (!request->answered && a.path == request->handle) Accept(request, std::move(a));
  request->early.clear();
  return 0;
}

// The request path element from our unique name: ":1.42" gives "1_42".
std::string SenderElement(const char* unique) {
  std::string s = unique && *unique == ':' ? unique + 1 : (unique ? unique : "");
  for (char& c : s)
    if (c == '.') c = '_';
  return s;
}

std::string NewToken() {
  static unsigned counter = 0;
  return "pictoss_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

bool SendScreenshotCall(sd_bus* bus, Request* request, const std::string& token, Slot* slot,
                        std::string* why) {
  sd_bus_message* raw = nullptr;
  int r =
      sd_bus_message_new_method_call(bus, &raw, kDesktop, kDesktopPath, kScreenshot, "Screenshot");
  Message call(raw);
  if (r >= 0) r = sd_bus_message_append(call.get(), "s", "");
  if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(call.get(), "{sv}", "handle_token", "s", token.c_str());
  if (r >= 0) r = sd_bus_message_append(call.get(), "{sv}", "interactive", "b", 0);
  if (r >= 0) r = sd_bus_message_append(call.get(), "{sv}", "modal", "b", 0);
  if (r >= 0) r = sd_bus_message_close_container(call.get());
  sd_bus_slot* s = nullptr;
  if (r >= 0) r = sd_bus_call_async(bus, &s, call.get(), OnReply, request, kCallMicroseconds);
  slot->reset(s);
  if (r >= 0) r = sd_bus_flush(bus);
  if (r < 0) *why = std::string("cannot call the screenshot portal: ") + std::strerror(-r);
  return r >= 0;
}

void Pump(sd_bus* bus) {
  while (sd_bus_process(bus, nullptr) > 0) {
  }
}

// Waits for the answer until the deadline.
void WaitForAnswer(sd_bus* bus, const Request& request, Clock::time_point deadline,
                   const Wait& wait) {
  int fd = sd_bus_get_fd(bus);
  Pump(bus);
  while (!request.answered && request.call_error.empty()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    auto most = std::min(left, std::chrono::milliseconds(100));
    if (wait) {
      wait(fd, most);
    } else {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(most.count()));
    }
    Pump(bus);
  }
}

void CloseRequest(sd_bus* bus, const Request& request) {
  const std::string& path = request.handle.empty() ? request.predicted : request.handle;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kDesktop, path.c_str(), kRequest, "Close") < 0)
    return;
  Message call(raw);
  BusError error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call(bus, call.get(), kCallMicroseconds, &error.e, &reply) >= 0)
    sd_bus_message_unref(reply);
}

Screenshot ReadAnswerFile(const Answer& answer) {
  if (answer.uri.empty())
    return Failure(Outcome::kFailed, "the screenshot portal answered without a picture");
  std::string path = PathFromFileUri(answer.uri);
  if (path.empty())
    return Failure(Outcome::kFailed,
                   "the screenshot portal's picture is not a local file: " + answer.uri);
  Screenshot s;
  std::string error;
  bool read = ReadPng(path, &s.image, &error);
  // The file is ours to remove, read or not: the portal leaves it to us.
  if (unlink(path.c_str()) != 0 && read)
    return Failure(Outcome::kFailed,
                   "cannot remove the screenshot file " + path + ": " + std::strerror(errno));
  if (!read) return Failure(Outcome::kFailed, "cannot read the screenshot: " + error);
  s.outcome = Outcome::kOk;
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ScreenshotPortalAvailable(std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  Bus bus = OpenPortalBus(why);
  return bus && Offered(bus.get(), why);
}

Screenshot TakeScreenshot(std::chrono::milliseconds timeout, const Wait& wait) {
  auto deadline = Clock::now() + timeout;
  std::string why;
  Bus bus = OpenPortalBus(&why);
  if (!bus || !Offered(bus.get(), &why)) return Failure(Outcome::kNoPortal, why);
  const char* unique = nullptr;
  sd_bus_get_unique_name(bus.get(), &unique);
  std::string owner = NameOwner(bus.get());
  const char* sender = owner.empty() ? nullptr : owner.c_str();

  Request request;
  std::string token = NewToken();
  request.predicted = std::string(kDesktopPath) + "/request/" + SenderElement(unique) + "/" + token;
  sd_bus_slot *predicted = nullptr, *any = nullptr;
  int r = sd_bus_match_signal(bus.get(), &predicted, sender, request.predicted.c_str(), kRequest,
                              "Response", OnResponse, &request);
  if (r >= 0)
    r = sd_bus_match_signal(bus.get(), &any, sender, nullptr, kRequest, "Response", OnResponse,
                            &request);
  Slot predicted_slot(predicted), any_slot(any), call_slot;
  if (r < 0)
    return Failure(Outcome::kFailed,
                   std::string("cannot subscribe to the portal's answer: ") + std::strerror(-r));
  if (!SendScreenshotCall(bus.get(), &request, token, &call_slot, &why))
    return Failure(Outcome::kFailed, why);

  WaitForAnswer(bus.get(), request, deadline, wait);
  if (!request.call_error.empty())
    return Failure(Outcome::kFailed,
                   "the screenshot portal refused the request: " + request.call_error);
  if (!request.answered) {
    CloseRequest(bus.get(), request);
    return Failure(Outcome::kTimedOut,
                   "the screenshot portal did not answer within " +
                       std::to_string(timeout.count()) +
                       " ms; a permission dialog (\"Allow Applications to Take Screenshots?\") "
                       "may be waiting on the screen: answer it, then capture again");
  }
  switch (request.answer.response) {
    case 0:
      return ReadAnswerFile(request.answer);
    case 1:
      return Failure(Outcome::kCancelled, "the screenshot was cancelled");
    case 2:
      return Failure(Outcome::kDenied, "the desktop portal denied the screenshot");
    default:
      return Failure(Outcome::kFailed, "the screenshot portal gave an unknown answer (" +
                                           std::to_string(request.answer.response) + ")");
  }
}

std::string PathFromFileUri(const std::string& uri) {
  std::string rest;
  if (uri.rfind("file:///", 0) == 0)
    rest = uri.substr(7);
  else if (uri.rfind("file://localhost/", 0) == 0)
    rest = uri.substr(16);
  else
    return {};
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '?' || rest[i] == '#') return {};
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    int hi = i + 2 < rest.size() ? HexValue(rest[i + 1]) : -1;
    int lo = hi >= 0 ? HexValue(rest[i + 2]) : -1;
    if (lo < 0 || (hi == 0 && lo == 0)) return {};
    path += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return path;
}

bool ReadPng(const std::string& path, Image* image, std::string* error) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    *error = path + ": " + png.message;
    return false;
  }
  // Blue, green, red, alpha bytes: the screen's 32-bit pixel as a little-endian word.
  png.format = PNG_FORMAT_BGRA;
  constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 28;
  if (png.width == 0 || png.height == 0 || png.width > std::numeric_limits<int>::max() / 4 ||
      std::uint64_t{png.width} * png.height > kMostPixels) {
    *error = path + ": a picture of " + std::to_string(png.width) + " x " +
             std::to_string(png.height) + " pixels is refused";
    png_image_free(&png);
    return false;
  }
  image->width = static_cast<int>(png.width);
  image->height = static_cast<int>(png.height);
  image->pixels.assign(std::size_t{png.width} * png.height, 0);
  if (!png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr)) {
    *error = path + ": " + png.message;
    png_image_free(&png);
    *image = {};
    return false;
  }
  return true;
}

}  // namespace platform::wayland
