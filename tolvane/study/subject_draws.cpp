// A study's draws per subject and run: effects, their means and regions' offsets; see
// study.h and study_random.h.
#include <algorithm>
#include <cmath>

#include "formats/affine.h"
#include "engine/counter_noise.h"
#include "tolvane/study/study.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {

std::vector<float> Study::amplitudes(std::size_t region, int place,
                                     const std::vector<float>* peaks) const {
  // The draws of every (region, condition) of the study are made in the same order
  // whether or not their sd is 0, so that changing one sd leaves the other draws.
  const std::size_t conditions = protocol.conditions.size();
  std::vector<double> subjectDraws, runDraws;
  if (effectsVary()) {
    const int subject = place / runs;
    DrawSequence bySubject(seed, static_cast<std::uint32_t>(subject), engine::kSubjectStream,
                           static_cast<std::uint32_t>(DrawPurpose::Subject));
    DrawSequence byRun(seed, static_cast<std::uint32_t>(place), engine::kSubjectStream,
                       static_cast<std::uint32_t>(DrawPurpose::Run));
    for (std::size_t k = 0; k < regions.size() * conditions; ++k) {
      subjectDraws.push_back(bySubject.nextNormal());
      runDraws.push_back(byRun.nextNormal());
    }
  }
  const RunDesign& run = runDesign(place);
  std::vector<float> values;
  for (std::size_t c = 0; c < conditions; ++c) {
    const Effect& effect = regions[region].effects[c];
    double value = effect.mean;
    if (!subjectDraws.empty()) {
      const std::size_t k = region * conditions + c;
      value = (value + effect.sd * subjectDraws[k]) + effect.runSd * runDraws[k];
    }
    if (effect.peak) value /= static_cast<double>(peaks ? (*peaks)[c] : run.peaks[c]);
    values.push_back(static_cast<float>(value));
  }
  return values;
}

std::array<double, 3> Study::voxelEdgesMm() const {
  std::array<double, 3> edges = formats::voxelSizes(frame.voxelToWorld);
  for (double& edge : edges) edge = grid.resolution * edge;
  return edges;
}

std::array<int, 3> Study::regionOffset(std::size_t region, int subject) const {
  // Three draws per region, in the regions' order, whether or not it jitters.
  DrawSequence draws(seed, static_cast<std::uint32_t>(subject - 1), engine::kSubjectStream,
                     static_cast<std::uint32_t>(DrawPurpose::Jitter));
  std::array<double, 3> z{};
  for (std::size_t r = 0; r <= region; ++r) {
    for (double& value : z) value = draws.nextNormal();
  }
  const std::array<double, 3> edges = voxelEdgesMm();
  std::array<int, 3> offset{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    offset[axis] = static_cast<int>(std::lround(regions[region].jitterMm * z[axis] / edges[axis]));
  }
  return offset;
}

std::vector<float> Study::meanAmplitudes(std::size_t region) const {
  std::vector<float> values;
  for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
    const Effect& effect = regions[region].effects[c];
    double sum = 0.0;
    for (const RunDesign& run : runDesigns) {
      sum += effect.peak ? effect.mean / static_cast<double>(run.peaks[c]) : effect.mean;
    }
    values.push_back(static_cast<float>(sum / static_cast<double>(runDesigns.size())));
  }
  return values;
}

bool Study::subjectsDiffer() const {
  return effectsVary() || std::any_of(regions.begin(), regions.end(), [](const Region& region) {
           return region.jitterMm > 0.0 || region.pattern.has_value();
         });
}

bool Study::effectsVary() const {
  return std::any_of(regions.begin(), regions.end(), [](const Region& region) {
    return std::any_of(region.effects.begin(), region.effects.end(),
                       [](const Effect& e) { return e.sd != 0.0 || e.runSd != 0.0; });
  });
}

}  // namespace tolvane::study
