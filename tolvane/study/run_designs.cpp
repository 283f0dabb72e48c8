// Each run's events and predictors; see run_designs.h.
#include "tolvane/study/run_designs.h"

#include <algorithm>

#include "design/design_matrix.h"
#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "tolvane/study/generated_design.h"

namespace tolvane::study {
namespace {

using formats::InputError;

// Longest trial, gap and number of trials a generated design may have: far beyond any
// experiment, and small enough that a run stays within the volumes allowed.
constexpr double kMaxDesignSeconds = 3600.0;
constexpr std::int64_t kMaxTrials = 10000;

std::string replaced(std::string text, const std::string& placeholder, const std::string& by) {
  for (std::size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + by.size())) {
    text.replace(at, placeholder.size(), by);
  }
  return text;
}

std::filesystem::path relativeTo(const std::filesystem::path& folder, const std::string& written) {
  const std::filesystem::path path(written);
  return path.is_absolute() ? path : folder / path;
}

DesignSettings checkedSpec(const DesignEntry& entry, const KeyFailure& fail) {
  DesignSettings settings;
  settings.conditions = entry.conditions;
  for (std::size_t c = 0; c < settings.conditions.size(); ++c) {
    const std::string& name = settings.conditions[c];
    if (name.empty() || name.size() > design::kMaxConditionNameLength ||
        std::count(settings.conditions.begin(), settings.conditions.end(), name) > 1) {
      fail("design.conditions", "expected distinct, non-empty condition names, found " +
                                    formats::inQuotes(name));
    }
  }
  if (entry.trials < 1 || entry.trials > kMaxTrials) {
    fail("design.trials", "expected a number of trials per condition from 1 to 10000");
  }
  settings.trials = static_cast<int>(entry.trials);
  if (!(entry.durationSeconds > 0.0 && entry.durationSeconds <= kMaxDesignSeconds)) {
    fail("design.duration_s", "expected a trial duration above 0 and at most 3600 s");
  }
  settings.durationSeconds = entry.durationSeconds;
  const double low = entry.isiMinSeconds, mean = entry.isiMeanSeconds, high = entry.isiMaxSeconds;
  if (!(low >= 0.0 && high <= kMaxDesignSeconds && low < mean && mean < high)) {
    fail("design.isi_s", "expected 0 <= min < mean < max <= 3600 seconds");
  }
  if (!(mean - low < 0.5 * (high - low))) {
    fail("design.isi_s.mean",
         "expected a mean closer to min than to max (a truncated exponential decays from "
         "min), below " + formats::inQuotes(std::to_string(0.5 * (low + high))) + " s");
  }
  settings.isiMinSeconds = low;
  settings.isiMeanSeconds = mean;
  settings.isiMaxSeconds = high;
  return settings;
}

// Every protocol with the conditions of all, in order of first appearance.
void alignConditions(std::vector<design::Protocol>& protocols) {
  std::vector<std::string> names;
  for (const design::Protocol& protocol : protocols) {
    for (const design::Condition& condition : protocol.conditions) {
      if (std::find(names.begin(), names.end(), condition.name) == names.end()) {
        names.push_back(condition.name);
      }
    }
  }
  for (design::Protocol& protocol : protocols) {
    std::vector<design::Condition> aligned;
    for (const std::string& name : names) {
      const auto found = std::find_if(protocol.conditions.begin(), protocol.conditions.end(),
                                      [&](const design::Condition& c) { return c.name == name; });
      aligned.push_back(found != protocol.conditions.end() ? *found
                                                           : design::Condition{name, {}});
    }
    protocol.conditions = std::move(aligned);
  }
}

}  // namespace

std::vector<design::Protocol> readRunProtocols(const StudyFile& file,
                                               const std::filesystem::path& folder,
                                               const Study& study, const KeyFailure& fail,
                                               std::vector<std::filesystem::path>& read) {
  std::vector<design::Protocol> protocols;
  const int places = study.runCount();
  if (file.design) {
    const DesignSettings settings = checkedSpec(*file.design, fail);
    for (int place = 0; place < places; ++place) {
      protocols.push_back(generateDesign(settings, study.seed, place));
    }
    return protocols;
  }
  const bool perRun = file.protocol.find("{subject}") != std::string::npos ||
                      file.protocol.find("{run}") != std::string::npos;
  const auto readOne = [&](const std::string& written) {
    try {
      read.push_back(relativeTo(folder, written));
      design::Protocol protocol = formats::readProtocolFile(read.back());
      if (protocol.conditions.empty()) fail("protocol", written + ": expected at least one condition");
      return protocol;
    } catch (const InputError& error) {
      fail("protocol", error.what());
      throw;
    }
  };
  if (!perRun) {
    protocols.push_back(readOne(file.protocol));
    return protocols;
  }
  for (int subject = 1; subject <= study.subjects; ++subject) {
    for (int run = 1; run <= study.runs; ++run) {
      protocols.push_back(readOne(replaced(replaced(file.protocol, "{subject}",
                                                 study.subjectLabel(subject)),
                                        "{run}", std::to_string(run))));
    }
  }
  alignConditions(protocols);
  return protocols;
}

std::vector<RunDesign> buildRunDesigns(const std::vector<design::Protocol>& protocols,
                                       const formats::VtcGeometry& grid) {
  const double tr = grid.trMilliseconds;
  std::vector<RunDesign> designs;
  for (const design::Protocol& protocol : protocols) {
    RunDesign run;
    run.protocol = protocol;
    design::DesignMatrix matrix;
    for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
      matrix.addPredictor(protocol.conditions[c].name, grid.timePoints);
      matrix.setFromCondition(c, protocol.conditions[c], protocol.unit, tr, 1.0f);
      matrix.applyTwoGammaHrf(c, tr);
      const std::vector<float>& values = matrix[c].volumeValues;
      run.predictors.push_back(values);
      run.peaks.push_back(values.empty() ? 0.0f : *std::max_element(values.begin(), values.end()));
    }
    designs.push_back(std::move(run));
  }
  return designs;
}

}  // namespace tolvane::study
