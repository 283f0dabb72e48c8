// Loading a plug-in module and running it once against a host session.
//
// The module is opened with dlopen and introduced by its exported texts (name, author
// and description, markup rendered as plain text, on standard output). The plug-in
// object from createPlugin is asked isAvailable, then execute; it is ended through
// the host interface's deleting-destructor slot. While execute runs, the session is
// the active one: the exported host operations forward to it.
#pragma once

#include <filesystem>
#include <string>

namespace hvhost {

class Console;
class Dialogue;
class HostSession;

// hvhost's exit statuses.
enum ExitStatus : int {
  kExitCompleted = 0,     // the run completed and every file was written
  kExitRunEnded = 1,      // the run ended early, or a dialogue could not be answered
  kExitUsage = 2,         // usage or setup error: nothing was run
  kExitOutputFailed = 3,  // the run completed but a file could not be written
};

int runPluginModule(const std::filesystem::path& module, HostSession& session,
                    const Dialogue& dialogue, Console& console);

// The session the exported operations forward to, or null outside a run.
HostSession* activeSession();
Console* activeConsole();

// Ends hvhost from inside a run when the host cannot go on (no memory for the VTC):
// reports why, flushes and exits with kExitRunEnded.
[[noreturn]] void abandonRun(const std::string& why);

}  // namespace hvhost
