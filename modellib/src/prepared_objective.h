// The objective of one fit with what depends on the data alone worked out once: ln y for
// the lognormal, ln y! for the negative binomial. It agrees with FUNCT1 to rounding (a few
// ulps of each term); the fit reports FUNCT1's own value at the point it returns.
#pragma once

#include <cstdint>
#include <vector>

#include "model.h"

namespace valdmora::model {

class PreparedObjective {
public:
    explicit PreparedObjective(const Model& d);
    double operator()(int32_t n, const int32_t* positions, const double* x) const;
    // The same value, and its gradient in the n variables into gradient[0..n).
    double operator()(int32_t n, const int32_t* positions, const double* x, double* gradient) const;

private:
    template <bool Gradient>
    double evaluate(int32_t n, const int32_t* positions, const double* x, double* gradient) const;

    const Model d_;  // views only: copying it is cheap
    bool any_count_below_one_ = false;
    std::vector<double> log_y_;
    std::vector<double> log_factorial_;
    double sum_log_y_ = 0.0, sum_log_factorial_ = 0.0, sum_y_ = 0.0;
    // Per evaluation: each record's mean (or falling product), its logarithm, and the
    // slope of the floor; kept between evaluations so that nothing is allocated in one.
    // One prepared objective serves one search, on one thread.
    mutable std::vector<double> mean_, log_mean_, slope_, partial_, reciprocals_, slope_h_;
};

}  // namespace valdmora::model
