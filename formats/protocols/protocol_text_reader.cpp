// The native protocol text format (.prt):
//
//   # comment lines start with '#'; blank lines are ignored
//   units volumes            (or: units milliseconds) -- required, before any condition
//   condition Rest           the rest of the line, trimmed, is the name
//     1 10                   one interval per line: begin end
//     21 30
//   condition Task
//     11 20
//
// Volume intervals are whole numbers with 1 <= begin <= end; millisecond intervals
// are numbers with 0 <= begin <= end. Condition names are unique. Intervals past the
// end of the run are accepted here: only the run knows its length.
#include <set>

#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

TimeUnit parseUnits(const std::filesystem::path& file, const TextLine& line,
                    std::string_view argument) {
  if (argument == "volumes") return TimeUnit::Volumes;
  if (argument == "milliseconds" || argument == "ms") return TimeUnit::Milliseconds;
  failAt(file, line.number,
         "expected 'units volumes' or 'units milliseconds', found units " + inQuotes(argument));
}

Interval parseInterval(const std::filesystem::path& file, const TextLine& line, TimeUnit unit) {
  const auto tokens = splitWhitespace(line.text);
  if (tokens.size() != 2) {
    failAt(file, line.number,
           "expected 'units', 'condition NAME' or an interval of two numbers, found " +
               inQuotes(trim(line.text)));
  }
  if (unit == TimeUnit::Volumes) {
    const auto begin = parseInt(tokens[0]);
    const auto end = parseInt(tokens[1]);
    if (!begin || !end || *begin < 1 || *end < *begin) {
      failAt(file, line.number,
             "expected a volume interval of whole numbers 1 <= begin <= end, found " +
                 inQuotes(trim(line.text)));
    }
    return {static_cast<double>(*begin), static_cast<double>(*end), line.number};
  }
  const auto begin = parseFiniteNumber(tokens[0]);
  const auto end = parseFiniteNumber(tokens[1]);
  if (!begin || !end || *begin < 0 || *end < *begin) {
    failAt(file, line.number,
           "expected a millisecond interval of numbers 0 <= begin <= end, found " +
               inQuotes(trim(line.text)));
  }
  return {*begin, *end, line.number};
}

}  // namespace

Protocol readProtocolText(std::istream& in, const std::filesystem::path& file) {
  Protocol protocol;
  bool unitsGiven = false;
  std::set<std::string, std::less<>> names;
  TextLineReader reader(in, file, kProtocolLimits);
  TextLine line;
  while (reader.next(line)) {
    if (isCommentOrBlank(line.text)) continue;
    const std::string_view content = trim(line.text);
    const auto tokens = splitWhitespace(content);
    const std::string_view keyword = tokens.front();
    const std::string_view argument = trim(content.substr(keyword.size()));
    if (keyword == "units") {
      if (unitsGiven) failAt(file, line.number, "expected 'units' only once");
      protocol.unit = parseUnits(file, line, argument);
      unitsGiven = true;
    } else if (!unitsGiven) {
      failAt(file, line.number,
             "expected 'units volumes' or 'units milliseconds' first, found " + inQuotes(content));
    } else if (keyword == "condition") {
      checkConditionName(file, line.number, argument);
      checkConditionCount(file, line.number, protocol.conditions.size() + 1);
      if (!names.emplace(argument).second) {
        failAt(file, line.number,
               "expected a new condition name, found " + inQuotes(argument) + " a second time");
      }
      protocol.conditions.push_back({std::string(argument), {}});
    } else if (protocol.conditions.empty()) {
      failAt(file, line.number,
             "expected 'condition NAME' before the first interval, found " + inQuotes(content));
    } else {
      protocol.conditions.back().intervals.push_back(parseInterval(file, line, protocol.unit));
    }
  }
  if (!unitsGiven) failAt(file, 1, "expected 'units volumes' or 'units milliseconds', found none");
  return protocol;
}

}  // namespace tolvane::formats
