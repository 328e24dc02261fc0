// SPDX-License-Identifier: GPL-3.0-or-later
// One draw from the fitted model at mean m, as exact_count has it, with what depends on the
// extra parameter alone worked out once for a whole data set.
#pragma once

#include <cmath>

#include "fast_random.h"

namespace valdmora {

class ModelDraw {
public:
    // err_dist 1 lognormal (coefficient of variation e), 2 normal (standard deviation e),
    // else negative binomial (variance (1 + e) m).
    ModelDraw(int err_dist, double e) : dist_(err_dist), e_(e) {
        const double s2 = std::log1p(e * e);
        sd_ = std::sqrt(s2);
        half_s2_ = s2 / 2.0;
    }
    // Unrounded and not held: the lognormal may fall below 1, the normal below 0.
    double operator()(double m, FastRandom& random) const {
        if (dist_ == 1) return std::exp(std::log(m) - half_s2_ + sd_ * random.normal());
        if (dist_ == 2) return m + e_ * random.normal();
        return random.poisson(e_ * random.gamma(m / e_));
    }
    // The negative binomial's draws at means m_i sum to one draw at the mean sum(m_i): their
    // gamma mixtures share the scale e. The other distributions have no such sum.
    bool sums_exactly() const { return dist_ != 1 && dist_ != 2; }

private:
    int dist_;
    double e_, sd_ = 0.0, half_s2_ = 0.0;
};

}  // namespace valdmora
