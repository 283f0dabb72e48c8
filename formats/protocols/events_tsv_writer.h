// Writing a protocol as a BIDS events table: columns onset, duration and trial_type,
// times in seconds from the start of the first volume, one row per interval, sorted by
// onset (then by the protocol's order of conditions). Intervals in volumes (1-based,
// both ends included) become [(begin - 1) * TR, end * TR); intervals in milliseconds
// are divided by 1000. Numbers are written in the shortest form that reads back as the
// same double. Goes through a temporary file; throws OutputError.
#pragma once

#include <filesystem>
#include <string>

#include "design/protocol.h"

namespace tolvane::formats {

std::string eventsTsvText(const design::Protocol& protocol, double trMilliseconds);

void writeEventsTsv(const std::filesystem::path& file, const design::Protocol& protocol,
                    double trMilliseconds);

}  // namespace tolvane::formats
