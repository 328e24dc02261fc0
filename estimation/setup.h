// SPDX-License-Identifier: GPL-3.0-or-later
// The fit set-up: the parameter table from the start values, the free list from the check
// boxes, the count records of the surveyed wards, and the text of "user.txt".
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "fit_call.h"

namespace valdmora {

struct FitSetup {
    ModelData data;
    Parameters params;          // start values and bounds by position
    std::vector<int32_t> free;  // positions of the free parameters, in the optimizer's order
};

// The surveyed wards' counts (to the nearest whole number, a half to the even neighbour),
// predictor values as stored and the unsurveyed wards' predictor sums. A count beyond the
// library's whole numbers raises a UserError naming the ward.
ModelData model_data(const EstimationState& s);

// The narrowest bounds any survey gets: coefficients within +-1000, the extra parameter
// within 0.01..100.
constexpr double kCoefficientBound = 1000.0;
constexpr double kExtraLowerBound = 0.01;
constexpr double kExtraUpperBound = 100.0;

struct ParameterBounds {
    std::vector<double> lower, upper;  // by position 1..np+2 at 0..np+1
};

// Bounds from the data's scale, so that they never bind for a plausible survey: a slope
// within 10 times the largest count over the predictor's spread, the intercept within ten
// times reach of the counts from any predictor value, the extra parameter up to 10 times
// the largest count; never narrower than the narrowest bounds above.
ParameterBounds parameter_bounds(const ModelData& d);

// Start values from the six box values (0 the constant, 1..4 the predictors, 5 the extra
// parameter), bounds from parameter_bounds; free: each ticked box 0..np in order, then the
// extra parameter always.
FitSetup set_up_fit(const EstimationState& s, const std::array<double, 6>& box_values,
                    const std::array<bool, 5>& checked);

// "user.txt": up to 99 surveyed wards the packed tables the 99-record entries take, one
// number a line; beyond that the size-free layout (see the README).
std::string user_file_text(const FitSetup& setup, const NumberFormat& fmt);

}  // namespace valdmora
