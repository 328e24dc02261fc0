// SPDX-License-Identifier: GPL-3.0-or-later
// The objective of one fit with what depends on the data alone worked out once: ln y for
// the lognormal, ln y! for the negative binomial. It agrees with FUNCT1 to rounding (a few
// ulps of each term); the fit reports FUNCT1's own value at the point it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model.h"

namespace valdmora::model {

// a (a - 1) ... (a - k + 1) as falling products of chunks of factors: the logarithm of
// every full run (of 62 factors, or 16 where a reaches 1e4) in *log_sum, the last run's
// product returned (its logarithm is taken with the other records'), and with Slope the
// derivative of the logarithm in a, the full runs' part in *slope and the last run's as
// *slope_numerator over the product.
// Where the products cannot serve the whole logarithm is in *log_sum and 1 returned.
template <bool Slope>
double falling_product(double a, int32_t k, double* log_sum, double* slope, double* slope_numerator);

#if VALDMORA_FOUR_LANES
// falling_product for four records at once, one to a lane, each lane's results falling_product's
// to the bit: for AVX2 machines (four_lanes_available), and lanes that falling_product
// would multiply out in chunks (falling_products_fit_lanes).
bool falling_products_fit_lanes(const double* a, const int32_t* k);
template <bool Slope>
__attribute__((target("avx2"))) void falling_products4(const double* a, const int32_t* k, double* log_sum,
                                                       double* slope, double* slope_numerator, double* last);
#endif

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
    double sum_log_y_ = 0.0, sum_log_factorial_ = 0.0, sum_y_ = 0.0;
    // Per evaluation, for one block of records: each record's mean (or falling product),
    // its logarithm, and the slope of the floor; kept between evaluations so that nothing
    // is allocated in one. One prepared objective serves one search, on one thread.
    static constexpr std::size_t kBlock = 2048;  // whole runs of four records
    mutable std::vector<double> mean_, log_mean_, slope_, partial_, reciprocals_, slope_h_;
};

}  // namespace valdmora::model
