// Rendering rich-text markup as plain text; see rich_text.h.
#include "host/dialogues/rich_text.h"

#include <array>
#include <cctype>
#include <utility>

#include "formats/text_parsing.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;
namespace {

// Length of a tag such as "<b>", "</i>" or "<br />" at the start of text, or 0.
std::size_t tagLength(std::string_view text, bool& isLineBreak) {
  std::size_t pos = 1;
  if (pos < text.size() && text[pos] == '/') ++pos;
  const std::size_t nameStart = pos;
  while (pos < text.size() && std::isalnum(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos == nameStart) return 0;
  const std::string name = lowercase(text.substr(nameStart, pos - nameStart));
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '/')) ++pos;
  if (pos >= text.size() || text[pos] != '>') return 0;
  isLineBreak = name == "br";
  return pos + 1;
}

}  // namespace

std::string renderRichText(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, char>, 5> kEntities{
      {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&nbsp;", ' '}}};
  std::string plain;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::string_view rest = text.substr(pos);
    if (rest.front() == '<') {
      bool isLineBreak = false;
      if (const std::size_t length = tagLength(rest, isLineBreak)) {
        if (isLineBreak) plain += '\n';
        pos += length;
        continue;
      }
    } else if (rest.front() == '&') {
      bool decoded = false;
      for (const auto& [entity, character] : kEntities) {
        if (rest.substr(0, entity.size()) == entity) {
          plain += character;
          pos += entity.size();
          decoded = true;
          break;
        }
      }
      if (decoded) continue;
    }
    plain += rest.front();
    ++pos;
  }
  return plain;
}

}  // namespace hvhost
