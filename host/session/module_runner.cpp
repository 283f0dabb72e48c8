// Loading and running a plug-in module; see module_runner.h.
#include "host/session/module_runner.h"

#include <dlfcn.h>

#include <algorithm>

#include "host/dialogues/console.h"
#include "host/dialogues/dialogue.h"
#include "host/dialogues/rich_text.h"
#include "host/session/host_session.h"
#include "plugin/helvara_plugin_interface.h"

namespace hvhost {
namespace {

HostSession* gActiveSession = nullptr;
Console* gActiveConsole = nullptr;

using TextFunction = const char* (*)();
using CreateFunction = HelvaraPluginInterface* (*)();

std::string moduleText(void* handle, const char* name) {
  const auto function = reinterpret_cast<TextFunction>(dlsym(handle, name));
  const char* text = function ? function() : nullptr;
  return text ? renderRichText(text) : "";
}

// Breaks a paragraph into lines of at most `width` characters at blanks.
std::string wrapped(const std::string& text, std::size_t width) {
  std::string out;
  std::size_t lineLength = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find_first_of(" \n", pos), text.size());
    const std::string word = text.substr(pos, end - pos);
    if (lineLength > 0 && lineLength + 1 + word.size() > width) {
      out += '\n';
      lineLength = 0;
    } else if (lineLength > 0) {
      out += ' ';
      ++lineLength;
    }
    out += word;
    lineLength += word.size();
    if (end < text.size() && text[end] == '\n') {
      out += '\n';
      lineLength = 0;
    }
    pos = end + 1;
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class ActiveRun {
 public:
  ActiveRun(HostSession& session, Console& console) {
    gActiveSession = &session;
    gActiveConsole = &console;
  }
  ~ActiveRun() {
    gActiveSession = nullptr;
    gActiveConsole = nullptr;
  }
  ActiveRun(const ActiveRun&) = delete;
  ActiveRun& operator=(const ActiveRun&) = delete;
};

}  // namespace

HostSession* activeSession() { return gActiveSession; }
Console* activeConsole() { return gActiveConsole; }

ExitStatus runPluginModule(const std::filesystem::path& module, HostSession& session,
                           const Dialogue& dialogue, Console& console) {
  // A path without a slash would make dlopen search the library path instead.
  const std::string path = module.has_parent_path() ? module.string() : "./" + module.string();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw UsageError(std::string("cannot load the plug-in module: ") + dlerror());
  }
  const auto create = reinterpret_cast<CreateFunction>(dlsym(handle, "createPlugin"));
  if (create == nullptr) {
    throw UsageError(module.string() + " is not a plug-in module (it has no createPlugin)");
  }
  console.print(moduleText(handle, "getPluginName") + "\nby " + moduleText(handle, "getAuthor") +
                "\n\n" + wrapped(moduleText(handle, "getPluginDescription"), 78) + "\n\n");

  HelvaraPluginInterface* plugin = create();
  if (plugin == nullptr) throw UsageError("the plug-in module did not create its plug-in object");
  if (!plugin->isAvailable()) {
    releasePluginObject(plugin);
    throw UsageError("the plug-in reports that it is not available");
  }
  bool completed = false;
  {
    const ActiveRun run(session, console);
    completed = plugin->execute();
  }
  releasePluginObject(plugin);

  // A failed dialogue or an unreadable protocol ends the run early, even when the
  // plug-in, given cancelled dialogues, goes on to its end.
  const bool ranToItsEnd = completed && !dialogue.failed() && !session.inputFailed();
  if (!completed && !dialogue.failed() && !session.inputFailed()) {
    console.note("the plug-in's run ended early");
  }
  session.finishRun(ranToItsEnd);
  if (!ranToItsEnd) return formats::kExitFailed;
  return session.outputFailed() ? formats::kExitOutputFailed : formats::kExitDone;
}

}  // namespace hvhost
