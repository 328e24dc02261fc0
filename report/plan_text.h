// SPDX-License-Identifier: GPL-3.0-or-later
// The survey plan's page of the report: what was planned from and how, and each candidate
// number of wards with the half-width and coverage of every kind of limits.
#pragma once

#include <string>
#include <vector>

#include "cycle/number_text.h"
#include "estimation/plan.h"

namespace valdmora {

// A plan made in the window, kept for the report with what it was asked.
struct PlanRecord {
    PlanRequest request;
    PlanResult result;
    std::vector<std::string> predictors;  // the data's names, for the design's words
};

// The design in words: "stratified by households (4 strata)".
std::string design_words(const SampleDesign& d, const std::vector<std::string>& predictors);

std::string plan_html(const PlanRecord& plan, const NumberFormat& fmt);

}  // namespace valdmora
