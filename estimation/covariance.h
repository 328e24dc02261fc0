// SPDX-License-Identifier: GPL-3.0-or-later
// The parameter covariance: the inverse of the observed information matrix, the exact
// second derivatives of -log likelihood at the estimates.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cycle/available.h"

#include "cycle/estimation_state.h"
#include "fit_call.h"
#include "progress.h"

namespace valdmora {

// Covariance by position - 1 (0 the intercept, 1..np the slopes, np + 1 the extra
// parameter); zero in every row and column of a fixed parameter.
using CovarianceMatrix = std::array<std::array<double, 6>, 6>;

struct Covariance {
    Available<CovarianceMatrix> matrix;
    long evaluations = 0;
    std::vector<double> value_after;  // every parameter at its estimate or fixed value
};

Covariance covariance(const FitCall& call, const Parameters& estimates, const std::vector<int32_t>& free,
                      const Progress& progress);

// The predictors (1..np) of a subset that the surveyed wards identify: each kept when it adds
// to the rank of the constant (when free) and the predictors kept before it. A pivoted QR
// of unit-length columns, so that the predictors' units do not count.
std::vector<int> identified_predictors(const EstimationState& s, const std::vector<int>& subset, bool constant = true);

// True when the free parameters' design (the constant and the free slopes, by position) is
// of full rank on the surveyed wards.
bool design_identifies(const EstimationState& s, const std::vector<int32_t>& free);

}  // namespace valdmora
