// SPDX-License-Identifier: GPL-3.0-or-later
// One estimating click as a function: a request of numbers and a copy of the estimation
// state in, everything the window must show and the files it must write out.
// An error anywhere raises a UserError (or Cancelled) and the copy is dropped, so an
// abandoned click changes nothing; the files are written by the caller, from the result.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap.h"
#include "click_input.h"
#include "covariance.h"
#include "estimate.h"
#include "cycle/chart_data.h"
#include "cycle/estimation_state.h"
#include "cycle/user_error.h"
#include "profile.h"

namespace valdmora {

// A file the click wrote, by name, for the caller to write whole into its folder.
struct OutputFile {
    std::string name;
    std::string content;
};

// One estimating click as numbers: the request, whether it simulates first, and how the
// results are to be shown. The form (or the batch) makes it; no box text reaches the engine.
struct ClickInput {
    EstimateRequest request;
    std::array<std::string, 6> beta_label;  // what each box is called in messages
    bool simulate = false;                  // draw a new data set first (the path empty, re-estimate clear)
    bool data_file = false;                 // the data came from a file (the ward controls apply)
    long surveys = 20;                      // a simulation's surveyed wards when no file was read
    Generator generator = Generator::classic;  // how a simulation draws its counts
    bool origin_at_zero = true;
    // The texts of the two files and each unsurveyed ward's prediction; a table of models
    // needs neither.
    bool files = true;
    NumberFormat fmt;
};

// What one click shows: the engine's result and the words, charts and files made of it.
// It holds the result whole and copies none of its numbers.
struct ClickResult {
    EstimateResult estimate;  // its state is the form's after the click, a series' tallies included
    std::string label7;
    std::string label8;
    Rgb label8_colour;
    // Beside the estimate sentence: each interval's line and, in a simulation series, the
    // score of each kind of interval.
    std::string interval_text;
    std::optional<std::string> lbl_tot_sim_dog;
    bool simulated = false;                             // a new data set was drawn
    std::optional<std::vector<std::string>> key_names;  // draw the key afresh with these names
    // Beneath the key's names: the dogs seen and the dogs present with their limits.
    std::vector<std::string> key_lines;
    CountsChartData counts;
    std::optional<LikelihoodChartData> likelihood;  // absent: the chart keeps its picture
    bool clear_likelihood = false;                  // empty the chart: there is no profile to show
    bool show_ward_controls = false;
    std::vector<Notice> notices;  // shown after the result is applied
    std::vector<OutputFile> files;

    const EstimationState& state() const { return estimate.state; }
};

// The whole report sequence of one click, simulating first in simulation mode.
ClickResult run_estimating_click(const ClickInput& in, const EstimationState& state, const ClickServices& services);

// An estimate as its box shows it: four decimals at most, and never a lone decimal point.
std::string box_text(double value, const NumberFormat& fmt);

// The unsurveyed wards' predictions as CSV: ward, predicted dogs, and the 95 % Wald
// prediction limits, to a hundredth of a dog.
std::string ward_predictions_csv(const std::vector<WardPrediction>& wards);

// The line of one interval beside the estimate sentence, or empty when it has none.
std::string interval_line(const Interval& interval, const EstimateResult& e, const NumberFormat& fmt);

// The dogs present in words: their number and sighting proportion, then a line for each
// of their intervals. Empty without sightings.
std::string dogs_present_lines(const EstimateResult& e, const NumberFormat& fmt);
// The sighting proportion as shown: "0.550 ± 0.045 (3 counts of 40 marked dogs)".
std::string sighting_words(const SightingProportion& p, const NumberFormat& fmt);

// Each unsurveyed ward's dogs present as CSV: ward, prediction (dogs seen), dogs_present.
std::string ward_dogs_present_csv(const EstimateResult& e);

// The two outputs the window and the batch write after an estimate.
inline constexpr const char* kPredictionsFile = "ward_predictions.txt";
inline constexpr const char* kUserFile = "user.txt";
// Written beside them when sightings are given.
inline constexpr const char* kDogsPresentFile = "ward_dogs_present.csv";

}  // namespace valdmora
