#include "session.h"

#include <algorithm>
#include <clocale>

#include "command.h"
#include "cycle/count_file.h"
#include "cycle/distributions.h"
#include "cycle/mode_rules.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "estimation/simulation.h"

namespace valdmora {

namespace {

// The locale's separators, as the window uses them; the digits never depend on it.
NumberFormat locale_format() {
    const std::lconv* lc = std::localeconv();
    NumberFormat f;
    if (lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1]) f.decimal = lc->decimal_point[0];
    if (lc && lc->thousands_sep && lc->thousands_sep[0] && !lc->thousands_sep[1]) f.group = lc->thousands_sep[0];
    if (f.group == f.decimal) f.group = f.decimal == ',' ? '.' : ',';
    return f;
}

}  // namespace

Session::Session()
    : boxes_{std::string(kDefaultConstant),    std::string(kDefaultCoefficient), std::string(kDefaultCoefficient),
             std::string(kDefaultCoefficient), std::string(kDefaultCoefficient), std::string(distribution(1).default_extra)},
      fmt_(locale_format()) {
    form_load(state_);
}

void Session::read_file(const std::string& path) {
    const CountData d = read_count_file(path);
    store_count_data(state_, d);
    predictors_ = d.predictor_names;
    notices_.insert(notices_.end(), d.notices.begin(), d.notices.end());
}

void Session::choose_distribution(int code) { valdmora::choose_distribution(state_, code - 1, boxes_, fmt_); }

void Session::set_values(const std::array<double, 6>& values) {
    for (std::size_t i = 0; i < 6; ++i) boxes_[i] = general_number(values[i], fmt_);
}

void Session::set_free(const std::vector<std::string>& items) {
    checked_.fill(false);
    for (const std::string& item : items) {
        // a predictor's name first: a header may name one "1"
        int box = -1;
        for (std::size_t j = 0; j < predictors_.size(); ++j)
            if (predictors_[j] == item) box = static_cast<int>(j) + 1;
        if (box < 0 && item.size() == 1 && item[0] >= '0' && item[0] <= '4') box = item[0] - '0';
        if (box < 0 || box > state_.n_pred)
            throw UsageError("--free: \"" + printable(item) + "\" is neither a box number 0.." +
                             std::to_string(state_.n_pred) + " nor a predictor of the data.");
        checked_[static_cast<std::size_t>(box)] = true;
    }
}

void Session::forget_data_path() { empty_data_path(state_, boxes_, fmt_); }

long Session::free_parameters() const { return 1 + static_cast<long>(std::count(checked_.begin(), checked_.end(), true)); }

void Session::check_surveys(const ClickSettings& settings) const {
    (void)surveys_from_text(click_input(settings).n_surveys_text, fmt_);
}

ClickInput Session::click_input(const ClickSettings& settings) const {
    ClickInput in;
    in.beta_text = boxes_;
    in.beta_label[0] = "the constant";
    for (int j = 1; j <= 4; ++j)
        in.beta_label[static_cast<std::size_t>(j)] = "the coefficient of " + predictor_name(predictors_, j);
    in.beta_label[5] = "the extra parameter " + std::string(distribution(state_.err_dist).extra_name);
    in.beta_checked = checked_;
    in.data_path = settings.data_path;
    in.ward = settings.ward;
    in.range_text = general_number(settings.range_percent, fmt_);
    if (settings.surveys) in.n_surveys_text = std::to_string(*settings.surveys);
    in.fmt = fmt_;
    in.bootstrap_reps = settings.bootstrap_reps;
    in.bootstrap_seed = settings.bootstrap_seed;
    in.generator = settings.generator;
    return in;
}

ClickResult Session::click(const ClickSettings& settings, const ClickServices& services) const {
    return run_estimating_click(click_input(settings), state_, services);
}

void Session::keep(const ClickResult& r) {
    state_ = r.state;
    boxes_ = r.beta_text;
}

}  // namespace valdmora
