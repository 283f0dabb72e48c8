// Checks shared by the two protocol targets: what every accepted protocol promises,
// and that the host can lay it down and convolve it without trouble, whatever its
// intervals.
#pragma once

#include <cmath>

#include "design/design_matrix.h"
#include "formats/protocols/protocol_files.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzzing {

inline void checkAcceptedProtocol(const tolvane::design::Protocol& protocol,
                                  const std::filesystem::path& file) {
  using tolvane::design::TimeUnit;
  require(protocol.conditions.size() <= tolvane::design::kMaxConditions, "at most kMaxConditions");
  for (const tolvane::design::Condition& condition : protocol.conditions) {
    require(!condition.name.empty() &&
                condition.name.size() <= tolvane::design::kMaxConditionNameLength,
            "condition names fit the condition record");
    for (const char c : condition.name) {
      require(static_cast<unsigned char>(c) >= 0x20, "condition names hold no control characters");
    }
    for (const tolvane::design::Interval& interval : condition.intervals) {
      require(std::isfinite(interval.begin) && std::isfinite(interval.end), "finite intervals");
      require(interval.begin <= interval.end, "intervals do not end before they begin");
      require(interval.line > 0, "intervals know their line");
      if (protocol.unit == TimeUnit::Volumes) {
        require(interval.begin >= 1 && interval.begin == std::floor(interval.begin) &&
                    interval.end == std::floor(interval.end),
                "volume intervals are whole, 1-based numbers");
      }
    }
  }

  // A short run, so that intervals reach past its end as well as lie within it.
  constexpr int kVolumes = 12;
  constexpr double kTrMilliseconds = 2000.0;
  constexpr std::size_t kConditionsLaidDown = 4;
  tolvane::formats::intervalsOutsideTheRun(protocol, file, kVolumes, kTrMilliseconds, 3);
  tolvane::design::DesignMatrix matrix;
  for (std::size_t c = 0; c < protocol.conditions.size() && c < kConditionsLaidDown; ++c) {
    matrix.addPredictor(protocol.conditions[c].name, kVolumes);
    matrix.setFromCondition(c, protocol.conditions[c], protocol.unit, kTrMilliseconds, 1.0f);
    for (int v = 0; v < kVolumes; ++v) {
      const float value = matrix[c].volumeValues[static_cast<std::size_t>(v)];
      require(value == 0.0f || value == 1.0f, "a condition is on (1) or off (0)");
    }
    matrix.applyTwoGammaHrf(c, kTrMilliseconds);
    for (int v = 0; v < kVolumes; ++v) {
      // The kernel sums to 1 and its undershoot is small, so no response to a 0/1
      // signal comes near 2 in magnitude.
      const float value = matrix[c].volumeValues[static_cast<std::size_t>(v)];
      require(std::isfinite(value) && std::fabs(value) < 2.0f, "a bounded, finite response");
    }
  }
}

}  // namespace fuzzing
