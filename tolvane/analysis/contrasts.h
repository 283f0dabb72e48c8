// Contrasts: weighted sums of condition effects, written as the user types them, and
// the labels that name their maps.
//
// An expression is a sum of terms, each an optional sign, an optional coefficient
// (a decimal number, optionally followed by '*') and a condition name: "Task",
// "A - B", "2*A - B", "0.5 A + 0.5 B". Blanks between tokens are free. Condition names
// are matched longest first against the events' conditions, so names that contain
// blanks, digits or '-' work as long as they are not a prefix-with-operator of another
// term. A condition named twice gets the sum of its coefficients. A term naming a rest
// condition (design/rest_conditions.h: rest, baseline, fixation or off, in any case),
// when the events hold none, stands for the implicit baseline, whose effect is 0: on a
// dataset whose events leave Rest out, "Task - Rest" is Task against rest.
//
// Labels go into BIDS file names, which allow only letters and digits in an entity's
// value. The rule: letters and digits are kept, '-' becomes "Minus", '+' becomes
// "Plus", '*' becomes "Times", '.' becomes "p", and everything else (blanks,
// underscores, other punctuation) is dropped: "A - B" gives "AMinusB", "2*A - B" gives
// "2TimesAMinusB", "0.5*A" gives "0p5TimesA".
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::analysis {

struct Contrast {
  std::string expression;
  std::string label;
  std::vector<double> weights;  // one per design column; zero outside the conditions
};

// The contrast of one condition alone (weight 1), labelled by its name.
Contrast conditionContrast(const std::vector<std::string>& conditionNames, std::size_t condition,
                           std::size_t columnCount);

// Throws InputError naming the expression and `eventsFile` with its conditions when a
// term names no condition, a token is not understood, or every weight is zero.
Contrast parseContrast(std::string_view expression, const std::vector<std::string>& conditionNames,
                       std::size_t columnCount, const std::filesystem::path& eventsFile);

std::string bidsLabel(std::string_view text);

}  // namespace tolvane::analysis
