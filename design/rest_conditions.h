// Rest conditions: those that only fill the time between the others, and that an
// analysis therefore models as the implicit baseline (the constant) rather than as
// events of their own. A model holding a predictor for every condition of a design
// that fills the whole run, and a constant, is nearly collinear; leaving the fill out
// makes each remaining condition's effect its difference from rest, as BIDS consumers
// expect.
//
// The default rule: a condition whose name is "rest", "baseline", "fixation" or "off",
// in any case, is rest. A list of names replaces the rule (an empty list: no condition
// is rest). A condition that must be modelled (one with a simulated effect, one that a
// contrast names) is never rest.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "design/protocol.h"

namespace tolvane::design {

bool isDefaultRestName(const std::string& name);

// One flag per condition of `protocol`: true for a rest condition. `named` absent
// applies the default rule; names in it that the protocol lacks are ignored here (the
// caller decides whether that is an error). `modelled`, one flag per condition or
// empty, marks conditions that are never rest.
std::vector<bool> restConditions(const Protocol& protocol,
                                 const std::optional<std::vector<std::string>>& named,
                                 const std::vector<bool>& modelled = {});

// The protocol without the flagged conditions.
Protocol withoutConditions(const Protocol& protocol, const std::vector<bool>& leftOut);

}  // namespace tolvane::design
