// The host function table and its initialisation; see host_table.h.
#include "plugin/host_table.h"

#include <dlfcn.h>

namespace host_table {

#define TOLVANE_DEFINE_CALLED(name) decltype(&::name) name = nullptr;
#define TOLVANE_DEFINE_OPAQUE(name) OpaqueOperation name = nullptr;
decltype(&::hvGetVersionOfHelvara) hvGetVersionOfHelvara = nullptr;
TOLVANE_HOST_OPERATIONS_AFTER_VERSION(TOLVANE_DEFINE_CALLED, TOLVANE_DEFINE_OPAQUE)
#undef TOLVANE_DEFINE_CALLED
#undef TOLVANE_DEFINE_OPAQUE

namespace {

constexpr int kLazyBinding = 1;  // the loader's mode value for lazy binding

template <typename Operation>
Operation lookUp(void* program, const char* name) {
  return reinterpret_cast<Operation>(dlsym(program, name));
}

}  // namespace

bool InitHVAccess() {
  // The handle of the running program is never closed: the operations it yields must
  // stay valid for as long as the module is loaded.
  void* program = dlopen(nullptr, kLazyBinding);
  if (program == nullptr) return false;
  hvGetVersionOfHelvara = lookUp<decltype(hvGetVersionOfHelvara)>(program, "hvGetVersionOfHelvara");
  if (hvGetVersionOfHelvara == nullptr) return false;
#define TOLVANE_RESOLVE(name) name = lookUp<decltype(name)>(program, #name);
  TOLVANE_HOST_OPERATIONS_AFTER_VERSION(TOLVANE_RESOLVE, TOLVANE_RESOLVE)
#undef TOLVANE_RESOLVE
  return true;
}

bool runOperationsPresent() {
  bool present = hvGetVersionOfHelvara != nullptr;
#define TOLVANE_CHECK_CALLED(name) present = present && name != nullptr;
#define TOLVANE_SKIP_OPAQUE(name)
  TOLVANE_HOST_OPERATIONS_AFTER_VERSION(TOLVANE_CHECK_CALLED, TOLVANE_SKIP_OPAQUE)
#undef TOLVANE_CHECK_CALLED
#undef TOLVANE_SKIP_OPAQUE
  return present;
}

}  // namespace host_table
