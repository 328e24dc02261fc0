// SPDX-License-Identifier: GPL-3.0-or-later
// What the distribution options and emptying the data path do to the state and the six
// parameter boxes, shared by the window and the batch front end.
#pragma once

#include <array>
#include <string>

#include "estimation_state.h"
#include "number_text.h"

namespace valdmora {

// Choosing a distribution: its code,
// the default box texts (constant 10, the model's predictors 0, the extra parameter's
// default) and the extra parameter's entered value. Returns which boxes were given a text.
std::array<bool, 6> choose_distribution(EstimationState& s, Dist dist, std::array<std::string, 6>& boxes,
                                        const NumberFormat& fmt);

// Emptying the data path: four predictors, the entered values taken from the boxes, and a
// new simulation series. A box that is not a number raises a UserError and changes nothing.
void empty_data_path(EstimationState& s, const std::array<std::string, 6>& boxes, const NumberFormat& fmt);

// A new series of simulations: the sums and the coverage tallies start from nothing.
void start_simulation_series(EstimationState& s);

}  // namespace valdmora
