// Head motion's keys and trajectories; see head_motion.h.
#include "tolvane/study/head_motion.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <fstream>
#include <string>

#include "engine/counter_noise.h"
#include "formats/errors.h"
#include "formats/text_parsing.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {
namespace {

using formats::InputError;

constexpr double kDegree = M_PI / 180.0;
// Bounds far beyond any subject who stays in a scanner, and finite.
constexpr double kMaxStepSd = 5.0;           // mm or degrees per volume
constexpr double kMaxSpikesPerMinute = 60.0;
constexpr double kMaxSpikeMm = 50.0;
constexpr double kMaxDriftPerMinute = 10.0;  // mm or degrees
constexpr double kMaxTranslationMm = 100.0;  // in a trajectory file
constexpr double kMaxRotationRadians = M_PI / 4.0;
constexpr const char* kColumns[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};

std::string replaced(std::string text, const std::string& placeholder, const std::string& by) {
  for (std::size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + by.size())) {
    text.replace(at, placeholder.size(), by);
  }
  return text;
}

double checked(const StudyFile& file, const std::string& key, const std::optional<double>& value,
               double high, const std::string& what) {
  if (!value) return 0.0;
  if (!(*value >= 0.0 && *value <= high)) file.fail(key, "expected " + what);
  return *value;
}

std::array<double, 3> checkedDrift(const StudyFile& file, const std::string& key,
                                   const std::optional<std::array<double, 3>>& value,
                                   double scale) {
  std::array<double, 3> drift{};
  if (!value) return drift;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!(std::fabs((*value)[axis]) <= kMaxDriftPerMinute)) {
      file.fail(key, "expected three rates per minute from -10 to 10");
    }
    drift[axis] = (*value)[axis] * scale;
  }
  return drift;
}

void readTrajectories(const StudyFile& file, const std::filesystem::path& folder,
                      const Study& study, HeadMotion& motion) {
  const std::string& written = *file.motion->trajectory;
  const bool perRun = written.find("{subject}") != std::string::npos ||
                      written.find("{run}") != std::string::npos;
  const auto read = [&](const std::string& name) {
    const std::filesystem::path path(name);
    try {
      return readTrajectoryFile(path.is_absolute() ? path : folder / path, study.grid.timePoints);
    } catch (const InputError& error) {
      file.fail("motion.trajectory", error.what());
    }
  };
  motion.trajectoryAsWritten = written;
  if (!perRun) {
    motion.fileTrajectories.push_back(read(written));
    return;
  }
  for (int subject = 1; subject <= study.subjects; ++subject) {
    for (int run = 1; run <= study.runs; ++run) {
      motion.fileTrajectories.push_back(read(replaced(
          replaced(written, "{subject}", study.subjectLabel(subject)), "{run}",
          std::to_string(run))));
    }
  }
}

// The condition, the correlation and the parameters of motion.task. A parameter that
// correlates with the task needs a walk of its kind, which gives its trajectory a
// variance of its own to mix the task into.
void resolveTaskMotion(const StudyFile& file, const Study& study, HeadMotion& motion) {
  const MotionEntry& entry = *file.motion;
  const std::vector<design::Condition>& conditions = study.protocol.conditions;
  for (std::size_t c = 0; c < conditions.size(); ++c) {
    if (conditions[c].name == *entry.taskCondition) motion.taskCondition = c;
  }
  if (!motion.taskCondition) {
    file.fail("motion.task.condition", "expected a condition of the protocol, found " +
                                           formats::inQuotes(*entry.taskCondition));
  }
  if (!(entry.taskR > 0.0 && entry.taskR < 1.0)) {
    file.fail("motion.task.r", "expected a correlation above 0 and below 1");
  }
  motion.taskR = entry.taskR;
  const std::vector<std::string> axes = entry.taskAxes.value_or(
      std::vector<std::string>(std::begin(kColumns), std::end(kColumns)));
  for (const std::string& axis : axes) {
    const auto found = std::find(std::begin(kColumns), std::end(kColumns), axis);
    if (found == std::end(kColumns)) {
      file.fail("motion.task.axes", "expected names among trans_x, trans_y, trans_z, rot_x, "
                                    "rot_y, rot_z, found " + formats::inQuotes(axis));
    }
    const auto p = static_cast<std::size_t>(found - std::begin(kColumns));
    if ((p < 3 ? motion.walkMm : motion.walkRadians) == 0.0) {
      file.fail("motion.task", std::string("expected ") + (p < 3 ? "walk_mm" : "walk_deg") +
                                   " above 0: " + axis + " needs motion of its own to "
                                   "correlate with the task");
    }
    motion.taskAxes[p] = true;
  }
}

// Adds k p to parameter `axis` of the trajectory, p the task's predictor, with k such
// that the parameter's correlation with p over the run is r exactly (population
// moments in double): with a = var p, c = cov(u, p), v = var u of the parameter u before,
// k = (r sqrt((a v - c^2) / (1 - r^2)) - c) / a. A predictor without variance adds nothing.
void correlateWithTask(std::vector<engine::RigidMotion>& path, std::size_t axis,
                       const std::vector<float>& predictor, double r) {
  const auto value = [&](std::size_t t) -> double& {
    return axis < 3 ? path[t].translationMm[axis] : path[t].rotationRadians[axis - 3];
  };
  const auto n = static_cast<double>(path.size());
  double meanU = 0.0, meanP = 0.0;
  for (std::size_t t = 0; t < path.size(); ++t) {
    meanU += value(t);
    meanP += predictor[t];
  }
  meanU /= n;
  meanP /= n;
  double a = 0.0, c = 0.0, v = 0.0;
  for (std::size_t t = 0; t < path.size(); ++t) {
    const double du = value(t) - meanU, dp = predictor[t] - meanP;
    a += dp * dp;
    c += du * dp;
    v += du * du;
  }
  a /= n;
  c /= n;
  v /= n;
  if (!(a > 0.0)) return;
  const double k = (r * std::sqrt(std::max(a * v - c * c, 0.0) / (1.0 - r * r)) - c) / a;
  for (std::size_t t = 0; t < path.size(); ++t) value(t) += k * predictor[t];
}

}  // namespace

std::optional<HeadMotion> resolveMotion(const StudyFile& file,
                                        const std::filesystem::path& folder, const Study& study) {
  if (!file.motion) return std::nullopt;
  const MotionEntry& entry = *file.motion;
  if (study.generator != Generator::Philox || study.signal != SignalMode::Add) {
    file.fail("motion", "expected generator = \"philox\" and signal = \"add\": a moving head "
                        "carries its effects, which the plug-in's passes cannot");
  }
  HeadMotion motion;
  if (entry.interpolation == "trilinear") {
    motion.interpolation = engine::Interpolation::Trilinear;
  } else if (entry.interpolation == "cubic") {
    motion.interpolation = engine::Interpolation::CubicBSpline;
  } else {
    file.fail("motion.interpolation", "expected \"trilinear\" or \"cubic\" (B-spline), found " +
                                          formats::inQuotes(entry.interpolation));
  }
  const bool drawn = entry.walkMm || entry.walkDeg || entry.spikeRatePerMinute ||
                     entry.driftMmPerMinute || entry.driftDegPerMinute;
  if (entry.trajectory) {
    if (drawn) {
      file.fail("motion.trajectory",
                "expected either a trajectory file or drawn motion (walk, spikes, drift), "
                "not both");
    }
    if (entry.taskCondition) {
      file.fail("motion.task", "expected drawn motion to correlate with the task; a "
                               "trajectory file is replayed as it is");
    }
    readTrajectories(file, folder, study, motion);
    return motion;
  }
  if (!drawn) {
    file.fail("motion", "expected walk_mm, walk_deg, spikes, drift_mm_per_min, "
                        "drift_deg_per_min or a trajectory file");
  }
  motion.walkMm = checked(file, "motion.walk_mm", entry.walkMm, kMaxStepSd,
                          "a step sd in mm per volume from 0 to 5");
  motion.walkRadians = kDegree * checked(file, "motion.walk_deg", entry.walkDeg, kMaxStepSd,
                                         "a step sd in degrees per volume from 0 to 5");
  motion.spikeRatePerMinute =
      checked(file, "motion.spikes.rate_per_min", entry.spikeRatePerMinute, kMaxSpikesPerMinute,
              "a rate per minute from 0 to 60");
  motion.spikeSizeMm = checked(file, "motion.spikes.size_mm", entry.spikeSizeMm, kMaxSpikeMm,
                               "a displacement in mm from 0 to 50");
  motion.driftMmPerMinute = checkedDrift(file, "motion.drift_mm_per_min", entry.driftMmPerMinute, 1.0);
  motion.driftRadiansPerMinute =
      checkedDrift(file, "motion.drift_deg_per_min", entry.driftDegPerMinute, kDegree);
  if (entry.taskCondition) resolveTaskMotion(file, study, motion);
  return motion;
}

std::vector<engine::RigidMotion> runTrajectory(const Study& study, int place) {
  const HeadMotion& motion = *study.motion;
  if (!motion.fileTrajectories.empty()) {
    return motion.fileTrajectories.size() == 1
               ? motion.fileTrajectories.front()
               : motion.fileTrajectories[static_cast<std::size_t>(place)];
  }
  const auto slot = static_cast<std::uint32_t>(place);
  DrawSequence walkDraws(study.seed, slot, engine::kMotionStream, kMotionWalkPurpose);
  DrawSequence spikeDraws(study.seed, slot, engine::kMotionStream, kMotionSpikePurpose);
  const double trMinutes = study.grid.trMilliseconds / 60000.0;
  const double spikeChance = motion.spikeRatePerMinute * trMinutes;
  std::array<double, 6> walk{};
  std::vector<engine::RigidMotion> path(static_cast<std::size_t>(study.grid.timePoints));
  for (std::size_t t = 0; t < path.size(); ++t) {
    if (t > 0) {
      for (std::size_t axis = 0; axis < 6; ++axis) {
        walk[axis] += (axis < 3 ? motion.walkMm : motion.walkRadians) * walkDraws.nextNormal();
      }
    }
    const bool spike = spikeDraws.nextUniform() < spikeChance;
    std::array<double, 3> direction{};
    double length = 0.0;
    for (double& d : direction) {
      d = spikeDraws.nextNormal();
      length += d * d;
    }
    length = std::sqrt(length);
    const double minutes = static_cast<double>(t) * trMinutes;
    engine::RigidMotion& at = path[t];
    for (std::size_t axis = 0; axis < 3; ++axis) {
      at.translationMm[axis] = walk[axis] + minutes * motion.driftMmPerMinute[axis];
      if (spike && length > 0.0) at.translationMm[axis] += motion.spikeSizeMm * direction[axis] / length;
      at.rotationRadians[axis] = walk[3 + axis] + minutes * motion.driftRadiansPerMinute[axis];
    }
  }
  if (motion.taskCondition) {
    const std::vector<float>& predictor = study.runDesign(place).predictors[*motion.taskCondition];
    for (std::size_t axis = 0; axis < 6; ++axis) {
      if (motion.taskAxes[axis]) correlateWithTask(path, axis, predictor, motion.taskR);
    }
  }
  return path;
}

std::vector<engine::RigidMotion> readTrajectoryFile(const std::filesystem::path& path,
                                                    int volumes) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw InputError(path.string() + ": expected a trajectory table, found no such file");
  std::string line;
  if (!std::getline(in, line)) formats::failAt(path, 1, "expected a header row");
  const std::vector<std::string_view> header = formats::splitTabs(formats::trim(line));
  std::array<std::size_t, 6> columns{};
  for (std::size_t p = 0; p < 6; ++p) {
    std::size_t found = header.size();
    for (std::size_t c = 0; c < header.size(); ++c) {
      if (formats::trim(header[c]) == kColumns[p]) found = c;
    }
    if (found == header.size()) {
      formats::failAt(path, 1, std::string("expected a column ") + kColumns[p] +
                                   " (trans_x, trans_y, trans_z in mm, rot_x, rot_y, rot_z in "
                                   "radians)");
    }
    columns[p] = found;
  }
  std::vector<engine::RigidMotion> trajectory;
  for (int row = 0; row < volumes; ++row) {
    const int lineNumber = row + 2;
    if (!std::getline(in, line)) {
      formats::failAt(path, lineNumber, "expected a row for each of the run's " +
                                            std::to_string(volumes) + " volumes, found " +
                                            std::to_string(row));
    }
    const std::vector<std::string_view> cells = formats::splitTabs(formats::trim(line));
    engine::RigidMotion motion;
    for (std::size_t p = 0; p < 6; ++p) {
      const std::optional<double> value =
          columns[p] < cells.size() ? formats::parseFiniteNumber(formats::trim(cells[columns[p]]))
                                    : std::nullopt;
      const double limit = p < 3 ? kMaxTranslationMm : kMaxRotationRadians;
      if (!value || std::fabs(*value) > limit) {
        formats::failAt(path, lineNumber,
                        std::string("column ") + kColumns[p] + ": expected a number " +
                            (p < 3 ? "of mm from -100 to 100" : "of radians from -pi/4 to pi/4"));
      }
      (p < 3 ? motion.translationMm[p] : motion.rotationRadians[p - 3]) = *value;
    }
    trajectory.push_back(motion);
  }
  return trajectory;
}

}  // namespace tolvane::study
