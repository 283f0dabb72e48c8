// Loading a plug-in module and running it once against a host session.
//
// The module is opened with dlopen and introduced by its exported texts (name, author
// and description, markup rendered as plain text, on standard output). The plug-in
// object from createPlugin is asked isAvailable, then execute; it is ended through
// the host interface's deleting-destructor slot. While execute runs, the session is
// the active one: the exported host operations forward to it.
//
// A run's outcome becomes an exit status here; a module that cannot be loaded or run
// at all is a UsageError. Nothing in a run ends hvhost on the spot: an operation that
// cannot be done answers "nothing", and the plug-in ends its run.
#pragma once

#include <filesystem>

#include "host/exit_status.h"

namespace hvhost {

class Console;
class Dialogue;
class HostSession;

// Returns the run's ExitStatus; throws UsageError.
ExitStatus runPluginModule(const std::filesystem::path& module, HostSession& session,
                           const Dialogue& dialogue, Console& console);

// The session the exported operations forward to, or null outside a run.
HostSession* activeSession();
Console* activeConsole();

}  // namespace hvhost
