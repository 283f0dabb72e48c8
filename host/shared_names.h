// hvhost is built on the shared file formats and design model: a protocol, a VOI file
// or an InputError is the same thing in every part of the host. Its headers name them
// through these two short prefixes (formats::VoiFile, design::Protocol); a source file
// that uses many of them brings the namespace in itself.
#pragma once

namespace tolvane::formats {}
namespace tolvane::design {}

namespace hvhost {
namespace formats = tolvane::formats;
namespace design = tolvane::design;
}  // namespace hvhost
