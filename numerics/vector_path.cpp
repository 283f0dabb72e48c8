// Detection of the vector paths; see vector_path.h.
#include "numerics/vector_path.h"

namespace tolvane::random {

bool avx512Available() {
  // The compiler's check covers the operating system's saving of the wide registers
  // as well as the processor's instruction set.
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("popcnt");
  }();
  return available;
}

VectorPath preferredVectorPath() {
  return avx512Available() ? VectorPath::kAvx512 : VectorPath::kPortable;
}

std::vector<VectorPath> availableVectorPaths() {
  std::vector<VectorPath> paths{VectorPath::kPortable};
  if (avx512Available()) paths.push_back(VectorPath::kAvx512);
  return paths;
}

}  // namespace tolvane::random
