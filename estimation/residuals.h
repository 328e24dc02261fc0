// SPDX-License-Identifier: GPL-3.0-or-later
// Residual diagnostics of a fit: Pearson residuals (y - m) / sqrt(Var y) and randomized
// quantile residuals (Dunn and Smyth), one per surveyed ward, and the dispersion statistic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cycle/chart_data.h"
#include "cycle/estimation_state.h"

namespace valdmora {

struct Residuals {
    std::vector<std::string> ward;
    std::vector<double> count;     // as the fit saw it: a whole number
    std::vector<double> fitted;    // the floored mean at the estimates
    std::vector<double> pearson;
    std::vector<double> quantile;  // standard normal if the model holds
    double dispersion = 0.0;       // sum of squared Pearson residuals / (n - k)
    long k = 0;
};

// At the estimates (positions 1..np+2 at 0..np+1) with k free parameters. The discrete
// negative binomial's quantile residual takes a uniform draw between the distribution
// function at y - 1 and at y, from a generator seeded with seed.
Residuals model_residuals(const EstimationState& s, const std::vector<double>& value, long k, uint64_t seed);

// The residuals as CSV: ward, count, fitted, pearson, quantile.
std::string residuals_csv(const Residuals& r);

// model_residuals's dispersion alone, without the quantile residuals' distribution functions
// or a copy of every ward.
double pearson_dispersion(const EstimationState& s, const std::vector<double>& value, long k);

// residuals_csv(model_residuals(s, value, k, seed)) written to path through the atomic
// writer a block of rows at a time, so that neither the residuals nor the whole text are
// held; "" or why the file could not be written.
std::string write_residuals_csv(const std::string& path, const EstimationState& s, const std::vector<double>& value,
                                uint64_t seed);

// The two charts of the model check: Pearson residuals against the fitted means, and the
// quantile residuals against the standard normal quantiles, with the line they should follow.
ScatterChartData pearson_chart(const Residuals& r);
ScatterChartData quantile_chart(const Residuals& r);

}  // namespace valdmora
