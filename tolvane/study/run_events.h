// A protocol's events against the length of the run that shows them.
//
// Times here are milliseconds from the start of the first volume: an interval in
// volumes [b, e] (1-based, both ends included) runs from (b - 1) TR to e TR. A run of
// N volumes lasts N TR.
//
// When a study leaves `volumes` out, the run lasts until the last event has ended and
// its response has died away (kResponseSeconds, the length of the two-gamma HRF):
// N = ceil((end of the last event + 32 s) / TR). A shorter run is a legitimate choice
// but must be visible: an event that starts at or after the run's end is not part of
// the run (left out of its events table, contributing nothing to its predictors), an
// event that ends after it is kept, and each is counted for a warning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "design/protocol.h"

namespace tolvane::study {

constexpr double kResponseSeconds = 32.0;

// [begin, end) of an interval in milliseconds.
double intervalBeginMs(const design::Protocol& protocol, const design::Interval& interval,
                       double trMilliseconds);
double intervalEndMs(const design::Protocol& protocol, const design::Interval& interval,
                     double trMilliseconds);

// The volumes that cover every event and the response to the last one.
std::int64_t defaultVolumes(const design::Protocol& protocol, double trMilliseconds);

struct RunEventCount {
  int startingAfterEnd = 0;  // start at or after the run's end: left out
  int endingAfterEnd = 0;    // start inside the run, end after it: kept
  std::vector<bool> conditionHasEvent;  // per condition: an event starts inside the run
};

RunEventCount countRunEvents(const design::Protocol& protocol, double runMilliseconds,
                             double trMilliseconds);

// The events that a run shows: those that start before its end, of the conditions not
// flagged in `leftOut` (rest).
design::Protocol runEvents(const design::Protocol& protocol, double runMilliseconds,
                           double trMilliseconds, const std::vector<bool>& leftOut);

// "250 volumes (500 s)".
std::string runLengthText(std::int64_t volumes, double trMilliseconds);

}  // namespace tolvane::study
