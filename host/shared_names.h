// hvhost is built on the shared file formats and design model, and names their types
// and functions as its own: a protocol, a VOI file or an InputError is the same thing
// in every part of the host.
#pragma once

namespace tolvane::formats {}
namespace tolvane::design {}

namespace hvhost {
using namespace tolvane::formats;
using namespace tolvane::design;
}  // namespace hvhost
