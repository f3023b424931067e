// purple_client: a headless libpurple client for the chat-client plug-in's end-to-end test. It
// runs its own GLib main loop with the least UI a client needs, signs alice and bob in to an IRC
// server (or an XMPP server) on 127.0.0.1, loads the plug-in by its path, and then takes orders
// on standard input:
//   type LINE     alice types LINE in her conversation with bob (as Pidgin and Finch do)
//   join CHANNEL  alice joins the IRC channel (reported as "alice-joined CHANNEL")
//   type-in CHANNEL LINE  alice types LINE in the channel
//   bob-says TEXT bob sends TEXT to alice
//   bob-off, bob-on  signs bob off or on again
//   load, unload  loads or unloads the plug-in
//   probe PATH    probes another plug-in file, as a client does with each file of its folders
//   ping          answers "pong"
//   quit          signs off and exits
//   core-quit     quits as Pidgin and Finch do (purple_core_quit), also in the middle of a call
//                 into the plug-in, and exits
// and reports on standard output, one event a line: "MS TICKS EVENT [TEXT]", where MS counts
// milliseconds since the start and TICKS the ticks of a 100-ms GLib timer so far. bob accepts
// every file offer into DOWNLOADS and reports the file once its transfer has ended. alice
// reports bob coming online and going offline ("alice-sees-on", "alice-sees-off").
//
// usage: purple_client PLUGIN PORT USERDIR DOWNLOADS [xmpp]
// On XMPP, alice and bob are alice@pictoss.test and bob@pictoss.test with the password "secret".
#include <purple.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr char kUi[] = "pictoss-test";
using Clock = std::chrono::steady_clock;

struct Client {
  Clock::time_point start = Clock::now();
  unsigned long ticks = 0;
  GMainLoop* loop = nullptr;
  PurplePlugin* plugin = nullptr;
  PurpleAccount* alice = nullptr;
  PurpleAccount* bob = nullptr;
  int signedOn = 0;
  std::string downloads;
  // What alice and bob call each other.
  std::string aliceName = "alice", bobName = "bob";
  bool coreQuit = false;
} client;

void Event(const std::string& name, const std::string& text = "") {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - client.start);
  std::string line = std::to_string(ms.count()) + " " + std::to_string(client.ticks) + " " + name;
  if (!text.empty()) line += " " + text;
  std::puts(line.c_str());
  std::fflush(stdout);
}

// ---- The GLib event loop for libpurple, as every GLib client provides it.

constexpr auto kReadCondition = GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR);
constexpr auto kWriteCondition = GIOCondition(G_IO_OUT | G_IO_HUP | G_IO_ERR | G_IO_NVAL);

struct IoClosure {
  PurpleInputFunction function;
  gpointer data;
};

gboolean IoInvoke(GIOChannel* source, GIOCondition condition, gpointer data) {
  auto* closure = static_cast<IoClosure*>(data);
  int purpleCondition = 0;
  if (condition & kReadCondition) purpleCondition |= PURPLE_INPUT_READ;
  if (condition & kWriteCondition) purpleCondition |= PURPLE_INPUT_WRITE;
  closure->function(closure->data, g_io_channel_unix_get_fd(source),
                    PurpleInputCondition(purpleCondition));
  return TRUE;
}

guint InputAdd(gint fd, PurpleInputCondition condition, PurpleInputFunction function,
               gpointer data) {
  auto* closure = new IoClosure{function, data};
  int glibCondition = 0;
  if (condition & PURPLE_INPUT_READ) glibCondition |= kReadCondition;
  if (condition & PURPLE_INPUT_WRITE) glibCondition |= kWriteCondition;
  GIOChannel* channel = g_io_channel_unix_new(fd);
  guint id = g_io_add_watch_full(channel, G_PRIORITY_DEFAULT, GIOCondition(glibCondition), IoInvoke,
                                 closure, [](gpointer c) { delete static_cast<IoClosure*>(c); });
  g_io_channel_unref(channel);
  return id;
}

PurpleEventLoopUiOps eventLoopOps = {g_timeout_add,   g_source_remove, InputAdd,
                                     g_source_remove, nullptr,         g_timeout_add_seconds,
                                     nullptr,         nullptr,         nullptr};

// ---- The least UI: conversation errors and the plug-in's log lines become events.

void WriteConversation(PurpleConversation* conv, const char*, const char*, const char* message,
                       PurpleMessageFlags flags, time_t) {
  if (purple_conversation_get_account(conv) != client.alice) return;
  gchar* plain = purple_markup_strip_html(message);
  if (flags & PURPLE_MESSAGE_ERROR) Event("alice-error", plain);
  g_free(plain);
}

PurpleConversationUiOps ConversationOps() {
  PurpleConversationUiOps ops{};
  ops.write_conv = WriteConversation;
  return ops;
}
PurpleConversationUiOps conversationOps = ConversationOps();

void DebugPrint(PurpleDebugLevel, const char* category, const char* text) {
  if (category && std::strcmp(category, "pictoss") == 0) {
    std::string line = text;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    Event("log", line);
  } else if (g_getenv("PURPLE_CLIENT_DEBUG")) {
    std::fprintf(stderr, "%s: %s", category ? category : "", text);
  }
}

gboolean DebugEnabled(PurpleDebugLevel, const char* category) {
  return (category && std::strcmp(category, "pictoss") == 0) || g_getenv("PURPLE_CLIENT_DEBUG");
}

PurpleDebugUiOps debugOps = {DebugPrint, DebugEnabled, nullptr, nullptr, nullptr, nullptr};

PurpleCoreUiOps coreOps = {nullptr,
                           [] { purple_debug_set_ui_ops(&debugOps); },
                           [] { purple_conversations_set_ui_ops(&conversationOps); },
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};

// ---- Signals.

PurpleConversation* Conversation(PurpleAccount* from, const char* to) {
  PurpleConversation* conv = purple_find_conversation_with_account(PURPLE_CONV_TYPE_IM, to, from);
  return conv ? conv : purple_conversation_new(PURPLE_CONV_TYPE_IM, from, to);
}

void OnSignedOn(PurpleConnection* gc, gpointer) {
  PurpleAccount* account = purple_connection_get_account(gc);
  Event("signed-on", purple_account_get_username(account));
  if (++client.signedOn == 2) {
    Conversation(client.alice, client.bobName.c_str());
    Event("ready");
  }
}

void OnBuddySigned(PurpleBuddy* buddy, gpointer event) {
  if (purple_buddy_get_account(buddy) == client.alice) {
    Event(static_cast<const char*>(event), purple_buddy_get_name(buddy));
  }
}

void OnConnectionError(PurpleConnection* gc, PurpleConnectionError, const char* text, gpointer) {
  Event("connection-error",
        std::string(purple_account_get_username(purple_connection_get_account(gc))) + ": " + text);
}

void OnReceivedIm(PurpleAccount* account, char* sender, char* message, PurpleConversation*,
                  PurpleMessageFlags, gpointer) {
  if (account != client.alice) return;
  gchar* plain = purple_markup_strip_html(message);
  Event("alice-got", std::string(sender) + ": " + plain);
  g_free(plain);
}

void OnSentIm(PurpleAccount* account, const char*, const char* message, gpointer) {
  if (account == client.alice) Event("alice-sent", message);
}

void OnChatJoined(PurpleConversation* conv, gpointer) {
  if (purple_conversation_get_account(conv) == client.alice) {
    Event("alice-joined", purple_conversation_get_name(conv));
  }
}

void OnReceiveRequest(PurpleXfer* xfer, gpointer) {
  if (purple_xfer_get_account(xfer) != client.bob) return;
  const char* name = purple_xfer_get_filename(xfer);
  Event("bob-offer", name ? name : "");
  std::string path = client.downloads + "/" + (name ? name : "file");
  purple_xfer_request_accepted(xfer, path.c_str());
}

// The file is closed only after the signal's handlers have run: report it from an idle.
void OnReceiveComplete(PurpleXfer* xfer, gpointer) {
  if (purple_xfer_get_account(xfer) != client.bob) return;
  auto* path = g_strdup(purple_xfer_get_local_filename(xfer));
  g_idle_add(
      [](gpointer p) -> gboolean {
        Event("bob-file", static_cast<char*>(p));
        g_free(p);
        return G_SOURCE_REMOVE;
      },
      path);
}

void OnSendEnded(PurpleXfer* xfer, gpointer data) {
  if (purple_xfer_get_account(xfer) == client.alice) {
    Event(static_cast<const char*>(data), purple_xfer_get_local_filename(xfer));
  }
}

void ConnectSignals() {
  static int handle;
  void* connections = purple_connections_get_handle();
  purple_signal_connect(connections, "signed-on", &handle, PURPLE_CALLBACK(OnSignedOn), nullptr);
  purple_signal_connect(connections, "connection-error", &handle,
                        PURPLE_CALLBACK(OnConnectionError), nullptr);
  void* blist = purple_blist_get_handle();
  purple_signal_connect(blist, "buddy-signed-on", &handle, PURPLE_CALLBACK(OnBuddySigned),
                        const_cast<char*>("alice-sees-on"));
  purple_signal_connect(blist, "buddy-signed-off", &handle, PURPLE_CALLBACK(OnBuddySigned),
                        const_cast<char*>("alice-sees-off"));
  void* conversations = purple_conversations_get_handle();
  purple_signal_connect(conversations, "received-im-msg", &handle, PURPLE_CALLBACK(OnReceivedIm),
                        nullptr);
  purple_signal_connect(conversations, "sent-im-msg", &handle, PURPLE_CALLBACK(OnSentIm), nullptr);
  purple_signal_connect(conversations, "chat-joined", &handle, PURPLE_CALLBACK(OnChatJoined),
                        nullptr);
  void* xfers = purple_xfers_get_handle();
  purple_signal_connect(xfers, "file-recv-request", &handle, PURPLE_CALLBACK(OnReceiveRequest),
                        nullptr);
  purple_signal_connect(xfers, "file-recv-complete", &handle, PURPLE_CALLBACK(OnReceiveComplete),
                        nullptr);
  purple_signal_connect(xfers, "file-send-complete", &handle, PURPLE_CALLBACK(OnSendEnded),
                        const_cast<char*>("alice-sent-file"));
  purple_signal_connect(xfers, "file-send-cancel", &handle, PURPLE_CALLBACK(OnSendEnded),
                        const_cast<char*>("alice-cancelled-file"));
}

// ---- Orders on standard input.

void Load() {
  if (purple_plugin_load(client.plugin)) {
    Event("loaded", purple_plugin_get_name(client.plugin));
  } else {
    Event("load-failed", client.plugin->error ? client.plugin->error : "");
  }
}

void TypeIn(PurpleConversation* conv, const std::string& line) {
  if (!conv) {
    Event("typed", line + " (no conversation)");
    return;
  }
  std::string command = line.starts_with("/") ? line.substr(1) : line;
  gchar* escaped = g_markup_escape_text(command.c_str(), -1);
  gchar* error = nullptr;
  PurpleCmdStatus status = purple_cmd_do_command(conv, command.c_str(), escaped, &error);
  Event("typed",
        line + (status == PURPLE_CMD_STATUS_OK ? "" : " (status " + std::to_string(status) + ")"));
  g_free(error);
  g_free(escaped);
}

void Obey(const std::string& line) {
  std::string order = line.substr(0, line.find(' '));
  std::string rest = line.size() > order.size() ? line.substr(order.size() + 1) : "";
  if (order == "type") {
    TypeIn(Conversation(client.alice, client.bobName.c_str()), rest);
  } else if (order == "join") {
    GHashTable* components = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(components, g_strdup("channel"), g_strdup(rest.c_str()));
    serv_join_chat(purple_account_get_connection(client.alice), components);
    g_hash_table_destroy(components);
  } else if (order == "type-in") {
    const std::string channel = rest.substr(0, rest.find(' '));
    const std::string typed = rest.size() > channel.size() ? rest.substr(channel.size() + 1) : "";
    TypeIn(
        purple_find_conversation_with_account(PURPLE_CONV_TYPE_CHAT, channel.c_str(), client.alice),
        typed);
  } else if (order == "bob-says") {
    purple_conv_im_send(PURPLE_CONV_IM(Conversation(client.bob, client.aliceName.c_str())),
                        rest.c_str());
  } else if (order == "bob-off" || order == "bob-on") {
    purple_account_set_enabled(client.bob, kUi, order == "bob-on");
  } else if (order == "load") {
    Load();
  } else if (order == "unload") {
    Event(purple_plugin_unload(client.plugin) ? "unloaded" : "unload-refused");
  } else if (order == "probe") {
    PurplePlugin* other = purple_plugin_probe(rest.c_str());
    if (!other) {
      Event("probe-refused", rest);
    } else {
      Event("probed", std::string(purple_plugin_get_name(other)) + " " +
                          (other == client.plugin ? "(the plug-in)" : "(another)"));
    }
  } else if (order == "ping") {
    Event("pong");
  } else if (order == "quit") {
    g_main_loop_quit(client.loop);
  } else if (order == "core-quit") {
    client.coreQuit = true;
    purple_core_quit();
    g_main_loop_quit(client.loop);
  }
}

gboolean OnInput(GIOChannel* channel, GIOCondition, gpointer) {
  gchar* text = nullptr;
  gsize length = 0;
  GIOStatus status = g_io_channel_read_line(channel, &text, &length, nullptr, nullptr);
  if (status == G_IO_STATUS_AGAIN) return TRUE;
  if (status != G_IO_STATUS_NORMAL) {
    g_main_loop_quit(client.loop);
    return FALSE;
  }
  std::string line(text, length);
  g_free(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  Obey(line);
  return TRUE;
}

// libpurple reads its preferences from the user folder during purple_core_init: these keep it
// on the loopback interface (no address discovery, no port mapping, no proxy).
void WriteNetworkPrefs(const std::string& userDir) {
  std::ofstream prefs(userDir + "/prefs.xml");
  prefs << "<?xml version='1.0' encoding='UTF-8' ?>\n"
           "<pref version='1' name='/'>\n"
           " <pref name='purple'>\n"
           "  <pref name='network'>\n"
           "   <pref name='auto_ip' type='bool' value='0'/>\n"
           "   <pref name='public_ip' type='string' value='127.0.0.1'/>\n"
           "   <pref name='map_ports' type='bool' value='0'/>\n"
           "   <pref name='stun_server' type='string' value=''/>\n"
           "   <pref name='turn_server' type='string' value=''/>\n"
           "  </pref>\n"
           "  <pref name='proxy'>\n"
           "   <pref name='type' type='string' value='none'/>\n"
           "  </pref>\n"
           " </pref>\n"
           "</pref>\n";
}

PurpleAccount* SignIn(const char* nick, int port, bool xmpp) {
  PurpleAccount* account = nullptr;
  if (xmpp) {
    account =
        purple_account_new((std::string(nick) + "@pictoss.test/purple").c_str(), "prpl-jabber");
    purple_account_set_password(account, "secret");
    // Kept when bob signs off, for signing on again.
    purple_account_set_remember_password(account, TRUE);
    purple_account_set_string(account, "connect_server", "127.0.0.1");
    purple_account_set_string(account, "connection_security", "opportunistic_tls");
    purple_account_set_bool(account, "auth_plain_in_clear", TRUE);
    // No file-transfer proxy: the two clients reach each other directly.
    purple_account_set_string(account, "ft_proxies", "");
  } else {
    account = purple_account_new((std::string(nick) + "@127.0.0.1").c_str(), "prpl-irc");
  }
  purple_account_set_int(account, "port", port);
  purple_accounts_add(account);
  purple_account_set_enabled(account, kUi, TRUE);
  return account;
}

}  // namespace

int main(int argc, char** argv) {
  const bool xmpp = argc == 6 && std::strcmp(argv[5], "xmpp") == 0;
  if (argc != 5 && !xmpp) {
    std::fprintf(stderr, "usage: purple_client PLUGIN PORT USERDIR DOWNLOADS [xmpp]\n");
    return 2;
  }
  const int port = std::atoi(argv[2]);
  if (xmpp) {
    client.aliceName = "alice@pictoss.test";
    client.bobName = "bob@pictoss.test";
  }
  client.downloads = argv[4];
  client.loop = g_main_loop_new(nullptr, FALSE);
  WriteNetworkPrefs(argv[3]);
  purple_util_set_user_dir(argv[3]);
  purple_core_set_ui_ops(&coreOps);
  purple_eventloop_set_ui_ops(&eventLoopOps);
  if (!purple_core_init(kUi)) {
    std::fprintf(stderr, "purple_client: libpurple did not start\n");
    return 1;
  }
  if (purple_prefs_get_bool("/purple/network/auto_ip") ||
      purple_prefs_get_bool("/purple/network/map_ports")) {
    std::fprintf(stderr, "purple_client: the network preferences were not taken\n");
    return 1;
  }
  purple_set_blist(purple_blist_new());
  purple_plugins_probe(G_MODULE_SUFFIX);
  ConnectSignals();
  g_timeout_add(
      100,
      [](gpointer) -> gboolean {
        ++client.ticks;
        return G_SOURCE_CONTINUE;
      },
      nullptr);

  // libpurple has probed its own folders while it started: a Pictoss installed there would take
  // the place of the plug-in under test (libpurple keeps one plug-in of a file name, and Pictoss
  // refuses a second copy of itself), so it is dropped first.
  PurplePlugin* installed = purple_plugins_find_with_id("core-vorlick-pictoss");
  if (installed && !purple_strequal(installed->path, argv[1])) {
    std::fprintf(stderr, "purple_client: leaving out %s\n", installed->path);
    purple_plugin_destroy(installed);
  }
  client.plugin = purple_plugin_probe(argv[1]);
  if (!client.plugin) {
    std::fprintf(stderr, "purple_client: %s is not a plug-in\n", argv[1]);
    return 1;
  }
  Load();
  client.alice = SignIn("alice", port, xmpp);
  client.bob = SignIn("bob", port, xmpp);

  GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
  g_io_add_watch(input, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), OnInput, nullptr);
  g_main_loop_run(client.loop);
  g_io_channel_unref(input);
  if (!client.coreQuit && purple_plugin_is_loaded(client.plugin)) {
    purple_plugin_unload(client.plugin);
  }
  // No purple_core_quit: it closes the protocol modules, and what libpurple leaves behind in
  // them could then no longer be told apart from a leak of the plug-in.
  g_main_loop_unref(client.loop);
  Event("quit");
  return 0;
}
