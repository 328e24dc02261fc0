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

Session::Session() : form_(locale_format()) {}

void Session::read_file(const std::string& path) {
    const std::vector<Notice> notices = form_.read_file(path);
    notices_.insert(notices_.end(), notices.begin(), notices.end());
}

void Session::choose_distribution(int code) { form_.choose_distribution(code); }

void Session::set_values(const std::array<double, 6>& values) {
    // the shortest digits that read back as the very same number: nothing is lost on the way
    for (int i = 0; i < 6; ++i)
        form_.set_box(i, with_locale_decimal(shortest_number(values[static_cast<std::size_t>(i)]), form_.format()));
}

void Session::set_free(const std::vector<std::string>& items) {
    const std::vector<std::string>& predictors = form_.predictor_names();
    std::array<bool, 5> ticks{};
    // "none": every box unticked, as the window allows, so only the extra parameter is fitted
    if (items.size() == 1 && items[0] == "none") {
        form_.set_ticks(ticks);
        return;
    }
    for (const std::string& item : items) {
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
}

void Session::forget_data_path() { form_.set_path(""); }

long Session::free_parameters() const {
    long n = 1;
    for (int i = 0; i < 5; ++i) n += form_.tick(i) ? 1 : 0;
    return n;
}

FormState Session::with(const ClickSettings& settings) const {
    FormState f = form_;
    f.set_ward(settings.ward);
    f.set_range(general_number(settings.range_percent, f.format()));
    if (settings.surveys) f.set_surveys(std::to_string(*settings.surveys));
    f.set_bootstrap(settings.bootstrap_reps, settings.bootstrap_seed);
    f.set_generator(settings.generator);
    return f;
}

void Session::check_surveys(const ClickSettings& settings) const {
    (void)surveys_from_text(with(settings).surveys(), form_.format());
}

ClickResult Session::click(const ClickSettings& settings, const ClickServices& services) const {
    const FormState f = with(settings);
    ClickInput in = f.click_input();
    in.data_path = settings.data_path;
    return run_estimating_click(in, f.state(), services);
}

void Session::keep(const ClickResult& r) { form_.apply(r); }

}  // namespace valdmora
