// Reading the acquisition keys; see acquisition_reader.h.
#include "tolvane/study/acquisition_reader.h"

namespace tolvane::study {
namespace {

// motion.task = { condition = "Task", r = 0.5, axes = ["trans_z", "rot_x"] }.
void readTaskMotion(const KeyReader& reader, const std::string& key, const toml::node& node,
                    StudyFile& study, MotionEntry& motion) {
  const toml::table* table = node.as_table();
  const std::string expected = "a table { condition = \"C\", r = R, axes = [...] }";
  if (table == nullptr) reader.wrongType(key, node, expected);
  reader.onlyKnownKeys(*table, key + ".", {"condition", "r", "axes"});
  const toml::node* condition = table->get("condition");
  const toml::node* r = table->get("r");
  if (condition == nullptr || r == nullptr) {
    reader.fail(reader.place(key, node), "expected both condition and r");
  }
  motion.taskCondition = reader.text(key + ".condition", *condition);
  motion.taskR = reader.number(key + ".r", *r);
  study.places.push_back(reader.place(key + ".condition", *condition));
  study.places.push_back(reader.place(key + ".r", *r));
  if (const toml::node* axes = table->get("axes")) {
    study.places.push_back(reader.place(key + ".axes", *axes));
    const toml::array* names = axes->as_array();
    const std::string list = "an array of parameter names, e.g. [\"trans_z\", \"rot_x\"]";
    if (names == nullptr || names->empty()) reader.wrongType(key + ".axes", *axes, list);
    motion.taskAxes.emplace();
    for (const toml::node& name : *names) {
      if (!name.is_string()) reader.wrongType(key + ".axes", *axes, list);
      motion.taskAxes->push_back(*name.value<std::string>());
    }
  }
}

}  // namespace

void readMotion(const KeyReader& reader, const toml::node& node, StudyFile& study) {
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType("motion", node, "a table");
  reader.onlyKnownKeys(*table, "motion.",
                       {"walk_mm", "walk_deg", "spikes", "drift_mm_per_min", "drift_deg_per_min",
                        "trajectory", "interpolation", "task"});
  MotionEntry motion;
  for (const auto& [key, value] : *table) {
    const std::string full = "motion." + std::string(key.str());
    study.places.push_back(reader.place(full, value));
    if (key == "walk_mm") motion.walkMm = reader.number(full, value);
    if (key == "walk_deg") motion.walkDeg = reader.number(full, value);
    if (key == "drift_mm_per_min") motion.driftMmPerMinute = reader.list<3, double>(full, value, false);
    if (key == "drift_deg_per_min") {
      motion.driftDegPerMinute = reader.list<3, double>(full, value, false);
    }
    if (key == "trajectory") motion.trajectory = reader.text(full, value);
    if (key == "interpolation") motion.interpolation = reader.text(full, value);
    if (key == "task") readTaskMotion(reader, full, value, study, motion);
    if (key == "spikes") {
      const toml::table* spikes = value.as_table();
      const std::string expected = "a table { rate_per_min = R, size_mm = S }";
      if (spikes == nullptr) reader.wrongType(full, value, expected);
      reader.onlyKnownKeys(*spikes, "motion.spikes.", {"rate_per_min", "size_mm"});
      const toml::node* rate = spikes->get("rate_per_min");
      const toml::node* size = spikes->get("size_mm");
      if (rate == nullptr || size == nullptr) {
        reader.fail(reader.place(full, value), "expected both rate_per_min and size_mm");
      }
      motion.spikeRatePerMinute = reader.number("motion.spikes.rate_per_min", *rate);
      motion.spikeSizeMm = reader.number("motion.spikes.size_mm", *size);
      study.places.push_back(reader.place("motion.spikes.rate_per_min", *rate));
      study.places.push_back(reader.place("motion.spikes.size_mm", *size));
    }
  }
  study.motion = motion;
}

void readSliceTiming(const KeyReader& reader, const std::string& key, const toml::node& node,
                     StudyFile& study) {
  SliceTimingEntry& timing = study.sliceTiming ? *study.sliceTiming : study.sliceTiming.emplace();
  if (key == "multiband") {
    timing.multiband = reader.integer(key, node);
    return;
  }
  if (node.is_string()) {
    timing.order = reader.text(key, node);
    return;
  }
  const toml::array* times = node.as_array();
  const std::string expected =
      "\"ascending\", \"descending\", \"interleaved\" or an array of slice times in seconds";
  if (times == nullptr || times->empty()) reader.wrongType(key, node, expected);
  timing.timesSeconds.emplace();
  for (const toml::node& element : *times) {
    if (!element.is_number()) reader.wrongType(key, node, expected);
    timing.timesSeconds->push_back(*element.value<double>());
  }
}

}  // namespace tolvane::study
