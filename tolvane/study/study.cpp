// Loading and checking a study; see study.h.
#include "tolvane/study/study.h"

#include <algorithm>
#include <cmath>

#include "formats/nifti_io.h"
#include "formats/protocol_files.h"
#include "formats/text_parsing.h"
#include "tolvane/study/regions.h"
#include "tolvane/study/sha256.h"

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
    const KeyPlace place = file_.placeOf(key);
    std::string message = file_.path.string();
    if (place.line > 0) message += ":" + std::to_string(place.line);
    throw InputError(message + ": key " + key + ": " + what);
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

// The volumes that cover the protocol: up to the end of its last interval.
std::int64_t volumesForProtocol(const design::Protocol& protocol, double trMilliseconds) {
  double end = 0.0;
  for (const design::Condition& condition : protocol.conditions) {
    for (const design::Interval& interval : condition.intervals) end = std::max(end, interval.end);
  }
  if (protocol.unit == design::TimeUnit::Milliseconds) end = end / trMilliseconds;
  return static_cast<std::int64_t>(std::ceil(end));
}

bool isAlphanumeric(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

formats::VtcGrid checkedGrid(const StudyFile& file, const Checker& check,
                             const std::array<int, 3>& dims) {
  formats::VtcGrid grid = formats::defaultVtcBox();
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

void buildDesign(Study& study) {
  const double tr = study.grid.trMilliseconds;
  for (std::size_t c = 0; c < study.protocol.conditions.size(); ++c) {
    const design::Condition& condition = study.protocol.conditions[c];
    study.design.addPredictor(condition.name, study.grid.timePoints);
    study.design.setFromCondition(c, condition, study.protocol.unit, tr, 1.0f);
    study.design.applyTwoGammaHrf(c, tr);
  }
}

// The FWHM a kernel may have: far wider than any grid, and finite.
constexpr double kMaxSmoothnessMm = 1000.0;

NoiseModels checkedNoiseModels(const StudyFile& file, const Checker& check, const Study& study) {
  NoiseModels noise;
  if (file.smoothnessMm) {
    if (!(*file.smoothnessMm >= 0.0 && *file.smoothnessMm <= kMaxSmoothnessMm)) {
      check.fail("noise.smoothness_mm", "expected a FWHM in mm from 0 to 1000");
    }
    noise.smoothnessMm = *file.smoothnessMm;
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
    check.fail("baseline", "expected a finite number");
  }
  if (!(file.noiseSd >= 0.0 && file.noiseSd <= 1e30)) {
    check.fail("noise.sd", "expected a standard deviation of 0 or more");
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

  study.protocolFile = relativeTo(folder, file.protocol);
  study.protocol =
      check.reading("protocol", [&] { return formats::readProtocolFile(study.protocolFile); });
  if (study.protocol.conditions.empty()) check.fail("protocol", "expected at least one condition");
  const std::int64_t volumes =
      file.volumes ? *file.volumes : volumesForProtocol(study.protocol, study.grid.trMilliseconds);
  study.grid.timePoints =
      static_cast<std::int32_t>(check.within("volumes", volumes, 1, kMaxVolumes));
  buildDesign(study);

  const RegionContext context{path, folder,          study.grid,   study.frame,
                              dims, &study.protocol, file.baseline};
  for (std::size_t i = 0; i < file.regions.size(); ++i) {
    study.regions.push_back(resolveRegion(file.regions[i], i, context));
  }
  return study;
}

}  // namespace tolvane::study
