// Where a study file's value came from, for messages.
#pragma once

#include <string>

namespace tolvane::study {

struct KeyPlace {
  std::string key;  // e.g. "region[2].effects.Task"
  int line = 0;     // 0 when unknown
};

}  // namespace tolvane::study
