// SPDX-License-Identifier: GPL-3.0-or-later
#include "session.h"

#include <algorithm>
#include <clocale>

#include "command.h"
#include "cycle/count_file.h"
#include "cycle/distributions.h"
#include "cycle/mode_rules.h"
#include "cycle/number_format.h"
#include "cycle/text.h"

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

Session::Session() : form_(locale_format()) { choose_distribution(Dist::lognormal); }

void Session::read_file(const std::string& path) {
    const std::vector<Notice> notices = form_.read_file(path);
    notices_.insert(notices_.end(), notices.begin(), notices.end());
}

void Session::choose_distribution(Dist dist) {
    form_.choose_distribution(dist);
    request_.dist = dist;
    request_.start = {kDefaultConstantValue, 0.0, 0.0, 0.0, 0.0, distribution(dist).default_extra_value};
}

void Session::set_values(const BoxValues& values) {
    request_.start = values;
    form_.set_entered(values);
}

void Session::set_free(const std::vector<std::string>& items) {
    const std::vector<std::string>& predictors = form_.predictor_names();
    std::array<bool, 5> ticks{};
    // "none": every box unticked, as the window allows, so only the extra parameter is fitted
    const bool none = items.size() == 1 && items[0] == "none";
    for (const std::string& item : none ? std::vector<std::string>{} : items) {
        // a predictor's name first: a header may name one "1"
        int box = -1;
        for (std::size_t j = 0; j < predictors.size(); ++j)
            if (predictors[j] == item) box = static_cast<int>(j) + 1;
        if (box < 0 && item.size() == 1 && item[0] >= '0' && item[0] <= '4') box = item[0] - '0';
        if (box < 0 || box > form_.state().n_pred)
            throw UsageError("--free: \"" + printable(item) + "\" is neither a box number 0.." +
                             std::to_string(form_.state().n_pred) + " nor a predictor of the data.");
        ticks[static_cast<std::size_t>(box)] = true;
    }
    form_.set_ticks(ticks);
    request_.free = ticks;
}

void Session::forget_data_path() {
    form_.set_path("");
    form_.set_entered(request_.start);  // the numbers themselves, not their texts read back
}

long Session::free_parameters() const {
    long n = 1;
    for (int i = 0; i < 5; ++i) n += request_.free[static_cast<std::size_t>(i)] ? 1 : 0;
    return n;
}

ClickResult Session::click(const ClickSettings& settings, const ClickServices& services) const {
    ClickInput in;
    in.request = request_;
    in.request.ward = form_.ward();
    in.request.range_percent = settings.range_percent;
    in.request.bootstrap_reps = settings.bootstrap_reps;
    in.request.bootstrap_seed = settings.bootstrap_seed;
    in.request.sighting = settings.sighting;
    for (int i = 0; i < 6; ++i) in.beta_label[static_cast<std::size_t>(i)] = form_.box_label(i);
    in.simulate = settings.data_path.empty();
    in.data_file = !settings.data_path.empty();
    if (settings.surveys) in.surveys = *settings.surveys;
    in.generator = settings.generator;
    in.fmt = form_.format();
    return run_estimating_click(in, form_.state(), services);
}

void Session::keep(const ClickResult& r) { form_.apply(r); }

}  // namespace valdmora
