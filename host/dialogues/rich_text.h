// Texts from the plug-in may be plain ("\n" line breaks) or rich, with simple HTML
// markup. A terminal shows them as plain text: <br> becomes a line break, other tags
// (<b>, <i>, ...) are dropped and the common entities are decoded.
#pragma once

#include <string>
#include <string_view>

namespace hvhost {

std::string renderRichText(std::string_view text);

}  // namespace hvhost
