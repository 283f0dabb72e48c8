// The program's version, from the project's version in CMake.
#pragma once

namespace tolvane {

inline constexpr const char* kTolvaneVersion = TOLVANE_VERSION;

}  // namespace tolvane
