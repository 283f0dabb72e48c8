// Parsing contrast expressions and labelling them; see contrasts.h.
#include "tolvane/analysis/contrasts.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "design/rest_conditions.h"
#include "formats/text_parsing.h"

namespace tolvane::analysis {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

class ExpressionReader {
 public:
  ExpressionReader(std::string_view text, const std::vector<std::string>& names,
                   const std::filesystem::path& eventsFile)
      : text_(text), names_(names), eventsFile_(eventsFile) {}

  std::vector<double> weights() {
    std::vector<double> weights(names_.size(), 0.0);
    bool first = true;
    skipBlanks();
    while (position_ < text_.size() || first) {
      double sign = 1.0;
      if (peek('+') || peek('-')) {
        sign = text_[position_] == '-' ? -1.0 : 1.0;
        ++position_;
        skipBlanks();
      } else if (!first) {
        fail("'+' or '-' between terms");
      }
      const double coefficient = sign * readCoefficient();
      if (const auto index = readConditionIndex()) weights[*index] += coefficient;
      skipBlanks();
      first = false;
    }
    return weights;
  }

  [[noreturn]] void fail(const std::string& expected) const {
    std::string known;
    for (std::size_t i = 0; i < names_.size(); ++i) known += (i ? ", " : "") + names_[i];
    throw formats::InputError(
        "contrast " + formats::inQuotes(text_) + ": expected " + expected + " at column " +
        std::to_string(position_ + 1) + ", found " +
        (position_ < text_.size() ? formats::inQuotes(text_.substr(position_)) : "the end") +
        " (conditions of " + eventsFile_.string() + ": " + known + ")");
  }

 private:
  bool peek(char c) const { return position_ < text_.size() && text_[position_] == c; }
  void skipBlanks() {
    while (position_ < text_.size() && isBlank(text_[position_])) ++position_;
  }

  // A condition name may itself start with a digit, so names are tried first.
  double readCoefficient() {
    if (longestNameAt(position_) >= 0) return 1.0;
    double value = 0.0;
    const char* begin = text_.data() + position_;
    const auto [end, error] = std::from_chars(begin, text_.data() + text_.size(), value);
    if (error != std::errc() || end == begin) return 1.0;
    position_ += static_cast<std::size_t>(end - begin);
    skipBlanks();
    if (peek('*')) {
      ++position_;
      skipBlanks();
    }
    return value;
  }

  // The condition's index, or nothing for a rest condition that the events leave out:
  // it is the implicit baseline, whose effect is 0.
  std::optional<std::size_t> readConditionIndex() {
    const long index = longestNameAt(position_);
    if (index >= 0) {
      position_ += names_[static_cast<std::size_t>(index)].size();
      return static_cast<std::size_t>(index);
    }
    std::size_t end = position_;
    while (end < text_.size() && std::isalpha(static_cast<unsigned char>(text_[end]))) ++end;
    const bool eventsHoldRest =
        std::any_of(names_.begin(), names_.end(), [](const std::string& name) {
          return design::isDefaultRestName(name);
        });
    if (end == position_ || eventsHoldRest ||
        !design::isDefaultRestName(std::string(text_.substr(position_, end - position_)))) {
      fail("a condition name");
    }
    position_ = end;
    return std::nullopt;
  }

  long longestNameAt(std::size_t position) const {
    long best = -1;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      const std::string& name = names_[i];
      if (!name.empty() && text_.substr(position).starts_with(name) &&
          (best < 0 || name.size() > names_[static_cast<std::size_t>(best)].size())) {
        best = static_cast<long>(i);
      }
    }
    return best;
  }

  std::string_view text_;
  const std::vector<std::string>& names_;
  const std::filesystem::path& eventsFile_;
  std::size_t position_ = 0;
};

}  // namespace

Contrast conditionContrast(const std::vector<std::string>& conditionNames, std::size_t condition,
                           std::size_t columnCount) {
  Contrast contrast{conditionNames[condition], bidsLabel(conditionNames[condition]),
                    std::vector<double>(columnCount, 0.0)};
  contrast.weights[condition] = 1.0;
  return contrast;
}

Contrast parseContrast(std::string_view expression, const std::vector<std::string>& conditionNames,
                       std::size_t columnCount, const std::filesystem::path& eventsFile) {
  ExpressionReader reader(expression, conditionNames, eventsFile);
  std::vector<double> weights = reader.weights();
  bool anyWeight = false;
  for (double w : weights) anyWeight = anyWeight || w != 0.0;
  if (!anyWeight) reader.fail("at least one non-zero weight");
  weights.resize(columnCount, 0.0);
  return {std::string(expression), bidsLabel(expression), std::move(weights)};
}

std::string bidsLabel(std::string_view text) {
  std::string label;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      label += c;
    } else if (c == '-') {
      label += "Minus";
    } else if (c == '+') {
      label += "Plus";
    } else if (c == '*') {
      label += "Times";
    } else if (c == '.') {
      label += 'p';
    }
  }
  return label;
}

}  // namespace tolvane::analysis
