// Console output; see console.h.
#include "host/dialogues/console.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "formats/text_parsing.h"
#include "host/dialogues/rich_text.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;

Console::Console(std::ostream& out, std::ostream& err, bool errIsTerminal)
    : out_(out), err_(err), busy_(errIsTerminal ? std::make_unique<BusyIndicator>(err) : nullptr) {}

void Console::appendLogTo(const std::filesystem::path& file) {
  std::error_code ignored;
  if (std::filesystem::is_directory(file, ignored)) {
    throw InputError(file.string() + ": cannot be opened for appending the log: it is a folder");
  }
  logFile_.reset(std::fopen(file.c_str(), "a"));
  if (!logFile_) {
    throw InputError(file.string() +
                     ": cannot be opened for appending the log: " + std::strerror(errno));
  }
  logFileName_ = file;
}

void Console::logLine(std::string_view text) {
  const std::string line = std::string(text) + '\n';
  write(out_, line);
  if (!logFile_ || logFileFailed_) return;
  if (std::fwrite(line.data(), 1, line.size(), logFile_.get()) != line.size() ||
      std::fflush(logFile_.get()) != 0) {
    logFileFailed_ = true;
    error(logFileName_.string() + ": cannot be written: " + std::strerror(errno) +
          "; the log goes on on standard output only");
  }
}

void Console::print(std::string_view text) { write(out_, text); }

void Console::messageBox(std::string_view text) {
  std::string framed = "+-- message from the plug-in ------------------------------\n";
  std::string rendered = renderRichText(text);
  std::size_t start = 0;
  while (start <= rendered.size()) {
    const std::size_t end = rendered.find('\n', start);
    framed += "| " + rendered.substr(start, end - start) + '\n';
    if (end == std::string::npos) break;
    start = end + 1;
  }
  framed += "+----------------------------------------------------------\n";
  toErr(framed);
}

void Console::note(std::string_view text) { toErr("hvhost: " + std::string(text) + '\n'); }
void Console::warning(std::string_view text) {
  toErr("hvhost: warning: " + std::string(text) + '\n');
}
void Console::error(std::string_view text) { toErr("hvhost: error: " + std::string(text) + '\n'); }
void Console::prompt(std::string_view text) { toErr(text); }

void Console::startBusy() {
  if (busy_) busy_->start();
}

void Console::stopBusy() {
  if (busy_) busy_->stop();
}

void Console::toErr(std::string_view text) { write(err_, text); }

void Console::write(std::ostream& stream, std::string_view text) {
  std::unique_lock<std::mutex> guard;
  if (busy_) {
    guard = busy_->lock();
    busy_->clearLine();
  }
  stream << text << std::flush;
}

}  // namespace hvhost
