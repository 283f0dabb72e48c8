// The experimental protocol that a VTC is linked to: conditions in order, each with
// the intervals during which it is on.
//
// Times are either volumes (1-based, both ends inclusive: interval [11, 20] is the
// eleventh to the twentieth volume) or milliseconds from the start of the first
// volume (half-open: [begin, end) is on from begin up to, not including, end).
// Protocols are read from two formats, chosen by the file's extension: ".tsv" is a
// BIDS events table, anything else the native protocol text (see the README's
// "File formats" section).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace hvhost {

enum class TimeUnit { Volumes, Milliseconds };

struct Interval {
  double begin;
  double end;
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

// Reads a protocol in the format its extension selects; throws InputError.
Protocol readProtocolFile(const std::filesystem::path& file);

// The two formats; both throw InputError naming the file and line.
Protocol readProtocolText(const std::filesystem::path& file);
Protocol readEventsTsv(const std::filesystem::path& file);

// Shared check for a condition name read from FILE:LINE.
void checkConditionName(const std::filesystem::path& file, int line, std::string_view name);

}  // namespace hvhost
