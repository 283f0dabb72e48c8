// Detection of the vector paths; see vector_path.h.
#include "numerics/vector_path.h"

namespace tolvane::cpu {

bool avx2Available() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  }();
  return available;
}

bool avx512Available() {
  // The compiler's check covers the operating system's saving of the wide registers
  // as well as the processor's instruction set.
  static const bool available = [] {
    __builtin_cpu_init();
    return avx2Available() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512vl");
  }();
  return available;
}

const char* nameOf(VectorPath path) {
  switch (path) {
    case VectorPath::kAvx2:
      return "AVX2";
    case VectorPath::kAvx512:
      return "AVX-512";
    case VectorPath::kPortable:
      break;
  }
  return "portable";
}

VectorPath preferredVectorPath() {
  if (avx512Available()) return VectorPath::kAvx512;
  return avx2Available() ? VectorPath::kAvx2 : VectorPath::kPortable;
}

std::vector<VectorPath> availableVectorPaths() {
  std::vector<VectorPath> paths{VectorPath::kPortable};
  if (avx2Available()) paths.push_back(VectorPath::kAvx2);
  if (avx512Available()) paths.push_back(VectorPath::kAvx512);
  return paths;
}

}  // namespace tolvane::cpu
