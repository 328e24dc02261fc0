// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated survey held in an estimation state: three or four predictors uniform in
// 100..1100, counts drawn from one of the three distributions.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "cycle/distributions.h"
#include "cycle/estimation_state.h"
#include "packed_model.h"

namespace valdmora::testing {

inline EstimationState simulated_survey(long surveyed, long unsurveyed, int np, Dist dist, double b0,
                                        const std::vector<double>& beta, double e, uint32_t seed) {
    EstimationState s;
    form_load(s);
    const Records r = simulate(static_cast<int32_t>(surveyed), np, b0, beta, e, distribution(dist).code, seed);
    s.data_read = -1;
    s.n_pred = static_cast<int16_t>(np);
    s.err_dist = dist;
    s.resize_wards(static_cast<int32_t>(surveyed), static_cast<int32_t>(unsurveyed));
    for (long i = 1; i <= surveyed; ++i) {
        s.surveyed_name(i) = "S" + std::to_string(i);
        s.surveyed_count(i) = static_cast<float>(r.y[static_cast<std::size_t>(i - 1)]);
        for (int j = 1; j <= np; ++j)
            s.surveyed_x(j, i) = static_cast<float>(r.x[static_cast<std::size_t>(i - 1)][static_cast<std::size_t>(j - 1)]);
    }
    std::mt19937 gen(seed + 1);
    std::uniform_int_distribution<int> xs(100, 1100);
    for (long i = 1; i <= unsurveyed; ++i) {
        s.unsurveyed_name(i) = "U" + std::to_string(i);
        for (int j = 1; j <= np; ++j) {
            s.unsurveyed_x(j, i) = static_cast<float>(xs(gen));
            s.unsurveyed_x_sum(j) += static_cast<double>(s.unsurveyed_x(j, i));
        }
    }
    return s;
}

}  // namespace valdmora::testing
