// Fuzz target: the native protocol text format, then the design matrix built from
// whatever it accepts.
#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "tests/fuzz/protocol_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  const std::filesystem::path file = "fuzz.prt";
  try {
    const tolvane::formats::Protocol protocol = tolvane::formats::readProtocolText(in, file);
    fuzzing::checkAcceptedProtocol(protocol, file);
    for (const tolvane::formats::Condition& condition : protocol.conditions) {
      if (protocol.unit == tolvane::formats::TimeUnit::Milliseconds) {
        for (const tolvane::formats::Interval& interval : condition.intervals) {
          fuzzing::require(interval.begin >= 0, "native millisecond intervals start at 0 or later");
        }
      }
    }
  } catch (const tolvane::formats::InputError&) {
  }
  return 0;
}
