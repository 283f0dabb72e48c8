// Readers of the study file's key families that live in files of their own: networks
// (network_keys.h) and regions' patterns (pattern_keys.h).
#pragma once

#include <toml++/toml.h>

#include <vector>

#include "tolvane/study/network_keys.h"
#include "tolvane/study/pattern_keys.h"
#include "tolvane/study/toml_keys.h"

namespace tolvane::study {

// Reads the array of [[network]] tables; throws InputError naming the key and line.
std::vector<NetworkEntry> readNetworks(const KeyReader& reader, const toml::node& node);

// Reads a region's pattern table (`key` is its full name, e.g. "region[1].pattern").
PatternEntry readPattern(const KeyReader& reader, const std::string& key, const toml::node& node);

}  // namespace tolvane::study
