// SPDX-License-Identifier: GPL-3.0-or-later
#include "mode_rules.h"

#include "distributions.h"
#include "user_error.h"

namespace valdmora {

std::array<bool, 6> choose_distribution(EstimationState& s, Dist dist, std::array<std::string, 6>& boxes,
                                        const NumberFormat& fmt) {
    std::array<bool, 6> set{};
    const Distribution& d = distribution(dist);
    s.err_dist = d.dist;
    boxes[0] = kDefaultConstant;
    set[0] = true;
    for (int j = 1; j <= s.n_pred && j <= 4; ++j) {
        boxes[j] = kDefaultCoefficient;
        set[j] = true;
    }
    boxes[5] = with_locale_decimal(std::string(d.default_extra), fmt);
    set[5] = true;
    s.beta_entered(5) = d.default_extra_value;
    return set;
}

void empty_data_path(EstimationState& s, const std::array<std::string, 6>& boxes, const NumberFormat& fmt) {
    std::array<double, 6> values{};
    for (int i = 0; i < 6; ++i) {
        const auto v = parse_number(boxes[i], fmt);
        if (!v)
            throw UserError("The parameter box " + std::to_string(i) + " holds \"" + boxes[i] +
                            "\", which is not a number. Correct it, then empty the data path again.");
        values[i] = *v;
    }
    s.n_pred = 4;
    for (int i = 0; i <= 5; ++i) s.beta_entered(i) = values[i];
    start_simulation_series(s);
}

void start_simulation_series(EstimationState& s) {
    s.sim_total_sum = 0.0;
    s.est_total_sum = 0.0;
    s.n_sims = 0;
    s.n_sims_left_out = 0;
    s.tally = {};
}

}  // namespace valdmora
