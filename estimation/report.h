// SPDX-License-Identifier: GPL-3.0-or-later
// Small rules of the report, kept apart so that each is one source of truth.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "intervals.h"

namespace valdmora {

// Fixed total of profile point k (-10..10): (r k / 1000 + 1) times the estimate, at least 1.
double profile_total(double range_percent, int k, double pop_est);

// One line of "ward_predictions.txt" without its line end: name, prediction, and the
// limits pred -/+ t sd with the lower one clamped at 0 and the upper its mirror image.
// A variance that is negative or not finite leaves the limits empty.
std::string ward_prediction_line(const std::string& name, double pred, double variance, double t,
                                 const NumberFormat& fmt);

// A true total equal to a limit counts as outside.
bool outside_limits(double lower, double upper, float sim_total);

// The likelihood line: "maximum log likelihood = X" (X as "####.###"), with ", change = D"
// against the previous fit of the same form when there was one, and the warning when the
// profile found a higher likelihood than the fit.
std::string likelihood_line(double max_ll, std::optional<double> previous_max_ll, bool higher_profile_point,
                            const NumberFormat& fmt);

// A limit as the interval lines write it: grouped ("##,###"), and a value that rounds to
// zero as 0, where the pattern alone writes nothing.
std::string limit_text(double v, const NumberFormat& fmt);

// Whether confidence limits hold an expected total strictly inside.
inline bool covers(double lower, double upper, double expected) { return lower < expected && expected < upper; }

// The coverage score of one kind of limits in one simulation: whether its truth lies
// outside. Prediction limits hold the dogs drawn only strictly inside, compared at the
// single precision the total was drawn in (outside_limits); confidence limits must hold
// the expected number strictly inside (covers). Limits that are not available could not
// show the truth inside them and count as outside.
bool scored_outside(ScoreTarget target, const Available<Limits>& limits, double truth);

// The share of the scored simulations whose limits held their truth; none when nothing
// was scored.
std::optional<double> coverage_share(int outside, int scored);

// The summary of a simulation series.
std::string simulation_summary_text(float sim_total, double sim_total_sum, double est_total_sum, int16_t n_outside,
                                    int16_t n_sims, const NumberFormat& fmt);

// The series' summary as shown: the line above, or that no simulation could be scored yet.
std::string simulation_summary_line(const EstimationState& s, const NumberFormat& fmt);

// A line for each further kind of interval scored, and how many clicks had no unsurveyed
// ward to score.
std::string interval_scores(const EstimationState& s);

}  // namespace valdmora
