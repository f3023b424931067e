// The plug-in inside a libpurple client while it is loaded: the Vorlick.PT object, the commands
// it publishes registered with libpurple, the queue of typed commands, the copies of sent files
// and the bridge between the two message loops. Typed commands run one at a time from an idle
// source, in the order typed; a command typed while one runs waits for it. The session owns the
// object and releases it when destroyed. Threading: the client's main (GLib) thread.
#pragma once

#include <purple.h>

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hosting/plugin_host.h"
#include "purple/loop_bridge.h"
#include "purple/sent_files.h"

namespace pictoss_purple {

// Nothing may leave a callback from the client's C code: inside a catch block, this writes what
// was caught to the debug log.
void LogException(const char* where);

class Session {
 public:
  // Creates the object (registering `module` first when the class is not registered), starts
  // it and registers its commands. Nothing with the reason in *why when any step fails.
  static std::unique_ptr<Session> Start(PurplePlugin* plugin, const std::filesystem::path& module,
                                        std::string* why);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // A call into the plug-in is running; the session must not be destroyed now.
  bool busy() const { return running_; }

 private:
  // A typed command, with what finds its conversation again after the call.
  struct Typed {
    PurpleAccount* account;
    PurpleConversationType type;
    std::string conversation;
    std::string word;      // with its slash, as typed
    std::string argument;  // plain text
    std::string line;      // the typed line as markup, for sending it as text
  };

  class CallScope;

  Session(PurplePlugin* plugin, platform::Ref<platform::Dispatch> object);
  void RegisterCommands(const std::vector<hosting::PublishedCommand>& commands);
  static PurpleCmdRet OnCommand(PurpleConversation* conv, const gchar* cmd, gchar** args,
                                gchar** error, void* data);
  static gboolean RunQueued(gpointer data);
  static void OnTransferEnded(PurpleXfer* xfer, gpointer data);
  static void OnQuitting(gpointer data);
  void Abandon();
  PurpleConversation* Find(const Typed& typed);
  void Run(const Typed& typed);
  void SendText(PurpleConversation* conv, const std::string& markup);
  void SendFile(PurpleConversation* conv, const std::string& path);

  PurplePlugin* plugin_;
  platform::Ref<platform::Dispatch> object_;
  std::vector<PurpleCmdId> commands_;
  std::deque<Typed> queue_;
  guint idle_ = 0;
  bool running_ = false;
  // The client quits: a call that runs ends at once, and the client's objects go before it has
  // returned, so that after it nothing of libpurple may be touched; the session then lets go of
  // what is its own (Abandon) and waits inert for the process to end.
  bool quitting_ = false;
  bool abandoned_ = false;
  SentFiles sent_;
  std::unique_ptr<LoopBridge> bridge_;
};

}  // namespace pictoss_purple
