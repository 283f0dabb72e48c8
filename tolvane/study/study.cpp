// Loading and checking a study; see study.h.
#include "tolvane/study/study.h"

#include <algorithm>
#include <cmath>

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
#include "tolvane/study/study_checker.h"
#include "tolvane/study/trial_amplitudes.h"
#include "tolvane/study/slice_timing.h"
#include "tolvane/study/study_consistency.h"

namespace tolvane::study {
namespace {

using formats::InputError;

constexpr double kMinTrSeconds = 0.01;
constexpr double kMaxTrSeconds = 100.0;
constexpr std::int64_t kMaxVolumes = 100000;


std::filesystem::path relativeTo(const std::filesystem::path& folder, const std::string& written) {
  const std::filesystem::path path(written);
  return path.is_absolute() ? path : folder / path;
}

bool isAlphanumeric(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

formats::VtcGeometry checkedGrid(const StudyFile& file, const KeyChecker& check,
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

NoiseModels checkedNoiseModels(const StudyFile& file, const KeyChecker& check, const Study& study) {
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

namespace {

// The study's size and identity: seed, subjects and runs (the command line's overrides
// checked as the options they came from), the task and the name.
void resolveIdentity(StudyFile& file, const KeyChecker& check, const Overrides& overrides,
                     Study& study) {
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
  study.name = file.name ? *file.name : study.file.stem().string();
}

// How values are drawn, combined and stored, the TR, and the uniform levels.
void resolveModes(const StudyFile& file, const KeyChecker& check, Study& study) {
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
}

// The anatomical's frame and the grid in it; returns the anatomical's dimensions.
std::array<int, 3> resolveGrid(const StudyFile& file, const KeyChecker& check,
                               const std::filesystem::path& folder, Study& study) {
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
  return dims;
}

// Each run's protocol and design, and the run length (the longest protocol's, unless
// volumes is given).
void resolveDesigns(const StudyFile& file, const KeyChecker& check,
                    const std::filesystem::path& folder, Study& study) {
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
}

// The files the study reads besides its protocols, which an output folder must not hold.
void recordInputFiles(const StudyFile& file, const std::filesystem::path& folder,
                      Study& study) {
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
}

// The levels per voxel of scanner-like noise, and the keys that name their images.
void resolveScannerLevels(const StudyFile& file, const std::filesystem::path& folder,
                          Study& study) {
  if (!usesScannerNoise(file)) return;
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

// The regions with their patterns, the networks between them, and the responses and
// trial amplitudes of their effects. Percentages are of the baseline; of an image
// baseline, of its mean over the mask (each voxel's effect is then scaled by its own
// baseline, run_synthesis.h).
void resolveRegionsAndResponses(const StudyFile& file, const KeyChecker& check,
                                const std::filesystem::path& folder,
                                const std::array<int, 3>& dims, Study& study) {
  const double percentBaseline =
      study.baselineImage ? study.voxelLevels->meanBaselineInMask : file.baseline;
  const RegionContext context{study.file, folder,          study.grid,     study.frame,
                              dims,       &study.protocol, percentBaseline, !file.networks.empty()};
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
  for (const Region& region : study.regions) {
    if (!study.responses.empty() && region.pattern) {
      // A region's own response drives its voxels with the region's amplitude; the
      // voxel patterns would be lost, so the two are not combined.
      check.fail("hrf", "expected no hrf keys in a study whose regions have voxel patterns "
                        "(region " + formats::inQuotes(region.name) +
                        "); remove the hrf keys or the pattern");
    }
  }
  study.trialSpreads = resolveTrialSpreads(file, study, percentBaseline);
}

}  // namespace

Study loadStudy(const std::filesystem::path& path, const Overrides& overrides) {
  StudyFile file = readStudyFile(path);
  const KeyChecker check(file);
  Study study;
  study.file = path;
  study.inputFiles.push_back(path);
  study.fileBytes = file.text;
  study.fileSha256 = sha256Hex(study.fileBytes);
  const std::filesystem::path folder = path.parent_path();

  resolveIdentity(file, check, overrides, study);
  resolveModes(file, check, study);
  study.noise = checkedNoiseModels(file, check, study);
  const std::array<int, 3> dims = resolveGrid(file, check, folder, study);
  resolveDesigns(file, check, folder, study);
  recordInputFiles(file, folder, study);
  study.sliceTiming = resolveSliceTiming(file, study);
  study.motion = resolveMotion(file, folder, study);
  resolveScannerLevels(file, folder, study);
  resolveRegionsAndResponses(file, check, folder, dims, study);

  const std::vector<bool> modelled = conditionsWithEffects(study);
  checkRest(file, check, study, modelled);
  checkEventsAgainstRuns(file, check, study, modelled);
  warnAboutRegions(study);
  return study;
}

}  // namespace tolvane::study
