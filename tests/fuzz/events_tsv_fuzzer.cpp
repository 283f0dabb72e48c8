// Fuzz target: BIDS events tables, then the design matrix built from whatever they
// give. The name carries a task entity, so that a table without trial_type is named.
#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "tests/fuzz/protocol_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  const std::filesystem::path file = "sub-01_task-fuzz_events.tsv";
  try {
    const tolvane::formats::Protocol protocol = tolvane::formats::readEventsTsv(in, file);
    fuzzing::require(protocol.unit == tolvane::formats::TimeUnit::Milliseconds,
                     "events are in milliseconds");
    fuzzing::checkAcceptedProtocol(protocol, file);
  } catch (const tolvane::formats::InputError&) {
  }
  return 0;
}
