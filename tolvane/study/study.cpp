// Loading and checking a study; see study.h.
#include "tolvane/study/study.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "design/rest_conditions.h"
#include "formats/nifti/nifti_io.h"
#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "tolvane/study/head_motion.h"
#include "tolvane/study/regions.h"
#include "tolvane/study/response_draws.h"
#include "tolvane/study/run_designs.h"
#include "tolvane/study/run_events.h"
#include "tolvane/study/scanner_noise.h"
#include "tolvane/study/sha256.h"
#include "tolvane/study/trial_amplitudes.h"
#include "tolvane/study/slice_timing.h"

namespace tolvane::study {
namespace {

using formats::InputError;

constexpr double kMinTrSeconds = 0.01;
constexpr double kMaxTrSeconds = 100.0;
constexpr std::int64_t kMaxVolumes = 100000;

class Checker {
 public:
  explicit Checker(const StudyFile& file) : file_(file) {}

  [[noreturn]] void fail(const std::string& key, const std::string& what) const {
    file_.fail(key, what);
  }

  // Runs a read of a file that `key` names; its error is told as the key's.
  template <typename Read>
  auto reading(const std::string& key, Read&& read) const {
    try {
      return read();
    } catch (const InputError& error) {
      fail(key, error.what());
    }
  }

  std::int64_t within(const std::string& key, std::int64_t value, std::int64_t low,
                      std::int64_t high) const {
    if (value < low || value > high) {
      fail(key, "expected a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", found " + std::to_string(value));
    }
    return value;
  }

 private:
  const StudyFile& file_;
};

std::filesystem::path relativeTo(const std::filesystem::path& folder, const std::string& written) {
  const std::filesystem::path path(written);
  return path.is_absolute() ? path : folder / path;
}

bool isAlphanumeric(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

formats::VtcGeometry checkedGrid(const StudyFile& file, const Checker& check,
                             const std::array<int, 3>& dims) {
  formats::VtcGeometry grid = formats::defaultVtcBox();
  if (file.box) {
    const auto& box = *file.box;
    for (int axis = 0; axis < 3; ++axis) {
      const std::int64_t start = box[2 * axis], end = box[2 * axis + 1];
      if (start < 0 || end > dims[axis] || end - start < file.resolution) {
        check.fail("grid.box", std::string("axis ") + "XYZ"[axis] + " runs from " +
                                   std::to_string(start) + " to " + std::to_string(end) +
                                   "; expected it within the anatomical's 0 to " +
                                   std::to_string(dims[axis]) +
                                   " and at least one grid voxel long");
      }
    }
    grid.xStart = static_cast<std::int32_t>(box[0]);
    grid.xEnd = static_cast<std::int32_t>(box[1]);
    grid.yStart = static_cast<std::int32_t>(box[2]);
    grid.yEnd = static_cast<std::int32_t>(box[3]);
    grid.zStart = static_cast<std::int32_t>(box[4]);
    grid.zEnd = static_cast<std::int32_t>(box[5]);
  } else if (dims[0] < grid.xEnd || dims[1] < grid.yEnd || dims[2] < grid.zEnd) {
    check.fail("grid.box",
               "the default box 57,231,52,172,59,197 does not fit the anatomical; "
               "give grid.box");
  }
  grid.resolution =
      static_cast<std::int32_t>(check.within("grid.resolution", file.resolution, 1, 64));
  if (!file.box &&
      (grid.xEnd - grid.xStart < grid.resolution || grid.yEnd - grid.yStart < grid.resolution ||
       grid.zEnd - grid.zStart < grid.resolution)) {
    check.fail("grid.resolution", "the grid would have no voxel");
  }
  return grid;
}

// The FWHM a kernel may have: far wider than any grid, and finite.
constexpr double kMaxSmoothnessMm = 1000.0;

NoiseModels checkedNoiseModels(const StudyFile& file, const Checker& check, const Study& study) {
  NoiseModels noise;
  if (file.smoothnessMm) {
    const std::array<double, 3> axes =
        file.smoothnessAxesMm.value_or(std::array<double, 3>{0.0, 0.0, 0.0});
    for (double fwhm : {*file.smoothnessMm, axes[0], axes[1], axes[2]}) {
      if (!(fwhm >= 0.0 && fwhm <= kMaxSmoothnessMm)) {
        check.fail("noise.smoothness_mm",
                   file.smoothnessAxesMm ? "expected FWHMs in mm from 0 to 1000 along x, y and z"
                                         : "expected a FWHM in mm from 0 to 1000");
      }
    }
    noise.smoothnessMm = *file.smoothnessMm;
    noise.smoothnessAxesMm = file.smoothnessAxesMm;
  }
  if (file.noiseModel == "ar1") {
    if (!file.rho) check.fail("noise.model", "expected noise.rho with model = \"ar1\"");
    if (!(std::fabs(*file.rho) < 1.0)) {
      check.fail("noise.rho", "expected an autocorrelation with |rho| < 1");
    }
    noise.autoregressive = true;
    noise.rho = static_cast<float>(*file.rho);
  } else if (file.noiseModel != "white") {
    check.fail("noise.model",
               "expected \"white\" or \"ar1\", found " + formats::inQuotes(file.noiseModel));
  } else if (file.rho) {
    check.fail("noise.rho", "expected only with model = \"ar1\"");
  }
  if (file.driftSd) {
    if (!(*file.driftSd >= 0.0 && *file.driftSd <= 1e30)) {
      check.fail("noise.drift.sd", "expected a standard deviation of 0 or more");
    }
    if (!(file.driftCutoffSeconds > 0.0 && std::isfinite(file.driftCutoffSeconds))) {
      check.fail("noise.drift.cutoff_s", "expected a cutoff period in seconds above 0");
    }
    noise.driftSd = static_cast<float>(*file.driftSd);
    noise.driftCutoffSeconds = file.driftCutoffSeconds;
  }
  checkScannerNoiseModels(file, study, noise);
  if (!noise.any()) return noise;
  const std::string model = noise.smoothnessMm > 0.0 ? "noise.smoothness_mm"
                            : noise.autoregressive   ? "noise.model"
                                                     : "noise.drift";
  if (study.signal == SignalMode::Replace) {
    check.fail(model,
               "structured noise needs signal = \"add\": with \"replace\" the regions' "
               "voxels get fresh white noise, as the plug-in gives them");
  }
  if (study.generator == Generator::Ran1) {
    check.fail(model,
               "structured noise needs generator = \"philox\", whose field any voxel "
               "and volume can be drawn from; ran1 is for the plug-in's white noise");
  }
  return noise;
}

// Conditions that a region gives an effect: modelled, never rest, and each must have
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

void checkRest(const StudyFile& file, const Checker& check, Study& study,
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

// "sub-02 run 1", or "the run" when every run has the same events.
std::string runName(const Study& study, int place) {
  if (study.runDesigns.size() == 1) return "the run";
  return "sub-" + study.subjectLabel(place / study.runs + 1) + " run " +
         std::to_string(place % study.runs + 1);
}

// Warns about events beyond the runs' end and refuses a run in which a condition with
// an effect has no event at all, or a peak effect no response.
void checkEventsAgainstRuns(const StudyFile& file, const Checker& check, Study& study,
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

// A region without effects is allowed only as a network's node.
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

}  // namespace

std::string Study::subjectLabel(int subject) const {
  const std::size_t width = subjects > 99 ? 3 : 2;
  const std::string digits = std::to_string(subject);
  return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

const char* generatorName(Generator generator) {
  return generator == Generator::Philox ? "philox" : "ran1";
}

const char* signalName(SignalMode signal) { return signal == SignalMode::Add ? "add" : "replace"; }

const char* storedTypeName(StoredType type) {
  return type == StoredType::Float32 ? "float32" : "int16";
}

Study loadStudy(const std::filesystem::path& path, const Overrides& overrides) {
  StudyFile file = readStudyFile(path);
  const Checker check(file);
  Study study;
  study.file = path;
  study.inputFiles.push_back(path);
  study.fileBytes = file.text;
  study.fileSha256 = sha256Hex(study.fileBytes);
  const std::filesystem::path folder = path.parent_path();

  // A value from the command line is checked as the option it came from.
  const auto checkOption = [](const char* option, std::int64_t value, std::int64_t high) {
    if (value < 1 || value > high) {
      throw InputError(std::string(option) + ": expected a whole number from 1 to " +
                       std::to_string(high) + ", found " + std::to_string(value));
    }
    return value;
  };
  if (overrides.seed) file.seed = checkOption("--seed", *overrides.seed, kMaxSeed);
  if (overrides.subjects) {
    file.subjects = checkOption("--subjects", *overrides.subjects, kMaxSubjects);
  }
  if (overrides.runs) file.runs = checkOption("--runs", *overrides.runs, kMaxRuns);
  study.seed = static_cast<std::uint32_t>(check.within("seed", file.seed, 1, kMaxSeed));
  study.subjects = static_cast<int>(check.within("subjects", file.subjects, 1, kMaxSubjects));
  study.runs = static_cast<int>(check.within("runs", file.runs, 1, kMaxRuns));
  if (!isAlphanumeric(file.task)) {
    check.fail("task", "expected a task label of letters and digits only, found " +
                           formats::inQuotes(file.task));
  }
  study.task = file.task;
  study.name = file.name ? *file.name : path.stem().string();
  if (file.generator == "philox") {
    study.generator = Generator::Philox;
  } else if (file.generator == "ran1") {
    study.generator = Generator::Ran1;
  } else {
    check.fail("generator",
               "expected \"philox\" or \"ran1\", found " + formats::inQuotes(file.generator));
  }
  if (file.signal == "add") {
    study.signal = SignalMode::Add;
  } else if (file.signal == "replace") {
    study.signal = SignalMode::Replace;
  } else {
    check.fail("signal",
               "expected \"add\" or \"replace\", found " + formats::inQuotes(file.signal));
  }
  if (file.datatype == "float32") {
    study.datatype = StoredType::Float32;
  } else if (file.datatype == "int16") {
    study.datatype = StoredType::Int16;
  } else {
    check.fail("datatype",
               "expected \"float32\" or \"int16\", found " + formats::inQuotes(file.datatype));
  }
  if (!(file.trSeconds >= kMinTrSeconds && file.trSeconds <= kMaxTrSeconds)) {
    check.fail("tr", "expected a repetition time from 0.01 to 100 seconds");
  }
  if (!std::isfinite(file.baseline) || std::fabs(file.baseline) > 1e30) {
    check.fail("baseline", "expected a finite number from -1e30 to 1e30");
  }
  if (!(file.noiseSd >= 0.0 && file.noiseSd <= 1e30)) {
    check.fail("noise.sd", "expected a standard deviation from 0 to 1e30");
  }
  study.levels = {static_cast<float>(file.baseline), static_cast<float>(file.noiseSd)};
  study.noise = checkedNoiseModels(file, check, study);

  std::array<int, 3> dims{formats::kEmptyVmrDim, formats::kEmptyVmrDim, formats::kEmptyVmrDim};
  study.frame = formats::emptyVmrFrame();
  if (file.anatomical) {
    const formats::Anatomical anatomical = check.reading("grid.anatomical", [&] {
      return formats::readAnatomical(relativeTo(folder, *file.anatomical));
    });
    dims = anatomical.dims;
    study.frame = anatomical.frame;
  }
  study.grid = checkedGrid(file, check, dims);
  study.grid.trMilliseconds = file.trSeconds * 1000.0;

  const std::vector<design::Protocol> protocols = readRunProtocols(
      file, folder, study, [&](const std::string& key, const std::string& what) {
        check.fail(key, what);
      }, study.inputFiles);
  study.protocol = protocols.front();
  std::int64_t volumes = 0;
  for (const design::Protocol& protocol : protocols) {
    volumes = std::max(volumes, defaultVolumes(protocol, study.grid.trMilliseconds));
  }
  if (file.volumes) volumes = *file.volumes;
  study.grid.timePoints =
      static_cast<std::int32_t>(check.within("volumes", volumes, 1, kMaxVolumes));
  study.runDesigns = buildRunDesigns(protocols, study.grid);
  const auto readToo = [&](const std::optional<std::string>& written) {
    if (written) study.inputFiles.push_back(relativeTo(folder, *written));
  };
  readToo(file.anatomical);
  readToo(file.baselineImage);
  readToo(file.mask);
  if (file.physio) readToo(file.physio->map);
  for (const RegionEntry& entry : file.regions) {
    readToo(entry.voi);
    readToo(entry.labels);
  }
  study.sliceTiming = resolveSliceTiming(file, study);
  study.motion = resolveMotion(file, folder, study);
  if (usesScannerNoise(file)) {
    study.voxelLevels = resolveVoxelLevels(file, folder, study);
    study.baselineImage = file.baselineImage;
    study.baselineScale = file.baselineScale.value_or(1.0);
    study.maskImage = file.mask;
    if (file.physio) study.physioMapImage = file.physio->map;
    study.tsnr = file.tsnr;
    study.snr = file.snr;
    study.noiseSdImage = file.noiseSdImage;
    study.tsnrImage = file.tsnrImage;
  }

  // Percentages are of the baseline; of an image baseline, of its mean over the mask
  // (each voxel's effect is then scaled by its own baseline, run_synthesis.h).
  const double percentBaseline =
      study.baselineImage ? study.voxelLevels->meanBaselineInMask : file.baseline;
  const RegionContext context{path, folder,          study.grid,     study.frame,
                              dims, &study.protocol, percentBaseline, !file.networks.empty()};
  for (std::size_t i = 0; i < file.regions.size(); ++i) {
    study.regions.push_back(resolveRegion(file.regions[i], i, context));
    study.regions.back().pattern = resolvePattern(file.regions[i], study, percentBaseline);
  }
  study.networks = resolveNetworks(file.networks, file, study, percentBaseline);
  checkRegionsWithoutEffects(file, study);
  for (const Region& region : study.regions) {
    if (region.jitterMm > 0.0 && study.signal == SignalMode::Replace) {
      check.fail("signal", "region " + formats::inQuotes(region.name) +
                               " moves per subject (jitter_mm), which needs signal = \"add\"");
    }
  }
  study.responses = resolveResponses(file, study);
  if (study.sliceTiming && !study.responses.empty()) {
    // Slice-timed effects are sampled from the canonical design's fine signal; a
    // region's own response shape has no such signal yet.
    check.fail(file.given("slice_timing") ? "slice_timing" : "multiband",
               "expected no hrf keys with slice timing (each slice is sampled from the "
               "canonical response); remove one or the other");
  }
  study.trialSpreads = resolveTrialSpreads(file, study, percentBaseline);
  const std::vector<bool> modelled = conditionsWithEffects(study);
  checkRest(file, check, study, modelled);
  checkEventsAgainstRuns(file, check, study, modelled);
  warnAboutRegions(study);
  return study;
}

}  // namespace tolvane::study
