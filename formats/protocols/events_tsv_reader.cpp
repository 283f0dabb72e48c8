// BIDS events tables (events.tsv) as a protocol.
//
// The first line names the tab-separated columns; "onset" and "duration" (seconds)
// are required, "trial_type" is optional and any other column is ignored. Each
// following line is one event, with as many fields as the header. A duration of
// "n/a" is an impulse (zero duration); an onset of "n/a" is an error. Rows whose
// trial_type is "n/a" belong to no condition and are skipped.
//
// Conditions come in order of first appearance of their trial_type. A table without
// trial_type is one condition, named after the file's "task-LABEL" entity when it has
// one, else "events". Events become millisecond intervals [onset, onset + duration).
// Onsets may be negative (events before the first volume, as BIDS allows); onset and
// duration must stay finite when turned into milliseconds.
#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

constexpr std::string_view kNotAvailable = "n/a";

std::optional<std::size_t> columnIndex(const std::vector<std::string_view>& header,
                                       std::string_view name) {
  const auto found = std::find(header.begin(), header.end(), name);
  if (found == header.end()) return std::nullopt;
  return static_cast<std::size_t>(found - header.begin());
}

// The label of the "task-LABEL" entity among the file name's "_"-separated entities.
std::string singleConditionName(const std::filesystem::path& file) {
  constexpr std::string_view kTaskKey = "task-";
  const std::string name = file.filename().string();
  std::size_t start = 0;
  while (start < name.size()) {
    const std::size_t end = std::min(name.find('_', start), name.size());
    const std::string_view entity = std::string_view(name).substr(start, end - start);
    if (entity.substr(0, kTaskKey.size()) == kTaskKey && entity.size() > kTaskKey.size()) {
      const std::string_view label = entity.substr(kTaskKey.size());
      if (std::all_of(label.begin(), label.end(),
                      [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
        return std::string(label);
      }
    }
    start = end + 1;
  }
  return "events";
}

constexpr double kMillisecondsPerSecond = 1000.0;

// A time in seconds whose value in milliseconds, and the sum of two such, stays finite.
constexpr double kLargestSeconds = 1e300;

double secondsField(const std::filesystem::path& file, int line, std::string_view column,
                    std::string_view field) {
  const auto value = parseFiniteNumber(field);
  if (!value || *value > kLargestSeconds || *value < -kLargestSeconds) {
    failAt(file, line,
           "expected a number of seconds in column " + std::string(column) + ", found " +
               inQuotes(field));
  }
  return *value;
}

}  // namespace

Protocol readEventsTsv(std::istream& in, const std::filesystem::path& file) {
  TextLineReader reader(in, file, kProtocolLimits);
  TextLine headerLine;
  if (!reader.next(headerLine) || trim(headerLine.text).empty()) {
    failAt(file, 1, "expected a header line with the columns onset and duration, found none");
  }
  // The fields below are views into this line, which must outlive them.
  const std::vector<std::string_view> header = splitTabs(headerLine.text);
  const auto onsetColumn = columnIndex(header, "onset");
  const auto durationColumn = columnIndex(header, "duration");
  const auto typeColumn = columnIndex(header, "trial_type");
  if (!onsetColumn || !durationColumn) {
    failAt(file, 1,
           "expected the tab-separated columns onset and duration in the header, found " +
               inQuotes(headerLine.text));
  }

  Protocol protocol;
  protocol.unit = TimeUnit::Milliseconds;
  std::map<std::string, std::size_t, std::less<>> conditionOfType;
  if (!typeColumn) protocol.conditions.push_back({singleConditionName(file), {}});

  TextLine line;
  while (reader.next(line)) {
    if (trim(line.text).empty()) continue;
    const auto fields = splitTabs(line.text);
    if (fields.size() != header.size()) {
      failAt(file, line.number,
             "expected " + std::to_string(header.size()) + " tab-separated fields, found " +
                 std::to_string(fields.size()));
    }
    const double onset = secondsField(file, line.number, "onset", fields[*onsetColumn]);
    const std::string_view durationText = fields[*durationColumn];
    const double duration = durationText == kNotAvailable
                                ? 0.0
                                : secondsField(file, line.number, "duration", durationText);
    if (duration < 0) {
      failAt(file, line.number,
             "expected a duration of 0 seconds or more, found " + inQuotes(durationText));
    }

    std::size_t condition = 0;
    if (typeColumn) {
      const std::string_view type = trim(fields[*typeColumn]);
      if (type == kNotAvailable) continue;
      checkConditionName(file, line.number, type);
      const auto known = conditionOfType.find(type);
      if (known == conditionOfType.end()) {
        condition = protocol.conditions.size();
        checkConditionCount(file, line.number, condition + 1);
        conditionOfType.emplace(std::string(type), condition);
        protocol.conditions.push_back({std::string(type), {}});
      } else {
        condition = known->second;
      }
    }
    protocol.conditions[condition].intervals.push_back(
        {onset * kMillisecondsPerSecond, (onset + duration) * kMillisecondsPerSecond, line.number});
  }
  return protocol;
}

}  // namespace tolvane::formats
