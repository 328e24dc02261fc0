// SPDX-License-Identifier: GPL-3.0-or-later
// The form as the batch drives it: the same form state as the window's for the data and a
// simulation series, and the request of numbers made from the command line's options
// without passing through a box's text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "estimation/click.h"
#include "form/form_state.h"

namespace valdmora {

// The rest of what an estimating click reads, as numbers.
struct ClickSettings {
    std::string data_path;  // "" for a simulation
    double range_percent = 50.0;
    std::optional<long> surveys;  // a simulation without a file; none: the window's 20
    int bootstrap_reps = 0;
    uint64_t bootstrap_seed = 1;
    Generator generator = Generator::classic;  // the window's
    std::optional<SightingInput> sighting;     // the dogs present besides the dogs seen
};

class Session {
public:
    Session();  // the form as the window opens it

    // The wards, predictors and notices of a count data file; a UserError leaves the form as it was.
    void read_file(const std::string& path);
    // The distribution, with its default start values.
    void choose_distribution(Dist dist);
    // The start values (a simulation's true values) B0..B4, E.
    void set_values(const BoxValues& values);
    // Ticks the boxes named by number 0..4 or by the data's predictor names, and only those;
    // "none" alone ticks no box.
    void set_free(const std::vector<std::string>& items);
    // The data path emptied, as before a simulation.
    void forget_data_path();
    // The one unsurveyed ward to estimate ("" for all), held by the form as the window's ward
    // box holds it, so that every output names the ward its estimate is of.
    void set_ward(const std::string& ward) { form_.set_ward(ward); }
    // The ticked boxes and the extra parameter, always free.
    long free_parameters() const;
    // One estimating click on a copy of the form's state; the form is unchanged.
    ClickResult click(const ClickSettings& settings, const ClickServices& services) const;
    // The click's state and boxes kept, as the window keeps them between simulations.
    void keep(const ClickResult& r);

    const FormState& form() const { return form_; }
    const EstimationState& state() const { return form_.state(); }
    const std::vector<std::string>& predictors() const { return form_.predictor_names(); }
    const std::vector<Notice>& notices() const { return notices_; }
    const NumberFormat& format() const { return form_.format(); }
    // The distribution, start values and free parameters as the next click would take them.
    const EstimateRequest& request() const { return request_; }

private:
    FormState form_;
    EstimateRequest request_;  // the distribution, start values and free parameters
    std::vector<Notice> notices_;
};

}  // namespace valdmora
