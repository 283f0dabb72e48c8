// Choosing the protocol reader, and the rules that both formats share; see
// protocol_files.h.
#include "formats/protocols/protocol_files.h"

#include <cstdio>

#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// What lies outside [0, runEnd) of an interval [begin, end), in the protocol's unit
// as the user wrote it, or "" when the interval lies within the run.
std::string outsidePart(const Interval& interval, TimeUnit unit, int volumes, double runEnd) {
  if (unit == TimeUnit::Volumes) {
    const std::string shown = number(interval.begin) + " to " + number(interval.end);
    const std::string last = " the last volume, " + std::to_string(volumes);
    if (interval.begin > volumes) return "volumes " + shown + " start after" + last + "; ignored";
    if (interval.end > volumes) return "volumes " + shown + " reach past" + last + "; cut there";
    return "";
  }
  const std::string shown = number(interval.begin) + " to " + number(interval.end) + " ms";
  const std::string end = " the end of the run at " + number(runEnd) + " ms";
  if (interval.begin >= runEnd) return shown + " starts at or after" + end + "; ignored";
  if (interval.begin < 0 && interval.end <= 0)
    return shown + " ends before the first volume; ignored";
  if (interval.begin < 0) return shown + " starts before the first volume; cut there";
  if (interval.end > runEnd) return shown + " reaches past" + end + "; cut there";
  return "";
}

}  // namespace

Protocol readProtocolFile(const std::filesystem::path& file) {
  std::ifstream in = openTextFile(file, kProtocolLimits);
  if (file.extension() == ".tsv") return readEventsTsv(in, file);
  return readProtocolText(in, file);
}

void checkConditionName(const std::filesystem::path& file, int line, std::string_view name) {
  if (name.empty()) failAt(file, line, "expected a condition name, found nothing");
  if (name.size() > kMaxConditionNameLength) {
    failAt(file, line,
           "expected a condition name of at most " + std::to_string(kMaxConditionNameLength) +
               " characters, found one of " + std::to_string(name.size()));
  }
  if (hasControlCharacters(name)) {
    failAt(file, line, "expected a condition name without tabs or control characters");
  }
}

void checkConditionCount(const std::filesystem::path& file, int line, std::size_t count) {
  if (count > kMaxConditions) {
    failAt(file, line,
           "expected at most " + std::to_string(kMaxConditions) + " conditions, found more");
  }
}

std::vector<std::string> intervalsOutsideTheRun(const Protocol& protocol,
                                                const std::filesystem::path& file, int volumes,
                                                double trMilliseconds, std::size_t shown) {
  const double runEnd = volumes * trMilliseconds;
  std::vector<std::string> warnings;
  std::size_t outside = 0;
  for (const Condition& condition : protocol.conditions) {
    for (const Interval& interval : condition.intervals) {
      const std::string what = outsidePart(interval, protocol.unit, volumes, runEnd);
      if (what.empty()) continue;
      if (++outside <= shown) {
        warnings.push_back(
            messageAt(file, interval.line, "condition " + inQuotes(condition.name) + ": " + what));
      }
    }
  }
  if (outside > shown) {
    warnings.push_back(file.string() + ": " + std::to_string(outside - shown) +
                       " more intervals reach outside the run");
  }
  return warnings;
}

}  // namespace tolvane::formats
