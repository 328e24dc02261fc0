// One simulated survey data set drawn from the entered parameter values.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "click.h"

namespace valdmora {

// Wards of the study area when no data file was read.
constexpr int kSimulatedWards = 50;

struct SimulationOutcome {
    // Without a data file the key is drawn again, with the names of the previous draw.
    std::optional<std::vector<std::string>> key_names;
};

// Refills the boxes from beta_entered, then draws the unsurveyed total and the surveyed
// counts (and, without a data file, the study area). Raises a UserError, having changed
// nothing the caller keeps, for an unusable number of surveys or parameter.
SimulationOutcome simulate_data(const ClickInput& in, EstimationState& s, std::array<std::string, 6>& boxes,
                                UniformSource& u);

// One ward's simulated number from mean m under the option's error rule, as drawn.
float simulated_count(double m, double e, int err_option, UniformSource& u);

}  // namespace valdmora
