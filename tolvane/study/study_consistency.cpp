// Checks across a loaded study's parts; see study_consistency.h.
#include "tolvane/study/study_consistency.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "design/rest_conditions.h"
#include "formats/text_parsing.h"
#include "tolvane/study/run_events.h"

namespace tolvane::study {
namespace {

// "sub-02 run 1", or "the run" when every run has the same events.
std::string runName(const Study& study, int place) {
  if (study.runDesigns.size() == 1) return "the run";
  return "sub-" + study.subjectLabel(place / study.runs + 1) + " run " +
         std::to_string(place % study.runs + 1);
}

}  // namespace

// Conditions that a region gives an effect are modelled, never rest, and each must have
// an event in the run.
std::vector<bool> conditionsWithEffects(const Study& study) {
  std::vector<bool> modelled(study.protocol.conditions.size(), false);
  for (const Region& region : study.regions) {
    for (std::size_t c = 0; c < modelled.size(); ++c) {
      const Effect& effect = region.effects[c];
      if (effect.mean != 0.0 || effect.sd != 0.0 || effect.runSd != 0.0) modelled[c] = true;
    }
  }
  return modelled;
}

void checkRest(const StudyFile& file, const KeyChecker& check, Study& study,
               const std::vector<bool>& modelled) {
  if (file.rest) {
    for (const std::string& name : *file.rest) {
      const auto& conditions = study.protocol.conditions;
      const auto found = std::find_if(conditions.begin(), conditions.end(),
                                      [&](const design::Condition& c) { return c.name == name; });
      if (found == conditions.end()) {
        check.fail("rest", "expected conditions of the protocol, found " + formats::inQuotes(name));
      }
      if (modelled[static_cast<std::size_t>(found - conditions.begin())]) {
        check.fail("rest", "condition " + formats::inQuotes(name) +
                               " has an effect, so it is not rest; leave it out of rest");
      }
    }
  }
  study.rest = design::restConditions(study.protocol, file.rest, modelled);
}

void checkEventsAgainstRuns(const StudyFile& file, const KeyChecker& check, Study& study,
                            const std::vector<bool>& modelled) {
  const double tr = study.grid.trMilliseconds;
  const std::string length = runLengthText(study.grid.timePoints, tr);
  int startingAfterEnd = 0, endingAfterEnd = 0;
  for (std::size_t place = 0; place < study.runDesigns.size(); ++place) {
    const RunDesign& run = study.runDesigns[place];
    const RunEventCount count = countRunEvents(run.protocol, study.runMilliseconds(), tr);
    startingAfterEnd += count.startingAfterEnd;
    endingAfterEnd += count.endingAfterEnd;
    for (std::size_t c = 0; c < modelled.size(); ++c) {
      const std::string condition = formats::inQuotes(study.protocol.conditions[c].name);
      const std::string where = runName(study, static_cast<int>(place));
      if (modelled[c] && !count.conditionHasEvent[c]) {
        check.fail(file.volumes ? "volumes" : "protocol",
                   "condition " + condition + " has an effect but no event within " + where +
                       "'s " + length + "; give more volumes or an earlier event");
      }
      for (const Region& region : study.regions) {
        if (region.effects[c].peak && !(run.peaks[c] > 0.0f)) {
          check.fail("region", "region " + formats::inQuotes(region.name) +
                                   ": a peak effect needs a response, and condition " +
                                   condition + " has none in " + where);
        }
      }
    }
  }
  const std::string of = study.runDesigns.size() == 1 ? "the protocol" : "the runs' events";
  if (startingAfterEnd > 0) {
    study.warnings.push_back(std::to_string(startingAfterEnd) + " event(s) of " + of +
                             " start at or after the end of the run's " + length +
                             "; they are left out of each run's events and predictors");
  }
  if (endingAfterEnd > 0) {
    study.warnings.push_back(std::to_string(endingAfterEnd) + " event(s) of " + of +
                             " end after the end of the run's " + length +
                             "; they are kept, their responses cut short");
  }
}

void warnAboutRegions(Study& study) {
  for (const Region& region : study.regions) {
    if (region.shareInsideGrid < 1.0) {
      study.warnings.push_back("region " + formats::inQuotes(region.name) +
                               " reaches out of the grid; " +
                               std::to_string(static_cast<int>(region.shareInsideGrid * 100.0)) +
                               "% of it is kept (" + std::to_string(region.voxels.size()) +
                               " grid voxels)");
    }
  }
  const bool add = study.signal == SignalMode::Add;
  for (std::size_t a = 0; a < study.regions.size(); ++a) {
    for (std::size_t b = a + 1; b < study.regions.size(); ++b) {
      const auto& first = study.regions[a].voxels;
      const auto& second = study.regions[b].voxels;
      std::vector<std::int64_t> shared;
      std::set_intersection(first.begin(), first.end(), second.begin(), second.end(),
                            std::back_inserter(shared));
      if (shared.empty()) continue;
      const std::string names = study.regions[a].name + "+" + study.regions[b].name;
      study.warnings.push_back(
          "regions " + formats::inQuotes(study.regions[a].name) + " and " +
          formats::inQuotes(study.regions[b].name) + " share " + std::to_string(shared.size()) +
          " voxel(s); " +
          (add ? "their effects add there, labelled as overlaps (such as " +
                     formats::inQuotes(names) + ") in the regions' image and table"
               : "with signal \"replace\" the later region's effect replaces the earlier's "
                 "there, and the voxels carry its label"));
    }
  }
}

void checkRegionsWithoutEffects(const StudyFile& file, const Study& study) {
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    if (!study.regions[r].effectsAsWritten.empty() || file.regions[r].effectsPlace) continue;
    const bool node = std::any_of(study.networks.begin(), study.networks.end(),
                                  [r](const Network& network) {
                                    return std::count(network.nodes.begin(),
                                                      network.nodes.end(), r) > 0;
                                  });
    if (!node) {
      formats::failAt(file.path, file.regions[r].place.line,
                      "key " + file.regions[r].place.key +
                          ".effects: missing; expected a table of condition = amplitude, "
                          "e.g. effects = { Task = 3.0 }, or the region as a network's node");
    }
  }
}

}  // namespace tolvane::study
