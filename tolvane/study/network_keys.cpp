// Reading [[network]] sections; see network_keys.h.
#include "tolvane/study/key_family_readers.h"

#include "formats/text_parsing.h"

namespace tolvane::study {
namespace {

constexpr const char* kCorrelationForms =
    "a correlation (0.5), { mean = 0.5, sd = 0.1 }, a matrix [[1, 0.5], [0.5, 1]], "
    "{ mean = [[...]], sd = 0.1 } or { within = 0.6, between = 0.1 } with modules";

std::vector<std::string> names(const KeyReader& reader, const std::string& key,
                               const toml::node& node, const std::string& expected) {
  const toml::array* array = node.as_array();
  if (array == nullptr || array->empty()) reader.wrongType(key, node, expected);
  std::vector<std::string> values;
  for (const toml::node& element : *array) {
    if (!element.is_string()) reader.wrongType(key, node, expected);
    values.push_back(*element.value<std::string>());
  }
  return values;
}

DrawnCorrelation drawnCorrelation(const KeyReader& reader, const std::string& key,
                                  const toml::node& node) {
  if (node.is_number()) return {*node.value<double>(), 0.0};
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType(key, node, "a correlation or { mean = R, sd = S }");
  reader.onlyKnownKeys(*table, key + ".", {"mean", "sd"});
  const toml::node* mean = table->get("mean");
  if (mean == nullptr) reader.fail(reader.place(key, node), "expected the correlation's mean");
  DrawnCorrelation value{reader.number(key + ".mean", *mean), 0.0};
  if (const toml::node* sd = table->get("sd")) value.sd = reader.number(key + ".sd", *sd);
  return value;
}

std::vector<std::vector<double>> matrixOf(const KeyReader& reader, const std::string& key,
                                          const toml::node& node) {
  const std::string expected = "a square matrix of numbers, one array per row";
  std::vector<std::vector<double>> rows;
  for (const toml::node& row : *node.as_array()) {
    const toml::array* values = row.as_array();
    if (values == nullptr) reader.wrongType(key, node, expected);
    rows.emplace_back();
    for (const toml::node& value : *values) {
      if (!value.is_number()) reader.wrongType(key, node, expected);
      rows.back().push_back(*value.value<double>());
    }
  }
  return rows;
}

void readCorrelation(const KeyReader& reader, const std::string& key, const toml::node& node,
                     NetworkEntry& network) {
  network.correlationPlace = reader.place(key, node);
  if (node.is_array()) {
    network.matrix = matrixOf(reader, key, node);
    return;
  }
  const toml::table* table = node.as_table();
  if (table != nullptr && (table->contains("within") || table->contains("between"))) {
    reader.onlyKnownKeys(*table, key + ".", {"within", "between"});
    for (const char* part : {"within", "between"}) {
      const toml::node* value = table->get(part);
      if (value == nullptr) reader.fail(network.correlationPlace, std::string("expected ") + part);
      (std::string(part) == "within" ? network.within : network.between) =
          drawnCorrelation(reader, key + "." + part, *value);
    }
    return;
  }
  if (table != nullptr && table->get("mean") != nullptr && table->get("mean")->is_array()) {
    reader.onlyKnownKeys(*table, key + ".", {"mean", "sd"});
    network.matrix = matrixOf(reader, key + ".mean", *table->get("mean"));
    if (const toml::node* sd = table->get("sd")) network.matrixSd = reader.number(key + ".sd", *sd);
    return;
  }
  if (!node.is_number() && table == nullptr) reader.wrongType(key, node, kCorrelationForms);
  network.everyPair = drawnCorrelation(reader, key, node);
}

void readAmplitude(const KeyReader& reader, const std::string& key, const toml::node& node,
                   NetworkEntry& network) {
  network.amplitudePlace = reader.place(key, node);
  if (node.is_number()) {
    network.amplitude = *node.value<double>();
    return;
  }
  const std::string expected = "the fluctuation's sd in data units (2.0) or percent (\"1%\")";
  if (!node.is_string()) reader.wrongType(key, node, expected);
  const std::string text = *node.value<std::string>();
  const std::string_view written = formats::trim(text);
  const std::optional<double> value =
      written.empty() || written.back() != '%'
          ? std::nullopt
          : formats::parseFiniteNumber(formats::trim(written.substr(0, written.size() - 1)));
  if (!value) reader.wrongType(key, node, expected);
  network.amplitude = *value;
  network.amplitudePercent = true;
}

NetworkEntry readNetwork(const KeyReader& reader, const std::string& prefix,
                         const toml::node& node) {
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType(prefix, node, "a table");
  reader.onlyKnownKeys(*table, prefix + ".",
                       {"name", "regions", "correlation", "modules", "band_hz", "amplitude",
                        "profile"});
  NetworkEntry network;
  network.place = reader.place(prefix, node);
  network.regionsPlace = network.correlationPlace = network.bandPlace = network.amplitudePlace =
      network.place;
  for (const auto& [key, value] : *table) {
    const std::string name(key.str());
    const std::string full = prefix + "." + name;
    if (name == "name") network.name = reader.text(full, value);
    if (name == "regions") {
      network.regions = names(reader, full, value, "an array of the study's region names");
      network.regionsPlace = reader.place(full, value);
    }
    if (name == "correlation") readCorrelation(reader, full, value, network);
    if (name == "modules") {
      const toml::array* modules = value.as_array();
      const std::string expected = "an array of arrays of region names";
      if (modules == nullptr || modules->empty()) reader.wrongType(full, value, expected);
      for (const toml::node& module : *modules) {
        network.modules.push_back(names(reader, full, module, expected));
      }
    }
    if (name == "band_hz") {
      const std::array<double, 2> band = reader.list<2, double>(full, value, false);
      network.bandLowHz = band[0];
      network.bandHighHz = band[1];
      network.bandPlace = reader.place(full, value);
    }
    if (name == "amplitude") readAmplitude(reader, full, value, network);
    if (name == "profile") {
      if (value.is_string() && *value.value<std::string>() == "uniform") continue;
      const toml::table* profile = value.as_table();
      if (profile == nullptr || profile->get("fwhm_mm") == nullptr) {
        reader.wrongType(full, value, "\"uniform\" or { fwhm_mm = F }");
      }
      reader.onlyKnownKeys(*profile, full + ".", {"fwhm_mm"});
      network.fwhmMm = reader.number(full + ".fwhm_mm", *profile->get("fwhm_mm"));
    }
  }
  return network;
}

}  // namespace

std::vector<NetworkEntry> readNetworks(const KeyReader& reader, const toml::node& node) {
  const toml::array* networks = node.as_array();
  if (networks == nullptr) {
    reader.wrongType("network", node, "an array of tables ([[network]] sections)");
  }
  std::vector<NetworkEntry> entries;
  for (std::size_t i = 0; i < networks->size(); ++i) {
    entries.push_back(
        readNetwork(reader, "network[" + std::to_string(i + 1) + "]", *networks->get(i)));
  }
  return entries;
}

}  // namespace tolvane::study
