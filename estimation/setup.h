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

// Start values from the six box values (0 the constant, 1..4 the predictors, 5 the extra
// parameter), bounds +-1000 and 0.01..100; free: each ticked box 0..np in order, then the
// extra parameter always.
FitSetup set_up_fit(const EstimationState& s, const std::array<double, 6>& box_values,
                    const std::array<bool, 5>& checked);

// "user.txt": up to 99 surveyed wards the packed tables the 99-record entries take, one
// number a line; beyond that the size-free layout (see the README).
std::string user_file_text(const FitSetup& setup, const NumberFormat& fmt);

}  // namespace valdmora
