// Fuzz target: BIDS events tables, then the design matrix built from whatever they
// give. The name carries a task entity, so that a table without trial_type is named.
#include "host/protocol.h"
#include "host/text_parsing.h"
#include "tests/fuzz/protocol_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  const std::filesystem::path file = "sub-01_task-fuzz_events.tsv";
  try {
    const hvhost::Protocol protocol = hvhost::readEventsTsv(in, file);
    fuzzing::require(protocol.unit == hvhost::TimeUnit::Milliseconds, "events are in milliseconds");
    fuzzing::checkAcceptedProtocol(protocol, file);
  } catch (const hvhost::InputError&) {
  }
  return 0;
}
