// SPDX-License-Identifier: GPL-3.0-or-later
// A parametric bootstrap prediction interval for the unsurveyed wards' total: counts for
// the surveyed wards drawn from the fitted model, a refit with the same free parameters,
// and counts for the unsurveyed wards drawn from each refit; the 2.5 % and 97.5 % points of
// the drawn totals are the limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cycle/estimation_state.h"
#include "fast_random.h"
#include "fit_call.h"
#include "intervals.h"
#include "progress.h"

namespace valdmora {

struct BootstrapResult {
    int reps = 0;    // replicates asked for
    int failed = 0;  // refits that did not give a usable fit, left out of the limits
    Available<Limits> limits;
    // Monte Carlo standard errors of the two limits: what another seed could move them by
    double lower_error = 0.0, upper_error = 0.0;
    std::vector<double> totals;  // the drawn totals of the replicates that count, sorted
};

// One count from mean m under the distribution: lognormal (coefficient of variation e) and
// normal (standard deviation e) rounded to whole numbers, at least 1 and 0 respectively;
// negative binomial (variance (1 + e) m) as a gamma mixture of Poisson counts.
double draw_count(Dist dist, double m, double e, FastRandom& random);

// The replicates run on both cores; each draws from its own stream of the seed, so the
// same seed gives the same limits whatever the threads did. The negative binomial's
// unsurveyed total is drawn as one count at the sum of the wards' means (the same
// distribution as the sum of the wards' draws).
// ward: one unsurveyed ward (1-based) whose count alone is drawn, or 0 for all of them.
BootstrapResult bootstrap_total(const FitCall& call, const Parameters& estimates, const std::vector<int32_t>& free,
                                const EstimationState& s, int reps, uint64_t seed, const Progress& progress,
                                long ward = 0);

// The p-quantile of sorted values, interpolated between order statistics (the usual
// definition, type 7).
double quantile(const std::vector<double>& sorted, double p);

// The Monte Carlo standard error of that quantile: half the distance between the order
// statistics one binomial standard deviation either side of it.
double quantile_error(const std::vector<double>& sorted, double p);

}  // namespace valdmora
