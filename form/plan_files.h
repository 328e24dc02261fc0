// SPDX-License-Identifier: GPL-3.0-or-later
// The files a survey plan writes, the same from the window and the command line: the plan
// as CSV, a row per number of wards, and the chosen wards for the field team.
#pragma once

#include <string>
#include <vector>

#include "estimation/plan.h"

namespace valdmora {

// The kinds of limits the rows hold, in the kinds' table's order.
std::vector<IntervalKind> kinds_planned(const std::vector<PlanRow>& rows);

// surveys,reps,failed,relative_rmse, then <kind>_relative_half_width and <kind>_coverage.
std::string plan_csv_header(const std::vector<IntervalKind>& kinds);
std::string plan_csv_row(const PlanRow& row, const std::vector<IntervalKind>& kinds);

// ward,<predictors...>,selection_probability: one chosen ward a row, its predictor values
// as the data file gave them.
std::string selection_csv(const Town& town, const std::vector<std::string>& predictors,
                          const std::vector<std::size_t>& chosen, const std::vector<double>& probability);

}  // namespace valdmora
