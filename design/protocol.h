// The experimental protocol that a run follows: conditions in order, each with the
// intervals during which it is on.
//
// Times are either volumes (1-based, both ends inclusive: interval [11, 20] is the
// eleventh to the twentieth volume) or milliseconds from the start of the first
// volume (half-open: [begin, end) is on from begin up to, not including, end).
//
// Intervals may overlap, within a condition and across conditions: events of one
// trial type often do, and a predictor is simply on wherever any of its intervals is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tolvane::design {

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

}  // namespace tolvane::design
