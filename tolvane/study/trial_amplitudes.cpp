// Trial-by-trial amplitudes; see trial_amplitudes.h.
#include "tolvane/study/trial_amplitudes.h"

#include <algorithm>

#include "engine/counter_noise.h"
#include "formats/text_parsing.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {

std::vector<TrialSpread> resolveTrialSpreads(const StudyFile& file, const Study& study,
                                             double baseline) {
  if (file.trialSds.empty()) return {};
  const std::vector<design::Condition>& conditions = study.protocol.conditions;
  std::vector<TrialSpread> spreads(conditions.size());
  for (const TrialSdEntry& entry : file.trialSds) {
    const auto found = std::find_if(conditions.begin(), conditions.end(),
                                    [&](const design::Condition& c) { return c.name == entry.condition; });
    if (found == conditions.end()) {
      formats::failAt(file.path, entry.place.line,
                      "key " + entry.place.key + ": expected a condition of the events, found " +
                          formats::inQuotes(entry.condition));
    }
    TrialSpread& spread = spreads[static_cast<std::size_t>(found - conditions.begin())];
    spread.relative = entry.relative;
    spread.sd = entry.percent ? baseline * entry.value / 100.0 : entry.value;
  }
  return spreads;
}

std::vector<std::vector<double>> trialDeviates(const Study& study, int place) {
  DrawSequence draws(study.seed, static_cast<std::uint32_t>(place), engine::kSubjectStream,
                     static_cast<std::uint32_t>(DrawPurpose::Trial));
  std::vector<std::vector<double>> deviates;
  for (const design::Condition& condition : study.runDesign(place).protocol.conditions) {
    std::vector<double> z(condition.intervals.size());
    for (double& value : z) value = draws.nextNormal();
    deviates.push_back(std::move(z));
  }
  return deviates;
}

double trialFactor(const TrialSpread& spread, double deviate, double amplitude) {
  if (spread.relative) return 1.0 + spread.sd * deviate;
  return amplitude == 0.0 ? 1.0 : 1.0 + spread.sd * deviate / amplitude;
}

}  // namespace tolvane::study
