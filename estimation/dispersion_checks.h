// SPDX-License-Identifier: GPL-3.0-or-later
// Checks a user can act on: is the counts' spread what the model says? The negative binomial
// against its Poisson limit (VoM - 1 -> 0), and the dispersion statistic of the counts
// against that of data sets simulated from the fitted model.
#pragma once

#include <cstdint>
#include <string>

#include "cycle/number_text.h"
#include <vector>

#include "cycle/estimation_state.h"
#include "fit_call.h"

namespace valdmora {

struct PoissonLimitTest {
    bool available = false;
    std::string reason;          // why not
    double negbin_log_lik = 0.0;  // complete, at the negative binomial's estimates
    double poisson_log_lik = 0.0;
    std::vector<double> poisson_value;  // the Poisson fit's parameters, by position
    double statistic = 0.0;      // 2 (negbin - Poisson), at least 0
    double p_value = 0.0;        // from the 50:50 mixture of 0 and chi-square(1): the limit is a bound
    std::string sentence;
};

// The likelihood-ratio test of the negative binomial fit (value by position, its free
// positions) against the Poisson model with the same free coefficients.
PoissonLimitTest poisson_limit_test(const FitCall& call, const Parameters& fitted, const std::vector<int32_t>& free,
                                    const NumberFormat& fmt = {});

// The Poisson log likelihood of the counts with means m.
double poisson_log_likelihood(const std::vector<int32_t>& y, const std::vector<double>& m);

struct SimulatedDispersion {
    bool available = false;
    std::string reason;
    double observed = 0.0;   // the counts' dispersion statistic
    int sets = 0;            // simulated data sets
    double share_above = 0.0;  // of the simulated statistics at or above the observed one
    double p_value = 0.0;    // two-sided
    std::string sentence;
};

// The counts' Pearson dispersion statistic (k free parameters) against those of data sets
// drawn from the fitted model (exact draws) with the same means, seeded: data set b from
// stream b of the seed, so that one thread or two give the same result.
SimulatedDispersion simulated_dispersion_test(const EstimationState& s, const std::vector<double>& value, long k,
                                              int sets, uint64_t seed, bool two_threads = true,
                                              const NumberFormat& fmt = {});

struct DispersionChecks {
    PoissonLimitTest poisson;  // available for the negative binomial only
    SimulatedDispersion simulated;
};

// Both checks of a fit: its values and bounds by position and its free positions, on the
// surveyed wards of s; the simulated test from 500 data sets, seeded.
DispersionChecks dispersion_checks(const EstimationState& s, const std::vector<double>& value,
                                   const std::vector<double>& lower, const std::vector<double>& upper,
                                   const std::vector<int32_t>& free, const ModelLibrary& library, uint64_t seed,
                                   const NumberFormat& fmt = {});

}  // namespace valdmora
