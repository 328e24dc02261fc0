// SPDX-License-Identifier: GPL-3.0-or-later
// One simulated survey data set drawn from the entered parameter values.
#pragma once

#include <array>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "click_input.h"
#include "cycle/number_text.h"
#include "progress.h"
#include "cycle/estimation_state.h"

namespace valdmora {

// Wards of the study area when no data file was read.
constexpr int kSimulatedWards = 50;
// More surveyed wards than this are taken for a typing mistake.
constexpr long kMaxSimulatedSurveys = 100000000;

struct SimulationOutcome {
    std::vector<std::string> key_names;  // the new surveyed wards' names, for the key
    double true_total_lp = 0.0;          // the unsurveyed wards' true linear predictors, summed
    double expected_total = 0.0;         // the unsurveyed wards' expected draws, summed
};

// How a simulation draws: the surveyed wards when no file was read, the generator, and the
// number format of its messages.
struct SimulationSettings {
    long surveys = 20;
    Generator generator = Generator::classic;
    NumberFormat fmt;
};

// Draws, from the true values entered (beta_entered), the unsurveyed total and the surveyed
// counts (and, without a data file, the study area). Raises a UserError, having changed
// nothing the caller keeps, for an unusable number of surveys or parameter. A draw with no
// unsurveyed ward is not counted in the series: there is nothing to score it by.
// A stop request is honoured between wards.
SimulationOutcome simulate_data(const SimulationSettings& in, EstimationState& s, UniformSource& u,
                                const Progress& progress = Progress());

// One ward's simulated number from mean m under the distribution's error rule, as drawn.
float simulated_count(double m, double e, Dist err_dist, UniformSource& u);

// The expected value of that draw held at 1 or more, as the simulation keeps it: the
// negative binomial's ceil(m / e) successes give ceil(m / e) e failures on average, and the
// sums of ten uniforms have a standard deviation of sqrt(10/12), not sqrt(5).
double classic_expected_count(double m, double e, Dist err_dist);

// A draw from the fitted model with mean m: negative binomial as a gamma mixture of Poisson
// counts (variance (1 + e) m), normal with standard deviation e, lognormal with
// coefficient of variation e held at 1 or more (its likelihood needs counts of 1 or more).
double exact_count(double m, double e, Dist err_dist, std::mt19937_64& engine);

// The expected value of exact_count.
double exact_expected_count(double m, double e, Dist err_dist);

// Why the extra parameter e cannot be simulated from under the distribution and generator
// whatever the means (shown: e as the box shows it), or "".
std::string extra_parameter_problem(Dist err_dist, double e, Generator generator, const std::string& shown);

// The standard deviation of a draw about mean m: the lognormal's coefficient of variation e,
// the normal's standard deviation e, the negative binomial's variance (1 + e) m.
double draw_spread(double m, double e, Dist err_dist);

// Why draws about mean m with extra parameter e cannot be made or would not be counts the
// model library takes, or "": the mean and its standard deviation must be finite and within
// kMaxCount, and so must the negative binomial's gamma shape m / e. Said as a clause, such as
// "a ward's mean of 3e+12 is beyond ...".
std::string draw_problem(double m, double e, Dist err_dist, const NumberFormat& fmt);

// A drawn count the model library takes: finite, and within kMaxCount of 0.
bool count_can_be_taken(double y);

// E[(t - z)+] for z the sum of ten uniform draws on [-0.5, 0.5).
double ten_uniform_shortfall(double t);

// The number of surveys a text asks for: a number, to the nearest whole one (a half to the
// even neighbour), at least 1; else a UserError.
long surveys_from_text(const std::string& text, const NumberFormat& fmt);

// About what an estimate on this many simulated surveys holds in memory at its peak.
constexpr long kBytesPerSimulatedSurvey = 400;

// "" when the surveys fit in the memory this program may still take, else why not; said
// before anything is allocated.
std::string surveys_memory_problem(long surveys);

}  // namespace valdmora
