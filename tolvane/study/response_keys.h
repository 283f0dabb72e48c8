// Reading the hrf and trial_sd keys (response_entry.h): names and types only; the values and how
// they combine are checked when the study is resolved (response_draws.h).
#pragma once

#include <toml++/toml.h>

#include <string>
#include <vector>

#include "tolvane/study/response_entry.h"
#include "tolvane/study/toml_keys.h"

namespace tolvane::study {

// Reads the hrf key named `key` (e.g. "hrf" or "region[2].hrf").
ResponseEntry readResponseEntry(const KeyReader& reader, const std::string& key,
                                const toml::node& node);

// Reads the trial_sd table.
std::vector<TrialSdEntry> readTrialSds(const KeyReader& reader, const toml::node& node);

}  // namespace tolvane::study
