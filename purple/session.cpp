#include "purple/session.h"

#include <ctime>
#include <exception>
#include <string_view>
#include <utility>

#include "hosting/setup.h"
#include "platform/ole/com.h"
#include "platform/user/messageloop.h"
#include "product/product.h"

namespace pictoss_purple {
namespace {

constexpr char kLog[] = "pictoss";

// The account still exists (it may have been deleted while a command waited).
bool AccountAlive(PurpleAccount* account) {
  return g_list_find(purple_accounts_get_all(), account) != nullptr;
}

// An error that goes into the conversation and not into its log.
void WriteError(PurpleConversation* conv, const std::string& text) {
  gchar* escaped = g_markup_escape_text(text.c_str(), -1);
  purple_conversation_write(conv, nullptr, escaped,
                            PurpleMessageFlags(PURPLE_MESSAGE_ERROR | PURPLE_MESSAGE_NO_LOG),
                            std::time(nullptr));
  g_free(escaped);
}

std::string PlainText(const gchar* markup) {
  if (!markup) return "";
  gchar* plain = purple_markup_strip_html(markup);
  std::string text = plain ? plain : "";
  g_free(plain);
  return text;
}

// "xptfull &lt;optional time delay&gt;: Full Screen", the way the client's own commands read.
std::string HelpText(const hosting::PublishedCommand& command) {
  std::string help = command.word;
  if (!command.help.empty()) help += " <" + command.help + ">";
  if (!command.name.empty()) help += ": " + command.name;
  gchar* escaped = g_markup_escape_text(help.c_str(), -1);
  std::string text = escaped;
  g_free(escaped);
  return text;
}

// Whether the typed word is one of the commands that answer with a file.
bool SendsFile(std::string_view word) {
  if (!word.starts_with('/')) return false;
  word.remove_prefix(1);
  for (std::string_view sending :
       {product::kFullScreenWord.narrow(), product::kActiveWindowWord.narrow()}) {
    if (word.size() == sending.size() &&
        g_ascii_strncasecmp(word.data(), sending.data(), word.size()) == 0) {
      return true;
    }
  }
  return false;
}

// Whether a file sent now would reach the conversation; if not, why not.
bool CanReceiveFile(PurpleConversation* conv, std::string* why) {
  PurpleConnection* gc = purple_conversation_get_gc(conv);
  PurplePlugin* prpl = gc ? purple_connection_get_prpl(gc) : nullptr;
  PurplePluginProtocolInfo* info = prpl ? PURPLE_PLUGIN_PROTOCOL_INFO(prpl) : nullptr;
  if (!info) {
    *why = "the account is not connected";
    return false;
  }
  if (purple_conversation_get_type(conv) == PURPLE_CONV_TYPE_CHAT) {
    const int id = purple_conv_chat_get_id(PURPLE_CONV_CHAT(conv));
    if (!PURPLE_PROTOCOL_PLUGIN_HAS_FUNC(info, chat_send_file) ||
        (PURPLE_PROTOCOL_PLUGIN_HAS_FUNC(info, chat_can_receive_file) &&
         !info->chat_can_receive_file(gc, id))) {
      *why = "this chat cannot receive files";
      return false;
    }
    return true;
  }
  const char* who = purple_conversation_get_name(conv);
  if (!info->send_file) {
    *why = "this account cannot send files";
    return false;
  }
  if (info->can_receive_file && !info->can_receive_file(gc, who)) {
    *why = std::string(who) + " cannot receive files now (offline, or their client takes none)";
    return false;
  }
  return true;
}

}  // namespace

void LogException(const char* where) {
  try {
    throw;
  } catch (const std::exception& e) {
    purple_debug_error(kLog, "%s: %s\n", where, e.what());
  } catch (...) {
    purple_debug_error(kLog, "%s: an unknown exception\n", where);
  }
}

std::unique_ptr<Session> Session::Start(PurplePlugin* plugin, const std::filesystem::path& module,
                                        std::string* why) {
  hosting::CreateFailure failure;
  platform::Ref<platform::Dispatch> object = hosting::CreatePlugin(why, &failure);
  if (failure == hosting::CreateFailure::kNotRegistered) {
    purple_debug_info(kLog, "%s; registering %s\n", why->c_str(), module.c_str());
    if (!hosting::SetUp(module, why)) return nullptr;
    object = hosting::CreatePlugin(why, &failure);
  }
  if (!object) return nullptr;
  hosting::CallError error;
  std::optional<hosting::PublishInfo> published = hosting::StartPlugin(*object, &error);
  if (!published) {
    *why = hosting::ErrorLine(error);
    return nullptr;
  }
  std::unique_ptr<Session> session(new Session(plugin, std::move(object)));
  std::error_code ec;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) {
    *why = "no temporary folder: " + ec.message();
    return nullptr;
  }
  if (!session->sent_.Open(temp, why)) return nullptr;
  session->RegisterCommands(published->commands);
  void* xfers = purple_xfers_get_handle();
  for (const char* signal : {"file-send-complete", "file-send-cancel"}) {
    purple_signal_connect(xfers, signal, plugin, PURPLE_CALLBACK(OnTransferEnded), session.get());
  }
  purple_signal_connect(purple_get_core(), "quitting", plugin, PURPLE_CALLBACK(OnQuitting),
                        session.get());
  std::string warning = hosting::CaptureWarning();
  if (!warning.empty()) purple_debug_warning(kLog, "%s\n", warning.c_str());
  purple_debug_info(kLog, "%s started with %zu commands\n", published->pluginName.c_str(),
                    published->commands.size());
  return session;
}

Session::Session(PurplePlugin* plugin, platform::Ref<platform::Dispatch> object)
    : plugin_(plugin),
      object_(std::move(object)),
      bridge_(std::make_unique<LoopBridge>(g_main_context_default())) {}

Session::~Session() {
  if (!abandoned_) {
    purple_signals_disconnect_by_handle(plugin_);
    for (PurpleCmdId id : commands_) purple_cmd_unregister(id);
    if (!queue_.empty()) {
      purple_debug_warning(kLog, "unloaded with %zu typed commands not run\n", queue_.size());
    }
  }
  Abandon();
}

// Lets go of everything that is the session's own, and of nothing of libpurple's.
void Session::Abandon() {
  abandoned_ = true;
  if (idle_) g_source_remove(idle_);
  idle_ = 0;
  queue_.clear();
  if (object_) hosting::CallMethod(*object_, u"Uninitialize", {});
  object_ = nullptr;
  bridge_.reset();
  sent_.Close();
}

// The client begins to quit. With a call running, this comes from inside it (the call runs the
// client's loop): the call is asked to end, and the module is kept loaded for good, since the
// client closes its plug-ins' modules before the call can return into this one.
void Session::OnQuitting(gpointer data) {
  auto* self = static_cast<Session*>(data);
  self->quitting_ = true;
  if (!self->running_) return;
  purple_debug_info(kLog, "the client quits: the running command ends\n");
  platform::PostQuitMessage(0);
  if (self->plugin_ && self->plugin_->handle) {
    g_module_make_resident(static_cast<GModule*>(self->plugin_->handle));
  }
}

void Session::RegisterCommands(const std::vector<hosting::PublishedCommand>& commands) {
  const auto flags =
      PurpleCmdFlag(PURPLE_CMD_FLAG_IM | PURPLE_CMD_FLAG_CHAT | PURPLE_CMD_FLAG_ALLOW_WRONG_ARGS);
  for (const auto& command : commands) {
    if (command.word.empty()) continue;
    PurpleCmdId id = purple_cmd_register(command.word.c_str(), "s", PURPLE_CMD_P_PLUGIN, flags,
                                         nullptr, OnCommand, HelpText(command).c_str(), this);
    if (id == 0) {
      purple_debug_warning(kLog, "the command /%s is taken; not registered\n",
                           command.word.c_str());
      continue;
    }
    commands_.push_back(id);
  }
}

// Returns at once: the command runs from an idle source, after any that were typed before it.
PurpleCmdRet Session::OnCommand(PurpleConversation* conv, const gchar* cmd, gchar** args, gchar**,
                                void* data) {
  try {
    auto* self = static_cast<Session*>(data);
    const gchar* argument = args && args[0] ? args[0] : nullptr;
    Typed typed{purple_conversation_get_account(conv),
                purple_conversation_get_type(conv),
                purple_conversation_get_name(conv),
                std::string("/") + cmd,
                PlainText(argument),
                std::string("/") + cmd + (argument ? std::string(" ") + argument : "")};
    self->queue_.push_back(std::move(typed));
    if (!self->idle_) self->idle_ = g_idle_add(RunQueued, self);
  } catch (...) {
    LogException(cmd);
  }
  return PURPLE_CMD_RET_OK;
}

// GLib does not dispatch a source again while it runs, so calls are never nested: commands
// typed during a call wait in the queue for the next round.
gboolean Session::RunQueued(gpointer data) {
  auto* self = static_cast<Session*>(data);
  if (!self->queue_.empty()) {
    Typed typed = std::move(self->queue_.front());
    self->queue_.pop_front();
    try {
      self->Run(typed);
    } catch (...) {
      if (!self->quitting_) LogException(typed.word.c_str());
    }
  }
  if (self->quitting_) {
    // The client quit during the call: its objects are gone, this source with them.
    platform::PeekQuitMessage(true);
    self->idle_ = 0;
    self->Abandon();
    CoFreeUnusedLibraries();
    return G_SOURCE_REMOVE;
  }
  if (!self->queue_.empty()) return G_SOURCE_CONTINUE;
  self->idle_ = 0;
  return G_SOURCE_REMOVE;
}

// A call into the plug-in: the session is busy and the message loops are bridged meanwhile.
class Session::CallScope {
 public:
  explicit CallScope(Session& session) : session_(session) {
    session_.running_ = true;
    session_.bridge_->BeginCall();
  }
  ~CallScope() {
    session_.bridge_->EndCall();
    session_.running_ = false;
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Session& session_;
};

// The typed command's conversation, if it is still open and its account still exists.
PurpleConversation* Session::Find(const Typed& typed) {
  return AccountAlive(typed.account) ? purple_find_conversation_with_account(
                                           typed.type, typed.conversation.c_str(), typed.account)
                                     : nullptr;
}

void Session::Run(const Typed& typed) {
  hosting::CallError error;
  if (SendsFile(typed.word)) {
    std::string why;
    PurpleConversation* conv = Find(typed);
    if (conv && !CanReceiveFile(conv, &why)) {
      WriteError(conv, typed.word + ": " + why + "; nothing was captured");
      return;
    }
  }
  purple_debug_info(kLog, "running %s\n", typed.word.c_str());
  std::optional<hosting::CommandOutcome> outcome;
  {
    CallScope call(*this);
    outcome = hosting::ParseCommand(*object_, typed.word, typed.argument, &error);
  }
  if (quitting_) return;  // the conversation, its account and the log are gone
  // The conversation may have closed, or its account gone, while the call waited.
  PurpleConversation* conv = Find(typed);
  if (!conv) {
    purple_debug_warning(kLog, "the conversation with %s closed before %s ended: %s\n",
                         typed.conversation.c_str(), typed.word.c_str(),
                         outcome ? "nothing sent" : hosting::ErrorLine(error).c_str());
    return;
  }
  if (!outcome) {
    WriteError(conv, hosting::ErrorLine(error));
  } else if (!outcome->handled) {
    SendText(conv, typed.line);
  } else if (std::optional<std::string> file = hosting::DroppedFile(outcome->reply)) {
    SendFile(conv, *file);
  } else if (!outcome->reply.empty()) {
    gchar* escaped = g_markup_escape_text(outcome->reply.c_str(), -1);
    SendText(conv, escaped);
    g_free(escaped);
  }
}

void Session::SendText(PurpleConversation* conv, const std::string& markup) {
  if (purple_conversation_get_type(conv) == PURPLE_CONV_TYPE_CHAT) {
    purple_conv_chat_send(PURPLE_CONV_CHAT(conv), markup.c_str());
  } else {
    purple_conv_im_send(PURPLE_CONV_IM(conv), markup.c_str());
  }
}

void Session::SendFile(PurpleConversation* conv, const std::string& path) {
  PurpleConnection* gc = purple_conversation_get_gc(conv);
  if (!gc) {
    WriteError(conv, "error: cannot send file " + path + ": the account is not connected");
    return;
  }
  std::string why;
  std::filesystem::path copy = sent_.Copy(path, &why);
  if (copy.empty()) {
    WriteError(conv, "error: cannot send file " + path + ": " + why);
    return;
  }
  if (purple_conversation_get_type(conv) == PURPLE_CONV_TYPE_CHAT) {
    serv_chat_send_file(gc, purple_conv_chat_get_id(PURPLE_CONV_CHAT(conv)), copy.c_str());
  } else {
    serv_send_file(gc, purple_conversation_get_name(conv), copy.c_str());
  }
}

void Session::OnTransferEnded(PurpleXfer* xfer, gpointer data) {
  try {
    const char* file = purple_xfer_get_local_filename(xfer);
    if (file) static_cast<Session*>(data)->sent_.Release(file);
  } catch (...) {
    LogException("file transfer");
  }
}

}  // namespace pictoss_purple
