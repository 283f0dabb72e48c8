// Reading a region's pattern table; see pattern_keys.h.
#include "formats/text_parsing.h"
#include "tolvane/study/key_family_readers.h"

namespace tolvane::study {

PatternEntry readPattern(const KeyReader& reader, const std::string& key, const toml::node& node) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.wrongType(key, node, "a table { sd = S, correlation = R } or { sd = S, similarity = M }");
  }
  reader.onlyKnownKeys(*table, key + ".", {"sd", "correlation", "similarity"});
  PatternEntry pattern;
  pattern.place = reader.place(key, node);
  const toml::node* sd = table->get("sd");
  if (sd == nullptr) reader.fail(pattern.place, "expected sd, the patterns' voxel-wise sd");
  const std::string sdExpected = "a voxel-wise sd in data units (2.0) or percent (\"1%\")";
  if (sd->is_number()) {
    pattern.sd = *sd->value<double>();
  } else {
    const std::string text = sd->is_string() ? *sd->value<std::string>() : "";
    const std::string_view written = formats::trim(text);
    const std::optional<double> value =
        written.empty() || written.back() != '%'
            ? std::nullopt
            : formats::parseFiniteNumber(formats::trim(written.substr(0, written.size() - 1)));
    if (!value) reader.wrongType(key + ".sd", *sd, sdExpected);
    pattern.sd = *value;
    pattern.sdPercent = true;
  }
  if (const toml::node* correlation = table->get("correlation")) {
    pattern.correlation = reader.number(key + ".correlation", *correlation);
  }
  if (const toml::node* similarity = table->get("similarity")) {
    const std::string expected = "a square matrix of numbers, one array per row";
    const toml::array* rows = similarity->as_array();
    if (rows == nullptr) reader.wrongType(key + ".similarity", *similarity, expected);
    for (const toml::node& row : *rows) {
      const toml::array* values = row.as_array();
      if (values == nullptr) reader.wrongType(key + ".similarity", *similarity, expected);
      pattern.similarity.emplace_back();
      for (const toml::node& value : *values) {
        if (!value.is_number()) reader.wrongType(key + ".similarity", *similarity, expected);
        pattern.similarity.back().push_back(*value.value<double>());
      }
    }
  }
  if (pattern.correlation.has_value() == !pattern.similarity.empty()) {
    reader.fail(pattern.place, "expected either correlation or similarity");
  }
  return pattern;
}

}  // namespace tolvane::study
