// Reading the [motion] table and the slice_timing and multiband keys of a study file
// (acquisition_keys.h), each value checked for its type; ranges are checked later.
#pragma once

#include <toml++/toml.h>

#include "tolvane/study/toml_keys.h"

namespace tolvane::study {

void readMotion(const KeyReader& reader, const toml::node& node, StudyFile& study);
// `key` is slice_timing or multiband.
void readSliceTiming(const KeyReader& reader, const std::string& key, const toml::node& node,
                     StudyFile& study);

}  // namespace tolvane::study
