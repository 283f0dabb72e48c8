// How hvhost ends: its own kinds of error, and the one place that turns an error into
// the message the user reads and the status hvhost exits with, from the table that both
// programs share (formats/exit_status.h).
//
// The outcome of a run (completed, ended early, a file not written) is judged by the
// module runner and is not an error. Errors are what stop hvhost from doing what it
// was asked: the shared formats' InputError and OutputError (formats/errors.h), and
// the two below. Every one that ends hvhost, and every one that a host operation
// catches before it could reach the plug-in, is described by describeFailure.
#pragma once

#include <exception>
#include <stdexcept>

#include "formats/errors.h"
#include "formats/exit_status.h"
#include "host/shared_names.h"

namespace hvhost {

class Console;

using formats::ExitStatus;
using formats::Failure;

// The command line, or what it names, cannot be used as asked: a missing module, a
// module that cannot be loaded, a dialogue mode that the terminal does not allow.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The VTC's storage could not be had; the message says how much it needs.
class StorageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where hvhost was when the error stopped it. In the setup, every problem with the
// user's options or the files they name is a usage error: nothing has run yet. In a
// run, an error inside a host operation is reported and the operation answers
// "nothing"; the plug-in then ends its run. In a subcommand (`info`, `convert`), a
// file that cannot be read ends it like a run that ends early.
enum class Stage { Setup, Run, Command };

// The message and exit status for the exception `error`, thrown in `stage`: hvhost's
// own kinds and stages here, every other error as formats::describeFailure has it.
Failure describeFailure(const std::exception_ptr& error, Stage stage);

// Reports describeFailure's message on the console and returns its status.
ExitStatus reportFailure(Console& console, const std::exception_ptr& error, Stage stage);

}  // namespace hvhost
