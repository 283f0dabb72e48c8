// Events against the run; see run_events.h.
#include "tolvane/study/run_events.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "design/rest_conditions.h"

namespace tolvane::study {

double intervalBeginMs(const design::Protocol& protocol, const design::Interval& interval,
                       double trMilliseconds) {
  return protocol.unit == design::TimeUnit::Volumes ? (interval.begin - 1.0) * trMilliseconds
                                                    : interval.begin;
}

double intervalEndMs(const design::Protocol& protocol, const design::Interval& interval,
                     double trMilliseconds) {
  return protocol.unit == design::TimeUnit::Volumes ? interval.end * trMilliseconds
                                                    : interval.end;
}

std::int64_t defaultVolumes(const design::Protocol& protocol, double trMilliseconds) {
  double end = 0.0;
  for (const design::Condition& condition : protocol.conditions) {
    for (const design::Interval& interval : condition.intervals) {
      end = std::max(end, intervalEndMs(protocol, interval, trMilliseconds));
    }
  }
  // A length that is a whole number of TRs up to rounding is that number, not one more.
  const double volumes = (end + kResponseSeconds * 1000.0) / trMilliseconds;
  return static_cast<std::int64_t>(std::ceil(volumes - 1e-9 * volumes));
}

RunEventCount countRunEvents(const design::Protocol& protocol, double runMilliseconds,
                             double trMilliseconds) {
  RunEventCount count;
  for (const design::Condition& condition : protocol.conditions) {
    bool any = false;
    for (const design::Interval& interval : condition.intervals) {
      if (intervalBeginMs(protocol, interval, trMilliseconds) >= runMilliseconds) {
        ++count.startingAfterEnd;
        continue;
      }
      any = true;
      if (intervalEndMs(protocol, interval, trMilliseconds) > runMilliseconds) {
        ++count.endingAfterEnd;
      }
    }
    count.conditionHasEvent.push_back(any);
  }
  return count;
}

design::Protocol runEvents(const design::Protocol& protocol, double runMilliseconds,
                           double trMilliseconds, const std::vector<bool>& leftOut) {
  design::Protocol shown = design::withoutConditions(protocol, leftOut);
  for (design::Condition& condition : shown.conditions) {
    auto& intervals = condition.intervals;
    intervals.erase(std::remove_if(intervals.begin(), intervals.end(),
                                   [&](const design::Interval& interval) {
                                     return intervalBeginMs(protocol, interval, trMilliseconds) >=
                                            runMilliseconds;
                                   }),
                    intervals.end());
  }
  return shown;
}

std::string runLengthText(std::int64_t volumes, double trMilliseconds) {
  std::ostringstream text;
  text << volumes << " volumes (" << static_cast<double>(volumes) * trMilliseconds / 1000.0
       << " s)";
  return text.str();
}

}  // namespace tolvane::study
