// SPDX-License-Identifier: GPL-3.0-or-later
// The likelihood profile of the total: refits with the total over the unsurveyed wards
// held fixed (the intercept follows it), at 21 totals around the estimate for the chart,
// and at the two totals where the profile falls chi-square(1, 0.95) / 2 below its maximum,
// the profile-likelihood limits.
#pragma once

#include <string>
#include <vector>

#include "intervals.h"

#include "fit_call.h"
#include "progress.h"

namespace valdmora {

// chi-square(1) 95 % point over two: how far below its maximum the profile crosses at
// the limits
constexpr double kProfileDrop = 3.841458820694124 / 2.0;

struct ProfileInput {
    Parameters estimates;       // every position at its estimate or fixed value, with bounds
    std::vector<int32_t> free;  // the ticked slopes and the extra parameter
    double pop_est = 0.0;       // the estimate the chart's totals centre on
    double range_percent = 50.0;
    double max_ll = 0.0;        // the main fit's maximum
    bool constant_free = true;  // the main fit freed the intercept: the same model, like for like
    double total_hat = 0.0;     // the fixed-total rule's total at the estimates
    bool limits = true;         // look for the profile-likelihood limits too
};

struct ProfilePoint {
    double total = 0.0;
    double log_likelihood = 0.0;
    int32_t code = 0;
    std::vector<double> value;  // the optimum, every position
};

struct ProfileLimits {
    Available<Limits> limits = Available<Limits>::why_not("the profile was not asked for");
    double level = 0.0;  // the log likelihood they cross: maximum - kProfileDrop
    long fits = 0;
};

struct Profile {
    std::vector<ProfilePoint> points;  // the chart's 21, in increasing total
    long evaluations = 0;              // the chart's points
    long limit_evaluations = 0;        // the limits' search
    long fits = 0;
    bool higher_point = false;  // a point above the main fit's maximum, like for like
    ProfileLimits limits;
};

// Each chart point is the best of fits started from the main estimates and from its inner
// neighbour's optimum, sweeping outward on each side (on both cores), then from either
// neighbour's optimum wherever that start is already better, and with further starts where
// a point looks to sit in a worse basin. The limits
// are found by root finding on refits, beyond the chart's range when needed, as far as a
// total near zero below and a hundred times the estimate above.
Profile likelihood_profile(const FitCall& call, const ProfileInput& in, const Progress& progress);

// The fixed-total rule's total at the given values: M b0 + sum_j S_j b_j.
double fixed_total_at(const ModelData& d, const std::vector<double>& value);

}  // namespace valdmora
