// One estimating click as a function: a snapshot of the controls and a copy of the
// estimation state in, everything the window must show out. An error anywhere raises a
// UserError and the copy is dropped, so an abandoned click changes nothing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "charts/surface.h"
#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "cycle/user_error.h"
#include "model_binding.h"
#include "uniform.h"

namespace valdmora {

// The controls a click reads.
struct ClickInput {
    std::array<std::string, 6> beta_text;   // txtBeta(0..5)
    std::array<std::string, 6> beta_label;  // what each box is called in messages
    std::array<bool, 5> beta_checked{};     // chkBeta(0..4)
    int err_option = 0;                     // the selected optErr, 0..2
    std::string data_path;                  // txtData
    bool just_estimate = false;             // chkJustEstimate is checked
    std::string ward;                       // txtWard
    std::string range_text = "50";          // txtRange
    bool origin_at_zero = true;             // chkZero
    std::string n_surveys_text = "20";      // txtN_surveys
    NumberFormat fmt;
    std::string output_dir = ".";           // where the two output files go
};

// What the engine needs from outside: the fit entry, random draws, progress.
struct ClickServices {
    FitEntry fit = nullptr;
    UniformSource* random = nullptr;  // null: a clock-seeded generator of the engine's own
    bool reseed_from_clock = true;    // false: keep the source's series (tests, batch --seed)
    std::function<void(int done, int total)> progress;
};

struct CountsChart {
    std::vector<float> heights, positions;  // wards 1..n at 0..n-1
    int16_t n = 0;
    std::string title;
    bool origin_at_zero = true;
};

struct LikelihoodChart {
    std::vector<float> log_likelihood, total;
    float sim_total = 0.0f;
    double lower = 0.0, upper = 0.0;
    bool simulated = false;
};

struct Evaluations {
    long fit = 0, covariance = 0, profile = 0;
};

struct ClickResult {
    EstimationState state;
    std::array<std::string, 6> beta_text;  // texts of the six boxes after the click
    std::string label7;
    std::string label8;
    Rgb label8_colour;
    std::optional<std::string> lbl_tot_sim_dog;
    bool simulated = false;                     // a new data set was drawn
    std::optional<std::vector<std::string>> key_names;  // draw the key with these names
    CountsChart counts;
    std::optional<LikelihoodChart> likelihood;  // absent: the profile was skipped
    bool show_ward_controls = false;
    std::vector<Notice> notices;  // shown after the result is applied

    // numbers behind the texts
    int32_t fail_code = 0;
    int32_t n_free = 0;
    std::array<int32_t, 11> free_pos{};
    std::array<double, 6> par_value{};      // positions 1..np+2 at 0..np+1
    std::array<std::array<double, 6>, 6> cov{};  // by position - 1; zero for fixed ones
    bool covariance_ok = false;
    double max_ll = 0.0;
    double pop_est = 0.0, pop_lower = 0.0, pop_upper = 0.0;
    bool limits_ok = false;
    double counted_total = 0.0;
    int df = 0;
    bool higher_profile_point = false;
    Evaluations evaluations;
};

// The number in parameter box i, or a UserError (with the given title) naming the box.
double box_number(const ClickInput& in, const std::array<std::string, 6>& boxes, int i, const char* title);

// The whole report sequence of one click, simulating first in simulation mode.
ClickResult run_estimating_click(const ClickInput& in, const EstimationState& state, const ClickServices& services);

}  // namespace valdmora
