// Reading the [[network]] tables of a study file (network_keys.h).
#pragma once

#include <toml++/toml.h>

#include <vector>

#include "tolvane/study/network_keys.h"
#include "tolvane/study/toml_keys.h"

namespace tolvane::study {

// Reads the array of [[network]] tables; throws InputError naming the key and line.
std::vector<NetworkEntry> readNetworks(const KeyReader& reader, const toml::node& node);

}  // namespace tolvane::study
