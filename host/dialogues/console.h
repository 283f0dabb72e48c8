// Where hvhost talks to the person running it.
//
// Standard output carries the plug-in's log, each line exactly as given (and, with a
// log file, appended there too), so that it can be piped or captured untouched.
// Everything else goes to standard error: message boxes, the host's own notes,
// warnings and errors (prefixed "hvhost:"), dialogue prompts and the busy spinner.
// The spinner is drawn only when standard error is a terminal.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string_view>

#include "host/dialogues/busy_indicator.h"

namespace hvhost {

class Console {
 public:
  Console(std::ostream& out, std::ostream& err, bool errIsTerminal);

  // Appends log lines to this file from now on; throws InputError when it cannot.
  // A later write that fails (a full disk) is reported once, and the log goes on on
  // standard output alone.
  void appendLogTo(const std::filesystem::path& file);
  bool logFileFailed() const { return logFileFailed_; }

  void logLine(std::string_view text);
  // Host output on standard output that is not part of the log.
  void print(std::string_view text);
  void messageBox(std::string_view text);  // rich text allowed
  void note(std::string_view text);
  void warning(std::string_view text);
  void error(std::string_view text);
  // Text shown to the person at a dialogue; written as is, without a line break.
  void prompt(std::string_view text);

  void startBusy();
  void stopBusy();

 private:
  void toErr(std::string_view text);
  void write(std::ostream& stream, std::string_view text);
  std::ostream& out_;
  std::ostream& err_;
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::filesystem::path logFileName_;
  std::unique_ptr<std::FILE, FileCloser> logFile_;
  bool logFileFailed_ = false;
  std::unique_ptr<BusyIndicator> busy_;  // only on a terminal
};

}  // namespace hvhost
