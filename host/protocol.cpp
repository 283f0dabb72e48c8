// Choosing the protocol reader, and the rules that both formats share.
#include "host/protocol.h"

#include "host/text_parsing.h"

namespace hvhost {

Protocol readProtocolFile(const std::filesystem::path& file) {
  if (file.extension() == ".tsv") return readEventsTsv(file);
  return readProtocolText(file);
}

void checkConditionName(const std::filesystem::path& file, int line, std::string_view name) {
  if (name.empty()) failAt(file, line, "expected a condition name, found nothing");
  if (name.size() > kMaxConditionNameLength) {
    failAt(file, line,
           "expected a condition name of at most " + std::to_string(kMaxConditionNameLength) +
               " characters, found one of " + std::to_string(name.size()));
  }
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) {
      failAt(file, line, "expected a condition name without tabs or control characters");
    }
  }
}

}  // namespace hvhost
