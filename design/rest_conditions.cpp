// Rest conditions; see rest_conditions.h.
#include "design/rest_conditions.h"

#include <algorithm>
#include <cctype>

namespace tolvane::design {

bool isDefaultRestName(const std::string& name) {
  std::string lower;
  for (const char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "rest" || lower == "baseline" || lower == "fixation" || lower == "off";
}

std::vector<bool> restConditions(const Protocol& protocol,
                                 const std::optional<std::vector<std::string>>& named,
                                 const std::vector<bool>& modelled) {
  std::vector<bool> rest(protocol.conditions.size(), false);
  for (std::size_t c = 0; c < rest.size(); ++c) {
    const std::string& name = protocol.conditions[c].name;
    rest[c] = named ? std::find(named->begin(), named->end(), name) != named->end()
                    : isDefaultRestName(name);
    if (c < modelled.size() && modelled[c]) rest[c] = false;
  }
  return rest;
}

Protocol withoutConditions(const Protocol& protocol, const std::vector<bool>& leftOut) {
  Protocol kept;
  kept.unit = protocol.unit;
  for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
    if (c >= leftOut.size() || !leftOut[c]) kept.conditions.push_back(protocol.conditions[c]);
  }
  return kept;
}

}  // namespace tolvane::design
