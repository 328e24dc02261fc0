// SPDX-License-Identifier: GPL-3.0-or-later
// What the predictors miss in space: queen contiguity between ward shapes, and Moran's I of
// the surveyed wards' Pearson residuals under randomisation, with row-standardised weights.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "boundaries.h"
#include "cycle/available.h"
#include "cycle/number_text.h"

namespace valdmora {

// For each shape, the shapes that share at least one boundary point with it (positions
// within snap degrees of each other), in increasing order.
using Neighbours = std::vector<std::vector<std::size_t>>;
Neighbours queen_neighbours(const std::vector<const WardShape*>& shapes, double snap = 1.4901161193847656e-08);

struct MoranTest {
    double i = 0.0;
    double expected = 0.0;  // -1 / (n - 1)
    double variance = 0.0;  // under randomisation
    double z = 0.0;
    double p_value = 0.0;   // two-sided, standard normal
    std::size_t n = 0;
};

// Moran's I of x under randomisation, row-standardised weights; every value must have a
// neighbour. Not available for fewer than four values or values that do not vary.
Available<MoranTest> moran_test(const std::vector<double>& x, const Neighbours& neighbours);

struct SpatialCheck {
    Available<MoranTest> moran;
    std::vector<std::string> wards;     // those in the test
    std::vector<std::string> left_out;  // surveyed wards with a boundary but no surveyed neighbour
    std::vector<std::string> wards_without_boundary;
    std::vector<std::string> boundaries_without_ward;
};

// The check of the surveyed wards' Pearson residuals (ward names and residuals alike
// ordered) on the matched boundaries.
SpatialCheck spatial_check(const std::vector<std::string>& surveyed, const std::vector<double>& pearson,
                           const WardBoundaries& boundaries);

// One sentence a non-statistician can act on, numbers written in fmt.
std::string spatial_check_sentence(const SpatialCheck& check, const NumberFormat& fmt);

}  // namespace valdmora
