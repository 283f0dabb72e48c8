// Parsing a study file with toml++; see study_file.h.
#include "tolvane/study/study_file.h"

#include <toml++/toml.h>

#include <fstream>
#include <set>
#include <sstream>

#include "formats/text_parsing.h"

namespace tolvane::study {
namespace {

using formats::InputError;

// Study files are a few lines; this only stops a wrong file from being read whole.
constexpr std::uintmax_t kMaxStudyFileBytes = 1u << 20;

std::string typeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "a string " + formats::inQuotes(*node.value<std::string>());
    case toml::node_type::integer:
      return "the integer " + std::to_string(*node.value<std::int64_t>());
    case toml::node_type::floating_point: {
      std::ostringstream text;
      text << "the number " << *node.value<double>();
      return text.str();
    }
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::table:
      return "a table";
    default:
      return "a date or time";
  }
}

class Reader {
 public:
  explicit Reader(std::filesystem::path file) : file_(std::move(file)) {}

  KeyPlace place(const std::string& key, const toml::node& node) const {
    return {key, static_cast<int>(node.source().begin.line)};
  }

  [[noreturn]] void fail(const KeyPlace& place, const std::string& what) const {
    std::string message = file_.string();
    if (place.line > 0) message += ":" + std::to_string(place.line);
    throw InputError(message + ": key " + place.key + ": " + what);
  }

  [[noreturn]] void wrongType(const std::string& key, const toml::node& node,
                              const std::string& expected) const {
    fail(place(key, node), "expected " + expected + ", found " + typeName(node));
  }

  // Refuses every key of `table` outside `known`, naming the known ones.
  void onlyKnownKeys(const toml::table& table, const std::string& prefix,
                     const std::set<std::string>& known) const {
    for (const auto& [key, node] : table) {
      const std::string name(key.str());
      if (known.count(name) == 0) {
        std::string list;
        for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
        fail(place(prefix + formats::printable(name), node),
             "unknown key; expected one of " + list);
      }
    }
  }

  std::string text(const std::string& key, const toml::node& node) const {
    if (!node.is_string()) wrongType(key, node, "a string");
    return *node.value<std::string>();
  }

  std::int64_t integer(const std::string& key, const toml::node& node) const {
    if (!node.is_integer()) wrongType(key, node, "a whole number");
    return *node.value<std::int64_t>();
  }

  double number(const std::string& key, const toml::node& node) const {
    if (!node.is_number()) wrongType(key, node, "a number");
    return *node.value<double>();
  }

  template <std::size_t N, typename T>
  std::array<T, N> list(const std::string& key, const toml::node& node, bool whole) const {
    const toml::array* array = node.as_array();
    const std::string expected =
        "an array of " + std::to_string(N) + (whole ? " whole numbers" : " numbers");
    if (array == nullptr || array->size() != N) wrongType(key, node, expected);
    std::array<T, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
      const toml::node& element = *array->get(i);
      if (whole ? !element.is_integer() : !element.is_number()) wrongType(key, node, expected);
      values[i] = *element.value<T>();
    }
    return values;
  }

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

void readEffects(const Reader& reader, const std::string& prefix, const toml::node& node,
                 RegionEntry& region) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.wrongType(prefix, node, "a table of condition = amplitude (3.0 or \"2%\")");
  }
  region.effectsPlace = reader.place(prefix, node);
  for (const auto& [key, value] : *table) {
    const std::string condition(key.str());
    const std::string name = prefix + "." + formats::printable(condition);
    AmplitudeEntry entry{condition, 0.0, false, reader.place(name, value)};
    if (value.is_number()) {
      entry.value = *value.value<double>();
    } else if (value.is_string()) {
      const std::string written = *value.value<std::string>();
      const auto percent = written.size() > 1 && written.back() == '%'
                               ? formats::parseFiniteNumber(formats::trim(
                                     std::string_view(written).substr(0, written.size() - 1)))
                               : std::nullopt;
      if (!percent) reader.wrongType(name, value, "an amplitude in data units or a percentage");
      entry.value = *percent;
      entry.percent = true;
    } else {
      reader.wrongType(name, value, "an amplitude in data units (3.0) or percent (\"2%\")");
    }
    region.effects.push_back(entry);
  }
}

RegionEntry readRegion(const Reader& reader, const std::string& prefix, const toml::node& node) {
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType(prefix, node, "a table");
  reader.onlyKnownKeys(*table, prefix + ".",
                       {"name", "shape", "centre_voxel", "centre_mm", "radius_voxels", "radius_mm",
                        "voi", "labels", "label", "effects"});
  RegionEntry region;
  region.place = reader.place(prefix, node);
  for (const auto& [key, value] : *table) {
    const std::string name(key.str());
    const std::string full = prefix + "." + name;
    region.places.push_back(reader.place(full, value));
    if (name == "name") region.name = reader.text(full, value);
    if (name == "shape") region.shape = reader.text(full, value);
    if (name == "centre_voxel") {
      region.centreVoxel = reader.list<3, std::int64_t>(full, value, true);
    }
    if (name == "centre_mm") region.centreMm = reader.list<3, double>(full, value, false);
    if (name == "radius_voxels") region.radiusVoxels = reader.number(full, value);
    if (name == "radius_mm") region.radiusMm = reader.number(full, value);
    if (name == "voi") region.voi = reader.text(full, value);
    if (name == "labels") region.labels = reader.text(full, value);
    if (name == "label") region.label = reader.integer(full, value);
    if (name == "effects") readEffects(reader, full, value, region);
  }
  return region;
}

void readTopLevel(const Reader& reader, const toml::table& document, StudyFile& study) {
  reader.onlyKnownKeys(document, "",
                       {"name", "seed", "subjects", "runs", "task", "tr", "volumes", "protocol",
                        "generator", "signal", "datatype", "baseline", "noise", "grid",
                        "region"});
  bool protocolGiven = false;
  for (const auto& [key, value] : document) {
    const std::string name(key.str());
    study.places.push_back(reader.place(name, value));
    if (name == "name") study.name = reader.text(name, value);
    if (name == "seed") study.seed = reader.integer(name, value);
    if (name == "subjects") study.subjects = reader.integer(name, value);
    if (name == "runs") study.runs = reader.integer(name, value);
    if (name == "task") study.task = reader.text(name, value);
    if (name == "tr") study.trSeconds = reader.number(name, value);
    if (name == "volumes") study.volumes = reader.integer(name, value);
    if (name == "generator") study.generator = reader.text(name, value);
    if (name == "signal") study.signal = reader.text(name, value);
    if (name == "datatype") study.datatype = reader.text(name, value);
    if (name == "baseline") study.baseline = reader.number(name, value);
    if (name == "protocol") {
      study.protocol = reader.text(name, value);
      protocolGiven = true;
    }
    if (name == "noise") {
      const toml::table* noise = value.as_table();
      if (noise == nullptr) reader.wrongType(name, value, "a table");
      reader.onlyKnownKeys(*noise, "noise.", {"sd", "smoothness_mm", "model", "rho", "drift"});
      for (const auto& [noiseKey, noiseValue] : *noise) {
        const std::string key = "noise." + std::string(noiseKey.str());
        study.places.push_back(reader.place(key, noiseValue));
        if (key == "noise.sd") study.noiseSd = reader.number(key, noiseValue);
        if (key == "noise.smoothness_mm") study.smoothnessMm = reader.number(key, noiseValue);
        if (key == "noise.model") study.noiseModel = reader.text(key, noiseValue);
        if (key == "noise.rho") study.rho = reader.number(key, noiseValue);
        if (key == "noise.drift") {
          const toml::table* drift = noiseValue.as_table();
          if (drift == nullptr)
            reader.wrongType(key, noiseValue, "a table { sd = D, cutoff_s = S }");
          reader.onlyKnownKeys(*drift, "noise.drift.", {"sd", "cutoff_s"});
          const toml::node* sd = drift->get("sd");
          if (sd == nullptr) reader.fail(reader.place(key, noiseValue), "expected the drift's sd");
          study.driftSd = reader.number("noise.drift.sd", *sd);
          study.places.push_back(reader.place("noise.drift.sd", *sd));
          if (const toml::node* cutoff = drift->get("cutoff_s")) {
            study.driftCutoffSeconds = reader.number("noise.drift.cutoff_s", *cutoff);
            study.places.push_back(reader.place("noise.drift.cutoff_s", *cutoff));
          }
        }
      }
    }
    if (name == "grid") {
      const toml::table* grid = value.as_table();
      if (grid == nullptr) reader.wrongType(name, value, "a table");
      reader.onlyKnownKeys(*grid, "grid.", {"anatomical", "box", "resolution"});
      for (const auto& [gridKey, gridValue] : *grid) {
        const std::string full = "grid." + std::string(gridKey.str());
        study.places.push_back(reader.place(full, gridValue));
        if (gridKey == "anatomical") study.anatomical = reader.text(full, gridValue);
        if (gridKey == "box") study.box = reader.list<6, std::int64_t>(full, gridValue, true);
        if (gridKey == "resolution") study.resolution = reader.integer(full, gridValue);
      }
    }
    if (name == "region") {
      const toml::array* regions = value.as_array();
      if (regions == nullptr) {
        reader.wrongType(name, value, "an array of tables ([[region]] sections)");
      }
      for (std::size_t i = 0; i < regions->size(); ++i) {
        const std::string prefix = "region[" + std::to_string(i + 1) + "]";
        study.regions.push_back(readRegion(reader, prefix, *regions->get(i)));
      }
    }
  }
  if (!protocolGiven) reader.fail({"protocol", 0}, "missing; expected the path of a protocol file");
}

}  // namespace

KeyPlace StudyFile::placeOf(const std::string& key) const {
  for (const KeyPlace& place : places) {
    if (place.key == key) return place;
  }
  return {key, 0};
}

StudyFile parseStudyText(const std::string& text, const std::filesystem::path& file) {
  const Reader reader(file);
  toml::table document;
  try {
    document = toml::parse(text, file.string());
  } catch (const toml::parse_error& error) {
    throw InputError(file.string() + ":" + std::to_string(error.source().begin.line) +
                     ": expected a TOML study file: " + std::string(error.description()));
  }
  StudyFile study;
  study.path = file;
  study.text = text;
  readTopLevel(reader, document, study);
  return study;
}

StudyFile readStudyFile(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    throw InputError(file.string() + ": expected a study file, found no such file");
  }
  if (std::filesystem::file_size(file, error) > kMaxStudyFileBytes) {
    throw InputError(file.string() + ": expected a study file of at most 1 MiB");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) throw InputError(file.string() + ": cannot be opened for reading");
  std::ostringstream text;
  text << in.rdbuf();
  return parseStudyText(text.str(), file);
}

}  // namespace tolvane::study
