// Protocol files, read into the protocol model of design/protocol.h.
//
// Two formats, chosen by the file's extension: ".tsv" is a BIDS events table (onsets
// and durations in seconds, read as milliseconds), anything else the native protocol
// text (see the README's "File formats" section). Every problem is an InputError
// naming the file and line.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "design/protocol.h"
#include "formats/text_input.h"

namespace tolvane::formats {

// The readers fill the shared protocol model.
using design::Condition;
using design::Interval;
using design::kMaxConditionNameLength;
using design::kMaxConditions;
using design::Protocol;
using design::TimeUnit;

// A protocol of millions of events still fits; the limits only stop runaway input.
constexpr TextLimits kProtocolLimits{16u << 20, 64u << 10};

// Reads a protocol in the format its extension selects.
Protocol readProtocolFile(const std::filesystem::path& file);

// The two formats, from text that comes from `file`.
Protocol readProtocolText(std::istream& in, const std::filesystem::path& file);
Protocol readEventsTsv(std::istream& in, const std::filesystem::path& file);

// Shared checks for a condition read from FILE:LINE.
void checkConditionName(const std::filesystem::path& file, int line, std::string_view name);
void checkConditionCount(const std::filesystem::path& file, int line, std::size_t count);

// Warnings for intervals that reach outside a run of `volumes` volumes of TR
// `trMilliseconds`: the part outside is ignored, which is right for a protocol written
// for a longer run, but worth saying. At most `shown` intervals are named; a last
// line counts the rest.
std::vector<std::string> intervalsOutsideTheRun(const Protocol& protocol,
                                                const std::filesystem::path& file, int volumes,
                                                double trMilliseconds, std::size_t shown);

}  // namespace tolvane::formats
