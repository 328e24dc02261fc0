// SPDX-License-Identifier: GPL-3.0-or-later
// The estimation form without its widgets: what its boxes, ticks, path and options hold, the
// rules that change them, which controls each mode shows, and which data and model the last
// result belongs to. The window renders what it says; the batch drives it the same way.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "cycle/command_cycle.h"
#include "cycle/count_file.h"
#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "estimation/click.h"
#include "estimation/model_table.h"

namespace valdmora {

// Which groups of controls the form shows.
struct FormShown {
    bool model = false;        // the distributions, the constant, the extra parameter
    int predictors = 0;        // predictor ticks and boxes 1..predictors
    bool surveys = false;      // the number of surveys to simulate
    bool reestimate = false;   // the re-estimate tick
    bool sim_summary = false;  // the simulation series' summary
    bool ward = false;         // the one-ward box
    bool operator==(const FormShown&) const = default;
};

// The sighting correction's group as typed: off, or marked dogs present and the marked
// dogs seen in each count ("22, 25, 19"), or a proportion and its standard error.
struct SightingForm {
    bool on = false;
    bool from_counts = true;
    std::string marked, seen, proportion, se;
    bool operator==(const SightingForm&) const = default;
};

// What a result was estimated from: the data, and the model as the form set it.
struct ResultOrigin {
    long data_version = 0;
    std::string data_name;  // the file's name, or "simulated data"
    bool simulated = false;  // the data were drawn by a simulation, not read
    Dist dist = Dist::lognormal;
    std::array<bool, 5> ticks{};
    std::array<std::string, 6> boxes;
    std::string ward;
    std::vector<std::string> predictor_names;
    SightingForm sighting;
};

class FormState {
public:
    explicit FormState(NumberFormat fmt = {});

    // --- what the form holds ------------------------------------------------------------
    const std::string& path() const { return path_; }
    FormMode mode() const { return mode_; }
    // The button's caption: displayed, never compared.
    std::string caption() const { return caption_of(mode_); }
    const std::array<std::string, 6>& boxes() const { return boxes_; }
    const std::string& box(int i) const { return boxes_.at(static_cast<std::size_t>(i)); }
    bool tick(int i) const { return ticks_.at(static_cast<std::size_t>(i)); }
    Dist distribution() const { return state_.err_dist; }
    std::string extra_name() const;
    // The caption of predictor box j (1..4): the file's name or "jpredictor".
    std::string predictor_label(int j) const;
    // What messages call box i: "the constant", "the coefficient of population", ...
    std::string box_label(int i) const;
    const std::vector<std::string>& predictor_names() const { return predictor_names_; }
    const std::string& ward() const { return ward_; }
    const std::string& range() const { return range_; }
    const std::string& surveys() const { return surveys_; }
    bool just_estimate() const { return just_estimate_; }
    bool origin_at_zero() const { return origin_at_zero_; }
    bool bootstrap() const { return bootstrap_reps_ > 0; }
    Generator generator() const { return generator_; }
    const FormShown& shown() const { return shown_; }
    const EstimationState& state() const { return state_; }
    const NumberFormat& format() const { return fmt_; }
    // The file whose data the form holds (empty: none, or simulated data).
    const std::string& data_file() const { return data_file_; }
    // Counts each change of the data held (a file read, a simulation drawn).
    long data_version() const { return data_version_; }

    // --- the form's rules ---------------------------------------------------------------
    // Reads a count data file; a file that cannot be read raises a UserError and changes
    // nothing. Returns the reader's notices.
    std::vector<Notice> read_file(const std::string& path);
    // Takes data already read from path.
    void load(const CountData& file, const std::string& path);
    // Typing in the path box. Emptying it enters simulation (a box that is not a number
    // raises a UserError, and the path stays as it was).
    void set_path(const std::string& text);
    // Choosing a distribution: its default start values in the boxes.
    void choose_distribution(Dist dist);
    // Typing in box i; a lone decimal point becomes 0, as the box's own rule.
    void set_box(int i, const std::string& text);
    // Leaving box i: a number is entered; a text that is not one stays as typed and is marked
    // as not understood (the entered value stays), never rewritten to 0 behind the user's back.
    void leave_box(int i);
    // Why box i's text is not understood; else, while the next click simulates, why the
    // value entered cannot be simulated from whatever the means (a negative SD); or empty.
    std::string box_problem(int i) const;
    // Ticking predictor i (0 the constant); unticked, its box keeps its value, at which the fit
    // holds the parameter fixed.
    void set_tick(int i, bool on);
    // The values entered, as numbers: a command line's start or true values. The boxes show
    // their shortest digits.
    void set_entered(const BoxValues& values);
    // All ticks at once, as a command line gives them: the boxes keep their values.
    void set_ticks(const std::array<bool, 5>& ticks) { ticks_ = ticks; }
    void set_ward(const std::string& text) { ward_ = text; }
    void set_range(const std::string& text) {
        range_ = text;
        range_problem_.clear();
    }
    // Leaving the range box: anything but a percentage from 1 to 99 is marked as not understood.
    void leave_range();
    const std::string& range_problem() const { return range_problem_; }
    void set_surveys(const std::string& text) { surveys_ = text; }
    void set_just_estimate(bool on);
    void set_origin_at_zero(bool on) { origin_at_zero_ = on; }
    // Bootstrap limits from this many replicates (0: none), seeded so that the same data give
    // the same limits.
    void set_bootstrap(int replicates, uint64_t seed = 1) {
        bootstrap_reps_ = replicates;
        bootstrap_seed_ = seed;
    }
    // Draws of another generator are another series: its tally starts anew.
    void set_generator(Generator g);
    const SightingForm& sighting() const { return sighting_; }
    void set_sighting(const SightingForm& s) { sighting_ = s; }
    // The sighting group as numbers, or none when it is off; a value that cannot be used
    // raises a UserError naming its box.
    std::optional<SightingInput> sighting_input() const;
    // A row of the table of models as the form's model: distribution, ticks, start values.
    void use_model(const ModelRow& row);

    // --- the click ----------------------------------------------------------------------
    // What the next click does. A path other than the data file's is read first.
    ClickAction next_click() const;
    // The request of numbers the engine estimates from, made of the boxes, ticks and
    // options; a box or range that is not a number raises a UserError naming it.
    ClickInput click_input() const;
    // The number in box i, or a UserError naming the box.
    double box_value(int i) const;
    // The click's result becomes the form's.
    void apply(ClickResult r);

    // --- the result on show -------------------------------------------------------------
    const ClickResult* result() const { return result_ ? &*result_ : nullptr; }
    const ResultOrigin* result_origin() const { return result_ ? &origin_ : nullptr; }
    // The result belongs to the data held and the model set.
    bool result_current() const;
    // Empty while the result is current; otherwise a line saying which data and model it
    // belongs to, and what has changed since.
    std::string out_of_date_line() const;
    // Beside the likelihood line's change: when the fit before was of other data or another
    // model, the change compares unlike fits, and this says so; empty otherwise.
    const std::string& change_note() const { return change_note_; }
    // The model a result was estimated with, in words: "lognormal; constant, population".
    std::string model_words(const ResultOrigin& o) const;

private:
    ResultOrigin current_origin() const;
    void enter_file_mode();

    NumberFormat fmt_;
    EstimationState state_;
    std::string path_ = "counts.txt";
    std::string data_file_;
    long data_version_ = 0;
    bool sim_labels_ = false;    // simulation's "jpredictor" captions in place of the file's names
    bool path_changed_ = false;  // a path other than the data file's is typed: the click reads it
    FormMode mode_ = FormMode::read_file;
    std::array<std::string, 6> boxes_;
    std::array<bool, 5> ticks_{true, false, false, false, false};
    std::vector<std::string> predictor_names_;
    std::string ward_;
    std::string range_ = "50";
    std::array<std::string, 6> box_problem_;
    std::string range_problem_;
    std::string surveys_ = "20";
    bool just_estimate_ = false;
    bool origin_at_zero_ = true;
    int bootstrap_reps_ = 0;
    uint64_t bootstrap_seed_ = 1;
    Generator generator_ = Generator::classic;
    SightingForm sighting_;
    FormShown shown_;
    std::optional<ClickResult> result_;
    ResultOrigin origin_;
    std::string change_note_;
};

}  // namespace valdmora
