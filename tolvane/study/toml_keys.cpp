// Typed access to the keys of a TOML document; see toml_keys.h.
#include "tolvane/study/toml_keys.h"

#include <sstream>

namespace tolvane::study {

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

}  // namespace tolvane::study
