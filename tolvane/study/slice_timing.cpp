// Slice timing; see slice_timing.h.
#include "tolvane/study/slice_timing.h"

#include <cmath>
#include <map>

#include "design/design_matrix.h"
#include "design/hrf.h"
#include "formats/text_parsing.h"

namespace tolvane::study {
namespace {

// Excitation of place j of n in the named order.
int excitation(const std::string& order, int j, int n) {
  if (order == "ascending") return j;
  if (order == "descending") return n - 1 - j;
  return j % 2 == 0 ? j / 2 : (n + 1) / 2 + (j - 1) / 2;
}

// The fine signal at fractional sample `at`, linearly between its samples.
float sampleAt(const std::vector<double>& fine, double at) {
  const auto last = static_cast<double>(fine.size() - 1);
  if (at >= last) return static_cast<float>(fine.back());
  const double base = std::floor(at);
  const double fraction = at - base;
  const auto i = static_cast<std::size_t>(base);
  return static_cast<float>((1.0 - fraction) * fine[i] + fraction * fine[i + 1]);
}

}  // namespace

std::optional<SliceTiming> resolveSliceTiming(const StudyFile& file, const Study& study) {
  if (!file.sliceTiming) return std::nullopt;
  const SliceTimingEntry& entry = *file.sliceTiming;
  const std::string key = file.given("slice_timing") ? "slice_timing" : "multiband";
  if (study.generator != Generator::Philox || study.signal != SignalMode::Add) {
    file.fail(key, "expected generator = \"philox\" and signal = \"add\" with slice timing");
  }
  const int slices = study.grid.dimZ();
  if (entry.multiband < 1 || entry.multiband > slices || slices % entry.multiband != 0) {
    file.fail("multiband", "expected a factor that divides the grid's " +
                               std::to_string(slices) + " slices");
  }
  if (!entry.order && !entry.timesSeconds) {
    file.fail("multiband", "expected slice_timing too (\"ascending\", \"descending\", "
                           "\"interleaved\" or a list of times)");
  }
  SliceTiming timing;
  timing.multiband = static_cast<int>(entry.multiband);
  const double tr = study.grid.trMilliseconds / 1000.0;
  if (entry.timesSeconds) {
    if (entry.multiband != 1) {
      file.fail("multiband", "expected no factor with a list of slice times (the list gives "
                             "each band's slices the same time)");
    }
    if (entry.timesSeconds->size() != static_cast<std::size_t>(slices)) {
      file.fail("slice_timing", "expected " + std::to_string(slices) +
                                    " times, one per slice along the grid's third axis");
    }
    for (const double time : *entry.timesSeconds) {
      if (!(time >= 0.0 && time < tr)) {
        file.fail("slice_timing", "expected each time from 0 up to the TR, in seconds");
      }
    }
    timing.orderAsWritten = "list";
    timing.timesSeconds = *entry.timesSeconds;
    return timing;
  }
  const std::string& order = *entry.order;
  if (order != "ascending" && order != "descending" && order != "interleaved") {
    file.fail("slice_timing", "expected \"ascending\", \"descending\", \"interleaved\" or a "
                              "list of times, found " + formats::inQuotes(order));
  }
  timing.orderAsWritten = order;
  const int perBand = slices / timing.multiband;
  for (int z = 0; z < slices; ++z) {
    timing.timesSeconds.push_back(excitation(order, z % perBand, perBand) * tr / perBand);
  }
  return timing;
}

std::vector<std::vector<std::vector<float>>> slicePredictors(const Study& study, int place) {
  const RunDesign& run = study.runDesign(place);
  const double tr = study.grid.trMilliseconds;
  design::DesignMatrix matrix;
  for (std::size_t c = 0; c < run.protocol.conditions.size(); ++c) {
    matrix.addPredictor(run.protocol.conditions[c].name, study.grid.timePoints);
    matrix.setFromCondition(c, run.protocol.conditions[c], run.protocol.unit, tr, 1.0f);
    matrix.applyTwoGammaHrf(c, tr);
  }
  // Slices of one time share their predictors.
  std::map<double, std::vector<std::vector<float>>> byTime;
  std::vector<std::vector<std::vector<float>>> bySlice;
  for (const double seconds : study.sliceTiming->timesSeconds) {
    auto [found, added] = byTime.try_emplace(seconds);
    if (added) {
      const double offset = seconds * 1000.0 / tr * design::kSamplesPerVolume;
      for (std::size_t c = 0; c < matrix.size(); ++c) {
        std::vector<float> values(static_cast<std::size_t>(study.grid.timePoints));
        for (std::size_t t = 0; t < values.size(); ++t) {
          values[t] = sampleAt(matrix[c].fineSignal,
                               static_cast<double>(t * design::kSamplesPerVolume) + offset);
        }
        found->second.push_back(std::move(values));
      }
    }
    bySlice.push_back(found->second);
  }
  return bySlice;
}

}  // namespace tolvane::study
