// The parameter covariance: the inverse of the observed information matrix, the exact
// second derivatives of -log likelihood at the estimates.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "fit_call.h"
#include "progress.h"

namespace valdmora {

// Covariance by position - 1 (0 the intercept, 1..np the slopes, np + 1 the extra
// parameter); zero in every row and column of a fixed parameter.
using CovarianceMatrix = std::array<std::array<double, 6>, 6>;

struct Covariance {
    CovarianceMatrix cov{};
    bool ok = false;
    std::string problem;  // why there is none
    long evaluations = 0;
    std::vector<double> value_after;  // every parameter at its estimate or fixed value
};

Covariance covariance(const FitCall& call, const Parameters& estimates, const std::vector<int32_t>& free,
                      const Progress& progress);

}  // namespace valdmora
