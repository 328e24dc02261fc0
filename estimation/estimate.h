// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's entry: a request of numbers in, an estimate of numbers out. No texts of boxes
// and no sentences: the click turns box texts into a request and the estimate into words.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap.h"
#include "click_input.h"
#include "cycle/available.h"
#include "cycle/distributions.h"
#include "intervals.h"
#include "covariance.h"
#include "cycle/estimation_state.h"
#include "predictions.h"
#include "profile.h"
#include "setup.h"
#include "sighting.h"

namespace valdmora {

struct Evaluations {
    long fit = 0, covariance = 0, profile = 0, profile_limits = 0;
};

struct EstimateRequest {
    Dist dist = Dist::lognormal;
    BoxValues start{};                     // the constant, four coefficients, the extra parameter
    std::array<bool, 5> free{true};        // the constant and coefficients estimated; the extra parameter always is
    std::vector<BoxValues> extra_starts;   // further starts; the best fit of all is kept
    std::string ward;                      // one unsurveyed ward's name (letter case counts), or all
    double range_percent = 50.0;           // the profile's reach either side of the total
    bool profile = true;                   // the likelihood profile and its limits
    bool ward_predictions = true;          // each unsurveyed ward's prediction and limits
    int bootstrap_reps = 0;                // a parametric bootstrap of the total, seeded; 0: none
    uint64_t bootstrap_seed = 0;
    // Marked dogs and their sightings (or a study's proportion): the dogs present besides the
    // dogs seen. Must be usable (sighting_problem empty).
    std::optional<SightingInput> sighting;
};

struct WardPrediction {
    std::string name;
    double prediction = 0.0;
    Available<Limits> limits;  // the Wald prediction limits, or why not
};

// The one result of an estimate: every output (sentences, files, JSON, the pane, the
// report, a simulation's scores) reads it; none keeps a copy of its fields.
struct EstimateResult {
    EstimationState state;  // after the fit: predictions, maximum log likelihood, total
    FitSetup setup;         // what the fit was given
    int32_t fail_code = 0;
    bool fit_ok = false;    // failure code 0 or 5
    std::vector<int32_t> free_pos;
    std::vector<double> lower_bound, upper_bound;  // by position, as the fit had them
    std::vector<int32_t> on_bound;  // free positions whose estimate ended on a bound
    std::vector<double> par_value;  // positions 1..np+2 at 0..np+1
    BoxValues values{};             // the estimates (and fixed values) by box, full precision
    double max_ll = 0.0;
    Available<CovarianceMatrix> cov;  // of positions 1..np+2, or why there is none
    CountVariances counts;
    PredictorVariances lp;
    double t = 0.0;                 // the 95 % t value of the Wald limits
    double unsurveyed_total = 0.0;  // every unsurveyed ward's prediction, summed
    Estimate total;                 // the unsurveyed wards' total, or the named ward's
    bool no_unsurveyed_ward = false;
    std::vector<WardPrediction> ward_predictions;
    bool profiled = false;
    bool higher_profile_point = false;
    std::vector<ProfilePoint> profile;  // the chart's points, exact totals
    double profile_total_hat = 0.0;  // the fixed-total rule's total at the estimates
    // Every interval of the total, in the order of the kinds' table; a kind not asked for
    // (the bootstrap without replicates) is absent.
    std::vector<Interval> intervals;
    // The dogs present, when the request gave sightings: the dogs seen over the sighting
    // proportion, with limits that carry both uncertainties.
    std::optional<DogsPresent> dogs_present;
    Evaluations evaluations;

    const Interval* interval(IntervalKind kind) const { return find_interval(intervals, kind); }
    // The limits of a kind, or why not (a kind not asked for: "not asked for").
    const Available<Limits>& limits(IntervalKind kind) const;
    // The Wald limits of the estimate shown, or why not.
    const Available<Limits>& wald() const { return limits(IntervalKind::wald); }
    // The variance of free position k's estimate, or NaN without a covariance.
    double variance(int32_t k) const;
};

// The dogs the headline gives: the named ward's estimate, or the town's (the dogs counted
// plus the unsurveyed wards' estimate), with the Wald prediction limits moved by the count,
// which is known exactly.
struct ShownDogs {
    double estimate = 0.0;
    Available<Limits> limits;
};
ShownDogs shown_dogs(const EstimateResult& e);

// The sentence a report leads with: the town's dogs (counted + the unsurveyed wards'
// estimate) with their Wald prediction limits written "A to B", and how many were counted;
// or the named ward's dogs.
std::string headline(const EstimateResult& e, const NumberFormat& fmt);

// Raises a UserError when the surveyed wards cannot carry the model: no more of them than
// free parameters, or a count below 1 for the lognormal (numbers in messages written in fmt).
void check_data_carries_model(const EstimationState& s, const std::array<bool, 5>& free, const NumberFormat& fmt);

// Fits the model of the request to the state's surveyed wards and works out everything that
// follows from the fit. Raises a UserError (nothing fitted) when the data cannot carry the
// model, or Cancelled.
EstimateResult run_estimate(const EstimateRequest& request, const EstimationState& state,
                            const ClickServices& services);

}  // namespace valdmora
