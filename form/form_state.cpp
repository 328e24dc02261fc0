// SPDX-License-Identifier: GPL-3.0-or-later
#include "form_state.h"

#include <algorithm>

#include "cycle/distributions.h"
#include "cycle/mode_rules.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "estimation/report.h"
#include "estimation/simulation.h"

namespace valdmora {

namespace {

// The words of a list typed with commas, semicolons or blanks between them.
std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (c == ',' || c == ';' || c == ' ' || c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

}  // namespace

namespace {

std::string file_name_of(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

FormState::FormState(NumberFormat fmt) : fmt_(fmt) {
    form_load(state_);
    boxes_ = {std::string(kDefaultConstant),    std::string(kDefaultCoefficient), std::string(kDefaultCoefficient),
              std::string(kDefaultCoefficient), std::string(kDefaultCoefficient),
              with_locale_decimal(std::string(kDistributions[0].default_extra), fmt_)};
}

std::string FormState::extra_name() const { return std::string(valdmora::distribution(state_.err_dist).extra_name); }

std::string FormState::predictor_label(int j) const {
    // a simulation's predictors have no names: "predictor 1" reads as words, "1predictor" not
    if (sim_labels_) return "predictor " + std::to_string(j);
    return predictor_name(predictor_names_, j);
}

void FormState::set_generator(Generator g) {
    if (g != generator_) start_simulation_series(state_);
    generator_ = g;
}

std::string FormState::box_label(int i) const {
    if (i == 0) return "the constant";
    if (i == 5) return "the extra parameter " + extra_name();
    return "the coefficient of " + predictor_label(i);
}

std::vector<Notice> FormState::read_file(const std::string& path) {
    const CountData file = read_count_file(path);
    path_ = path;
    load(file, path);
    return file.notices;
}

void FormState::load(const CountData& file, const std::string& path) {
    store_count_data(state_, file);
    // a predictor of another name is another predictor: its tick and value do not carry over
    for (int j = 1; j <= 4; ++j) {
        if (predictor_name(file.predictor_names, j) == predictor_name(predictor_names_, j) && !sim_labels_) continue;
        if (ticks_[static_cast<std::size_t>(j)]) ticks_[static_cast<std::size_t>(j)] = false;
        boxes_[static_cast<std::size_t>(j)] = std::string(kDefaultCoefficient);
        state_.beta_entered(j) = 0.0;
    }
    predictor_names_ = file.predictor_names;
    sim_labels_ = false;
    data_file_ = path;
    ++data_version_;
    enter_file_mode();
    mode_ = FormMode::estimate;
    path_changed_ = false;
}

void FormState::enter_file_mode() {
    shown_.model = true;
    shown_.predictors = state_.n_pred;
    shown_.surveys = shown_.reestimate = shown_.sim_summary = false;
    just_estimate_ = false;
}

void FormState::set_path(const std::string& text) {
    path_ = text;
    if (!text.empty()) {
        if (form_mode(mode_).simulation) {
            // a path typed into an emptied box returns to reading it: the next click reads
            mode_ = FormMode::read_file;
            shown_.surveys = shown_.reestimate = shown_.sim_summary = false;
            just_estimate_ = false;
            sim_labels_ = false;
            shown_.predictors = std::min<int>(shown_.predictors, static_cast<int>(predictor_names_.size()));
        } else if (!data_file_.empty() && (mode_ == FormMode::estimate || path_changed_)) {
            // another path is read at the click, never estimated as the data held
            path_changed_ = text != data_file_;
            mode_ = path_changed_ ? FormMode::read_file : FormMode::estimate;
        }
        return;
    }
    empty_data_path(state_, boxes_, fmt_);
    sim_labels_ = true;
    path_changed_ = false;
    shown_.model = true;
    shown_.predictors = 4;
    if (!state_.has_data_file()) shown_.surveys = true;
    mode_ = FormMode::simulate;
}

namespace {

// The reader's way of writing a number typed with the other decimal separator ("0.5" where
// a comma is the separator: "0,5"), or empty when the text is not that.
std::string other_separator_hint(const std::string& text, const NumberFormat& fmt) {
    const char other = fmt.decimal == ',' ? '.' : ',';
    if (text.find(other) == std::string::npos || text.find(fmt.decimal) != std::string::npos) return {};
    std::string swapped = text;
    std::replace(swapped.begin(), swapped.end(), other, fmt.decimal);
    if (!parse_number(swapped, fmt)) return {};
    return " Write " + swapped + ": decimals follow '" + std::string(1, fmt.decimal) + "' here.";
}

}  // namespace

void FormState::choose_distribution(Dist dist) { valdmora::choose_distribution(state_, dist, boxes_, fmt_); }

void FormState::set_box(int i, const std::string& text) {
    boxes_.at(static_cast<std::size_t>(i)) = text == "." ? "0" : text;
    box_problem_.at(static_cast<std::size_t>(i)).clear();
}

void FormState::leave_box(int i) {
    const std::string& text = boxes_.at(static_cast<std::size_t>(i));
    // A text that begins like a number but is not one as a whole (7abc, -, 1.2.3) fails too.
    if (!typed_number_ok(text, fmt_)) {
        box_problem_.at(static_cast<std::size_t>(i)) =
            (text.empty() ? std::string("The box is empty") : "\"" + printable(text, 40) + "\" is not a number") +
            ": type a number such as " + with_locale_decimal("0.25", fmt_) + " (decimals after '" + fmt_.decimal +
            "'). An estimate refuses it until then." + other_separator_hint(text, fmt_);
        return;
    }
    box_problem_.at(static_cast<std::size_t>(i)).clear();
    state_.beta_entered(i) = *parse_number(text, fmt_);
}

void FormState::set_entered(const BoxValues& values) {
    for (int i = 0; i < 6; ++i) {
        const double v = values[static_cast<std::size_t>(i)];
        boxes_[static_cast<std::size_t>(i)] = with_locale_decimal(shortest_number(v), fmt_);
        box_problem_[static_cast<std::size_t>(i)].clear();
        state_.beta_entered(i) = v;
    }
}

std::string FormState::box_problem(int i) const {
    const std::string& text_problem = box_problem_.at(static_cast<std::size_t>(i));
    if (!text_problem.empty() || i != 5 || next_click() != ClickAction::SimulateAndEstimate) return text_problem;
    const double e = state_.beta_entered(5);
    return extra_parameter_problem(state_.err_dist, e, generator_, general_number(e, fmt_));
}

void FormState::set_tick(int i, bool on) {
    // an unticked box keeps what it shows: the fit holds the parameter fixed there
    ticks_.at(static_cast<std::size_t>(i)) = on;
}

void FormState::leave_range() {
    // beyond 99 % the chart would reach totals of no dogs or fewer
    const bool ok = typed_number_ok(range_, fmt_) && *parse_number(range_, fmt_) >= 1.0 && *parse_number(range_, fmt_) <= 99.0;
    range_problem_ = ok ? "" : "The chart's range is a percentage from 1 to 99, such as 50. An estimate refuses \"" +
                                   printable(range_, 40) + "\" until then.";
}

void FormState::set_just_estimate(bool on) {
    just_estimate_ = on;
    mode_ = on ? FormMode::reestimate : FormMode::simulate_again;
}

void FormState::use_model(const ModelRow& row) {
    // the distribution first (it writes its default start values), then the predictors,
    // then the model's own estimates as the start values
    choose_distribution(row.dist);
    ticks_[0] = true;
    for (int j = 1; j <= 4; ++j)
        set_tick(j, std::find(row.predictors.begin(), row.predictors.end(), j) != row.predictors.end());
    for (int i = 0; i < 6; ++i)
        if ((i <= state_.n_pred || i == 5) && !row.boxes[static_cast<std::size_t>(i)].empty())
            boxes_[static_cast<std::size_t>(i)] = row.boxes[static_cast<std::size_t>(i)];
}

ClickAction FormState::next_click() const {
    return decide_click(mode_, path_, just_estimate_);
}

double FormState::box_value(int i) const {
    const std::string& text = boxes_.at(static_cast<std::size_t>(i));
    const auto v = parse_number(text, fmt_);
    if (!v)
        throw UserError("The value of " + box_label(i) + " is \"" + printable(text, 40) +
                            "\", which is not a number. Enter a number and click again." +
                            other_separator_hint(text, fmt_),
                        "Estimate");
    return *v;
}

ClickInput FormState::click_input() const {
    ClickInput in;
    EstimateRequest& q = in.request;
    q.dist = state_.err_dist;
    in.simulate = simulation_mode(path_, just_estimate_);
    in.data_file = !path_.empty();
    for (int i = 0; i < 6; ++i) in.beta_label[static_cast<std::size_t>(i)] = box_label(i);
    // a simulation starts its fit from the true values it drew with, whatever the boxes hold
    if (!in.simulate) {
        for (int j = 0; j <= std::min(4, static_cast<int>(state_.n_pred)); ++j)
            q.start[static_cast<std::size_t>(j)] = box_value(j);
        q.start[5] = box_value(5);
    }
    q.free = ticks_;
    q.ward = ward_;
    if (ward_.empty()) {
        const auto r = parse_number(range_, fmt_);
        if (!r || !(*r > 0.0))
            throw UserError("The range of the likelihood chart is \"" + printable(range_) +
                                "\"; it must be a percentage above 0, such as 50.",
                            "Estimate");
        q.range_percent = *r;
    }
    if (bootstrap_reps_ > 0) {
        q.bootstrap_reps = bootstrap_reps_;
        q.bootstrap_seed = bootstrap_seed_;
    }
    q.sighting = sighting_input();
    if (in.simulate && !state_.has_data_file()) in.surveys = surveys_from_text(surveys_, fmt_);
    in.origin_at_zero = origin_at_zero_;
    in.generator = generator_;
    in.fmt = fmt_;
    return in;
}

std::optional<SightingInput> FormState::sighting_input() const {
    if (!sighting_.on) return std::nullopt;
    const std::string title = "Sighting correction";
    SightingInput in;
    if (sighting_.from_counts) {
        // the counts may be parted by commas, semicolons or blanks
        std::string seen;
        for (const std::string& part : split_words(sighting_.seen)) seen += "," + part;
        const ParsedSighting parsed = parse_sighting_counts(sighting_.marked + seen);
        if (!parsed.counts) throw UserError("Sighting correction: " + parsed.problem + ".", title);
        in = *parsed.counts;
    } else {
        auto number = [&](const std::string& text, const char* what) {
            const auto v = parse_number(text, fmt_);
            if (!v)
                throw UserError("Sighting correction: the " + std::string(what) + " \"" + printable(text, 40) +
                                    "\" is not a number.",
                                title);
            return *v;
        };
        in = SightingShare{number(sighting_.proportion, "sighting proportion"),
                           number(sighting_.se, "standard error of the sighting proportion")};
    }
    const std::string problem = sighting_problem(in);
    if (!problem.empty()) throw UserError("Sighting correction: " + problem + ".", title);
    return in;
}

void FormState::apply(ClickResult r) {
    const EstimateResult& e = r.estimate;
    state_ = e.state;
    // the boxes as the form shows them: a simulation's true values, then each estimate
    if (r.simulated) {
        boxes_[0] = general_number(state_.beta_entered(0), fmt_);
        for (int j = 1; j <= state_.n_pred && j <= 4; ++j)
            boxes_[static_cast<std::size_t>(j)] = general_number(state_.beta_entered(j), fmt_);
        boxes_[5] = general_number(state_.beta_entered(5), fmt_);
    }
    for (int32_t k : e.free_pos) {
        const auto box = static_cast<std::size_t>(k <= state_.n_pred + 1 ? k - 1 : 5);
        boxes_[box] = box_text(e.values[box], fmt_);
    }
    if (r.simulated) {
        ++data_version_;
        data_file_.clear();
        shown_.reestimate = shown_.sim_summary = true;
    }
    if (r.show_ward_controls) shown_.ward = true;
    const bool had_result = result_.has_value();
    const ResultOrigin before = origin_;
    result_ = std::move(r);
    origin_ = current_origin();
    change_note_.clear();
    if (had_result && before.data_version != origin_.data_version && !(before.simulated && origin_.simulated)) {
        // the likelihoods of two data files are not comparable: no change at all
        const EstimateResult& now = result_->estimate;
        result_->label7 = likelihood_line(now.max_ll, std::nullopt, now.higher_profile_point, fmt_);
    } else if (had_result && (before.dist != origin_.dist || before.ticks != origin_.ticks)) {
        change_note_ = " (the change is against the fit of another model: " + model_words(before) +
                       "; a lower log likelihood can still be the better model: compare the models' AIC in "
                       "Model > Compare models…)";
    }
}

ResultOrigin FormState::current_origin() const {
    ResultOrigin o;
    o.data_version = data_version_;
    o.simulated = data_file_.empty();
    o.data_name = o.simulated ? "simulated data" : file_name_of(data_file_);
    o.dist = state_.err_dist;
    // only what the model uses: the boxes and ticks of predictors the data have
    for (int i = 0; i < 6; ++i) {
        const bool used = i <= state_.n_pred || i == 5;
        if (i < 5) o.ticks[static_cast<std::size_t>(i)] = used && ticks_[static_cast<std::size_t>(i)];
        if (used) o.boxes[static_cast<std::size_t>(i)] = boxes_[static_cast<std::size_t>(i)];
    }
    o.ward = ward_;
    o.sighting = sighting_;
    for (int j = 1; j <= state_.n_pred; ++j) o.predictor_names.push_back(predictor_label(j));
    return o;
}

bool FormState::result_current() const {
    if (!result_) return false;
    const ResultOrigin now = current_origin();
    return now.data_version == origin_.data_version && now.dist == origin_.dist && now.ticks == origin_.ticks &&
           now.boxes == origin_.boxes && now.ward == origin_.ward && now.sighting == origin_.sighting;
}

std::string FormState::model_words(const ResultOrigin& o) const {
    std::string words = std::string(valdmora::distribution(o.dist).name) + "; " + (o.ticks[0] ? "constant" : "constant fixed");
    for (int j = 1; j <= static_cast<int>(o.predictor_names.size()) && j <= 4; ++j)
        if (o.ticks[static_cast<std::size_t>(j)]) words += ", " + o.predictor_names[static_cast<std::size_t>(j - 1)];
    return words;
}

std::string FormState::out_of_date_line() const {
    if (!result_ || result_current()) return {};
    const ResultOrigin now = current_origin();
    const std::string what = now.data_version != origin_.data_version ? "other data are held now"
                             : now.sighting != origin_.sighting   ? "the sighting correction has changed"
                                                                  : "the model or its start values have changed";
    return "Out of date: these results are for " + origin_.data_name + " (" + model_words(origin_) + "); " + what +
           ". Click \"" + caption() + "\" for results that belong to what is shown.";
}

}  // namespace valdmora
