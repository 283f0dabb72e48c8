// The BIDS events table writer; see events_tsv_writer.h.
#include "formats/protocols/events_tsv_writer.h"

#include <algorithm>
#include <vector>

#include "formats/atomic_file.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

struct Event {
  double onsetSeconds;
  double durationSeconds;
  std::size_t condition;
};

}  // namespace

std::string eventsTsvText(const design::Protocol& protocol, double trMilliseconds) {
  std::vector<Event> events;
  for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
    for (const design::Interval& interval : protocol.conditions[c].intervals) {
      double beginMs = interval.begin;
      double endMs = interval.end;
      if (protocol.unit == design::TimeUnit::Volumes) {
        beginMs = (interval.begin - 1.0) * trMilliseconds;
        endMs = interval.end * trMilliseconds;
      }
      events.push_back({beginMs / 1000.0, (endMs - beginMs) / 1000.0, c});
    }
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.onsetSeconds < b.onsetSeconds; });
  std::string text = "onset\tduration\ttrial_type\n";
  for (const Event& event : events) {
    text += shortestText(event.onsetSeconds) + '\t' + shortestText(event.durationSeconds) + '\t' +
            protocol.conditions[event.condition].name + '\n';
  }
  return text;
}

void writeEventsTsv(const std::filesystem::path& file, const design::Protocol& protocol,
                    double trMilliseconds) {
  AtomicFileWriter writer(file);
  CheckedOutputFile out(writer.temporaryPath(), file.string());
  out.write(eventsTsvText(protocol, trMilliseconds));
  out.close();
  writer.commit();
}

}  // namespace tolvane::formats
