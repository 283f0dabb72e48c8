// Reading the hrf key; see response_keys.h.
#include "tolvane/study/response_keys.h"

#include <set>

namespace tolvane::study {
namespace {

constexpr const char* kParameterKeys[kResponseParameters] = {
    "peak_delay_s",   "undershoot_delay_s", "peak_dispersion_s", "undershoot_dispersion_s",
    "undershoot_ratio", "signal_decay",     "autoregulation",    "transit_time_s",
    "grubb_exponent", "oxygen_extraction",  "efficacy"};

// A hundred thousand values is far beyond any response, and bounds the kernel.
constexpr std::size_t kMaxFirValues = 100000;

DrawnValueEntry readDrawnValue(const KeyReader& reader, const std::string& key,
                               const toml::node& node) {
  DrawnValueEntry value;
  value.place = reader.place(key, node);
  if (node.is_number()) {
    value.mean = reader.number(key, node);
    return value;
  }
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.wrongType(key, node, "a number or { mean = M, sd = S, region_sd = R }");
  }
  reader.onlyKnownKeys(*table, key + ".", {"mean", "sd", "region_sd"});
  const toml::node* mean = table->get("mean");
  if (mean == nullptr) reader.fail(value.place, "expected the parameter's mean");
  value.mean = reader.number(key + ".mean", *mean);
  for (const char* spread : {"sd", "region_sd"}) {
    const toml::node* given = table->get(spread);
    if (given == nullptr) continue;
    const std::string full = key + "." + spread;
    const double number = reader.number(full, *given);
    if (!(number >= 0.0 && number <= 1e6)) {
      reader.wrongType(full, *given, "a standard deviation of 0 or more");
    }
    (std::string(spread) == "sd" ? value.sd : value.regionSd) = number;
  }
  return value;
}

std::vector<double> readFirValues(const KeyReader& reader, const std::string& key,
                                  const toml::node& node) {
  const toml::array* array = node.as_array();
  const std::string expected = "an array of the response's values, e.g. [0, 0.5, 1, 0.6, 0.1]";
  if (array == nullptr || array->empty() || array->size() > kMaxFirValues) {
    reader.wrongType(key, node, expected);
  }
  std::vector<double> values;
  for (const toml::node& element : *array) {
    if (!element.is_number()) reader.wrongType(key, node, expected);
    values.push_back(*element.value<double>());
  }
  return values;
}

}  // namespace

const char* responseParameterKey(std::size_t parameter) { return kParameterKeys[parameter]; }

ResponseEntry readResponseEntry(const KeyReader& reader, const std::string& key,
                                const toml::node& node) {
  ResponseEntry entry;
  entry.place = reader.place(key, node);
  if (node.is_string()) {
    entry.model = reader.text(key, node);
    return entry;
  }
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.wrongType(key, node,
                     "a model (\"twogamma\", \"gamma\", \"fir\", \"balloon\") or a table { model = ..., "
                     "peak_delay_s = ..., ... }");
  }
  std::set<std::string> known{"model", "values", "step_s"};
  for (const char* parameter : kParameterKeys) known.insert(parameter);
  reader.onlyKnownKeys(*table, key + ".", known);
  for (const auto& [name, value] : *table) {
    const std::string written(name.str());
    const std::string full = key + "." + written;
    if (written == "model") entry.model = reader.text(full, value);
    if (written == "values") entry.firValues = readFirValues(reader, full, value);
    if (written == "step_s") entry.firStepSeconds = reader.number(full, value);
    for (std::size_t p = 0; p < kResponseParameters; ++p) {
      if (written == kParameterKeys[p]) entry.parameters[p] = readDrawnValue(reader, full, value);
    }
  }
  return entry;
}

std::vector<TrialSdEntry> readTrialSds(const KeyReader& reader, const toml::node& node) {
  const toml::table* table = node.as_table();
  const std::string forms =
      "a spread per condition: { relative = 0.3 } (a share of each region's effect), "
      "2.0 (data units) or \"0.5%\" (percent of the baseline)";
  if (table == nullptr) reader.wrongType("trial_sd", node, "a table of condition = " + forms);
  std::vector<TrialSdEntry> entries;
  for (const auto& [key, value] : *table) {
    TrialSdEntry entry;
    entry.condition = std::string(key.str());
    const std::string name = "trial_sd." + formats::printable(entry.condition);
    entry.place = reader.place(name, value);
    if (const toml::table* relative = value.as_table()) {
      reader.onlyKnownKeys(*relative, name + ".", {"relative"});
      const toml::node* share = relative->get("relative");
      if (share == nullptr) reader.wrongType(name, value, forms);
      entry.value = reader.number(name + ".relative", *share);
      entry.relative = true;
    } else if (value.is_number()) {
      entry.value = *value.value<double>();
    } else if (value.is_string()) {
      const std::string text = *value.value<std::string>();
      const std::string_view written = formats::trim(text);
      const auto number =
          !written.empty() && written.back() == '%'
              ? formats::parseFiniteNumber(formats::trim(written.substr(0, written.size() - 1)))
              : std::nullopt;
      if (!number) reader.wrongType(name, value, forms);
      entry.value = *number;
      entry.percent = true;
    } else {
      reader.wrongType(name, value, forms);
    }
    if (!(entry.value >= 0.0 && entry.value <= 1e30)) {
      reader.wrongType(name, value, "a spread of 0 or more");
    }
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace tolvane::study
