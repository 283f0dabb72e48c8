// The experimental protocol that a VTC is linked to: conditions in order, each with
// the intervals during which it is on.
//
// Times are either volumes (1-based, both ends inclusive: interval [11, 20] is the
// eleventh to the twentieth volume) or milliseconds from the start of the first
// volume (half-open: [begin, end) is on from begin up to, not including, end).
// Protocols are read from two formats, chosen by the file's extension: ".tsv" is a
// BIDS events table, anything else the native protocol text (see the README's
// "File formats" section).
//
// Intervals may overlap, within a condition and across conditions: events of one
// trial type often do, and a predictor is simply on wherever any of its intervals is.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

#include "host/text_input.h"

namespace hvhost {

enum class TimeUnit { Volumes, Milliseconds };

struct Interval {
  double begin;
  double end;
  int line = 0;  // where the file gave it, for messages
};

struct Condition {
  std::string name;
  std::vector<Interval> intervals;
};

struct Protocol {
  TimeUnit unit = TimeUnit::Volumes;
  std::vector<Condition> conditions;
};

// Longest condition name: the name travels in a 272-byte record, terminator included.
constexpr std::size_t kMaxConditionNameLength = 271;
// Each condition becomes a predictor, convolved and offered in every predictor prompt;
// a thousand is far beyond any design and keeps the design matrix within memory.
constexpr std::size_t kMaxConditions = 1000;
// A protocol of millions of events still fits; the limits only stop runaway input.
constexpr TextLimits kProtocolLimits{16u << 20, 64u << 10};

// Reads a protocol in the format its extension selects; throws InputError.
Protocol readProtocolFile(const std::filesystem::path& file);

// The two formats, from text that comes from `file`; both throw InputError naming
// the file and line.
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

}  // namespace hvhost
