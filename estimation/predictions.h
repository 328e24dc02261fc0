// SPDX-License-Identifier: GPL-3.0-or-later
// Ward predictions and the population estimate: the unsurveyed wards' predicted counts and
// their total, the variances of their counts and linear predictors, the predictions file
// and the estimate sentence, from the estimates at full precision.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "covariance.h"
#include "intervals.h"
#include "cycle/estimation_state.h"
#include "cycle/number_text.h"

namespace valdmora {

using BoxValues = std::array<double, 6>;  // 0 the constant, 1..4 the predictors, 5 the extra parameter

// Linear predictor of an unsurveyed ward from the box values, without the floor.
double unsurveyed_linear_predictor(const EstimationState& s, const BoxValues& b, long w);

// Every unsurveyed ward's predicted count (the floored mean) and their sum, pop_est.
// A prediction that is not a finite number raises a UserError naming the ward.
void predict_unsurveyed(EstimationState& s, const BoxValues& b);

// Every surveyed ward's predicted count, in single precision.
void predict_surveyed(EstimationState& s, const BoxValues& b);

struct CountVariances {
    double counted_total = 0.0;  // the surveyed wards' counts
    long df = 0;                 // surveyed wards less free parameters
    std::vector<double> ward;    // each unsurveyed ward's count variance, times n / df
    double sum = 0.0;
};

// The variance of each unsurveyed ward's count under the distribution (lognormal
// (e m)^2, normal e^2, negative binomial (e + 1) m, m the linear predictor), times n / df.
CountVariances count_variances(const EstimationState& s, const BoxValues& b, long n_free);

struct PredictorVariances {
    std::vector<double> ward;  // variance of each unsurveyed ward's linear predictor
    double total = 0.0;        // of their sum
};

PredictorVariances linear_predictor_variances(const EstimationState& s, const CovarianceMatrix& cov);

// "ward_predictions.txt": one line per unsurveyed ward, limits left empty without a
// usable covariance.
std::string predictions_file_text(const EstimationState& s, const CountVariances& counts,
                                  const PredictorVariances& lp, bool covariance_ok, double t,
                                  const NumberFormat& fmt);

struct Estimate {
    double pop_est = 0.0;
    double variance = 0.0;     // of the linear predictor and the counts, behind the limits
    bool ward_named = false;   // the estimate is one ward's
    long ward_index = 0;       // which unsurveyed ward, when one is named
    bool ward_missing = false; // a ward was named and is not among the unsurveyed wards
};

// The unsurveyed ward (1-based) of a name: the one written exactly so, else the only one
// that differs in the letter case of A-Z; 0 for none, or for several that differ only so.
long find_unsurveyed_ward(const EstimationState& s, const std::string& name);

// The estimate shown: for all unsurveyed wards, or for the one named (see
// find_unsurveyed_ward) when ward is not empty and found.
Estimate estimate(const EstimationState& s, const std::string& ward, const CountVariances& counts,
                  const PredictorVariances& lp);

// The estimate's Wald prediction limits, pop_est -/+ t sd, or why not: the covariance's
// problem when there is one, or a variance that is negative or not finite.
Available<Limits> wald_limits(const Estimate& e, const std::string& covariance_problem, double t);

// "estimated number of roaming dogs = 1,782 (1309,2254) plus 1162 counted": the total, its
// Wald limits, and the dogs counted when the total is of every unsurveyed ward.
std::string estimate_sentence(const Estimate& e, const Available<Limits>& wald, double counted_total,
                              const NumberFormat& fmt);

// The variance of the expected number of dogs (the sum of the wards' floored means, or
// one ward's when ward > 0) by the delta method: g' C g, g its gradient in the coefficients.
double expected_total_variance(const EstimationState& s, const BoxValues& b, const CovarianceMatrix& cov,
                               long ward = 0);

}  // namespace valdmora
