// SPDX-License-Identifier: GPL-3.0-or-later
// One draw from the fitted model at mean m, as exact_count has it, with what depends on the
// extra parameter alone worked out once for a whole data set.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "cycle/distributions.h"
#include "fast_random.h"

namespace valdmora {

class ModelDraw {
public:
    // lognormal (coefficient of variation e), normal (standard deviation e), negative
    // binomial (variance (1 + e) m).
    ModelDraw(Dist dist, double e) : dist_(dist), e_(e) {
        const double s2 = std::log1p(e * e);
        sd_ = std::sqrt(s2);
        half_s2_ = s2 / 2.0;
    }
    // Unrounded and not held: the lognormal may fall below 1, the normal below 0.
    double operator()(double m, FastRandom& random) const {
        switch (dist_) {
        case Dist::lognormal:
            return std::exp(std::log(m) - half_s2_ + sd_ * random.normal());
        case Dist::normal:
            return m + e_ * random.normal();
        case Dist::negbin:
            break;
        }
        return random.poisson(e_ * random.gamma(m / e_));
    }
    // The negative binomial's draws at means m_i sum to one draw at the mean sum(m_i): their
    // gamma mixtures share the scale e. The other distributions have no such sum.
    bool sums_exactly() const { return dist_ == Dist::negbin; }

private:
    Dist dist_;
    double e_, sd_ = 0.0, half_s2_ = 0.0;
};

// Many draws of one negative binomial count (mean m, variance (1 + e) m), as the dispersion
// check makes at each ward for every data set, by inversion: the probabilities tabled once
// from the mode outward by their ratios, until they fall below 1e-20 of the mode's (all
// that lies beyond holds less than about 1e-18 of the mass), then one uniform and a binary
// search per draw, against a gamma and a Poisson variate with their logarithms.
class NegbinTable {
public:
    // False, and the table unusable, where it would be longer than longest entries (a wide
    // distribution, whose draws the caller makes otherwise).
    bool reset(double m, double e, std::size_t longest = 2048) {
        cumulative_.clear();
        const double r = m / e, q = e / (1.0 + e);
        if (!(r > 0.0) || !(q > 0.0) || !(q < 1.0)) return false;
        const double mode = r > 1.0 ? std::floor((r - 1.0) * e) : 0.0;
        // below the mode: P(k) / P(k + 1) = (k + 1) / ((k + r) q)
        below_.clear();
        double p = 1.0;
        for (double k = mode - 1.0; k >= 0.0; k -= 1.0) {
            p *= (k + 1.0) / ((k + r) * q);
            if (p < 1e-20) break;
            below_.push_back(p);
            if (below_.size() > longest) return false;
        }
        lowest_ = mode - static_cast<double>(below_.size());
        double sum = 0.0;
        for (auto it = below_.rbegin(); it != below_.rend(); ++it) cumulative_.push_back(sum += *it);
        // the mode and above: P(k + 1) / P(k) = (k + r) q / (k + 1)
        p = 1.0;
        for (double k = mode; cumulative_.size() <= longest; k += 1.0) {
            cumulative_.push_back(sum += p);
            p *= (k + r) * q / (k + 1.0);
            if (p < 1e-20) return true;
        }
        cumulative_.clear();
        return false;
    }
    // The count for a uniform draw u on (0, 1).
    double draw(double u) const {
        const double v = u * cumulative_.back();
        const auto at = std::upper_bound(cumulative_.begin(), cumulative_.end(), v) - cumulative_.begin();
        return lowest_ + static_cast<double>(std::min<std::ptrdiff_t>(at, static_cast<std::ptrdiff_t>(cumulative_.size()) - 1));
    }

private:
    std::vector<double> below_, cumulative_;
    double lowest_ = 0.0;
};

}  // namespace valdmora
