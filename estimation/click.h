// One estimating click as a function: a snapshot of the controls and a copy of the
// estimation state in, everything the window must show and the files it must write out.
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

struct ClickResult {
    EstimationState state;
    std::array<std::string, 6> beta_text;  // texts of the six boxes after the click
    std::string label7;
    std::string label8;
    Rgb label8_colour;
    // Beside the estimate sentence: why it has no limits (when it has none), the
    // profile-likelihood limits and, when asked for, the bootstrap limits, or why there are
    // none; in a simulation series, the score of each kind of interval.
    std::string interval_text;
    std::optional<std::string> lbl_tot_sim_dog;
    bool simulated = false;                             // a new data set was drawn
    std::optional<std::vector<std::string>> key_names;  // draw the key afresh with these names
    CountsChartData counts;
    std::optional<LikelihoodChartData> likelihood;  // absent: the chart keeps its picture
    bool clear_likelihood = false;                  // empty the chart: there is no profile to show
    bool show_ward_controls = false;
    std::vector<Notice> notices;  // shown after the result is applied
    std::vector<OutputFile> files;

    // numbers behind the texts
    int32_t fail_code = 0;
    bool fit_ok = false;  // failure code 0 or 5
    std::vector<int32_t> free_pos;
    std::vector<double> lower_bound, upper_bound;  // by position, as the fit had them
    std::vector<int32_t> on_bound;  // free positions whose estimate ended on a bound
    Limits delta;  // the expected total's confidence limits by the delta method
    std::vector<double> par_value;  // positions 1..np+2 at 0..np+1
    CovarianceMatrix cov{};
    bool covariance_ok = false;
    double max_ll = 0.0;
    double pop_est = 0.0, pop_lower = 0.0, pop_upper = 0.0;
    bool limits_ok = false;
    double total_variance = 0.0;  // the variance behind the Wald limits
    bool ward_missing = false;  // a ward was named and not found
    double counted_total = 0.0;
    long df = 0;
    bool no_unsurveyed_ward = false;
    // each unsurveyed ward's prediction and limits, as the predictions file has them
    using WardPrediction = EstimateResult::WardPrediction;
    std::vector<WardPrediction> ward_predictions;
    bool higher_profile_point = false;
    std::vector<ProfilePoint> profile;  // the chart's points, exact totals
    ProfileLimits profile_limits;
    double profile_total_hat = 0.0;  // the fixed-total rule's total at the estimates
    std::optional<BootstrapResult> bootstrap;
    Evaluations evaluations;
};

// The whole report sequence of one click, simulating first in simulation mode.
ClickResult run_estimating_click(const ClickInput& in, const EstimationState& state, const ClickServices& services);

// An estimate as its box shows it: four decimals at most, and never a lone decimal point.
std::string box_text(double value, const NumberFormat& fmt);

// The unsurveyed wards' predictions as CSV: ward, prediction, lower, upper.
std::string ward_predictions_csv(const std::vector<ClickResult::WardPrediction>& wards);

// The two outputs the window and the batch write after an estimate.
inline constexpr const char* kPredictionsFile = "ward_predictions.txt";
inline constexpr const char* kUserFile = "user.txt";

}  // namespace valdmora
