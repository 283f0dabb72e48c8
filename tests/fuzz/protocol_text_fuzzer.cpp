// Fuzz target: the native protocol text format, then the design matrix built from
// whatever it accepts.
#include "host/protocol.h"
#include "host/text_parsing.h"
#include "tests/fuzz/protocol_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  const std::filesystem::path file = "fuzz.prt";
  try {
    const hvhost::Protocol protocol = hvhost::readProtocolText(in, file);
    fuzzing::checkAcceptedProtocol(protocol, file);
    for (const hvhost::Condition& condition : protocol.conditions) {
      if (protocol.unit == hvhost::TimeUnit::Milliseconds) {
        for (const hvhost::Interval& interval : condition.intervals) {
          fuzzing::require(interval.begin >= 0, "native millisecond intervals start at 0 or later");
        }
      }
    }
  } catch (const hvhost::InputError&) {
  }
  return 0;
}
