// SPDX-License-Identifier: GPL-3.0-or-later
// What plan and select share: the model of the data read, the sampling design named on the
// command line, and the town's wards.
#pragma once

#include <string>
#include <vector>

#include "estimation/plan.h"

namespace CLI {
class App;
}

namespace valdmora {

// --design: random, stratified:PREDICTOR[:STRATA] or balanced.
void declare_design_option(CLI::App& sub);
// The design a --design text names, its predictor resolved against the data's names (or
// numbers 1..4); a UsageError names what is wrong.
SampleDesign design_from_text(const std::string& text, const std::vector<std::string>& predictors);
// The candidate numbers of wards: a list 20,40,60 or a range FROM:TO:STEP.
std::vector<long> surveys_from_list(const std::string& text);

}  // namespace valdmora
