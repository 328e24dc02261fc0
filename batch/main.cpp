// valdmora-batch: one estimating click, or a series of simulate-and-estimate clicks, from
// the command line, through the same engine as the window.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "cycle/count_file.h"
#include "cycle/mode_rules.h"
#include "cycle/number_format.h"
#include "estimation/click.h"
#include "estimation/report.h"

using namespace valdmora;
using json = nlohmann::ordered_json;

namespace {

struct Options {
    std::string file;
    std::string dist = "lognormal";
    std::string free = "0";
    std::string start;  // estimate: start values; simulate: true values
    std::string range = "50";
    std::string ward;
    std::string out = ".";
    bool json = false;
    int surveys = 20;
    long reps = 1;
    std::optional<uint64_t> seed;
    std::string csv;
};

int option_index(const std::string& dist) { return dist == "normal" ? 1 : dist == "negbin" ? 2 : 0; }

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) out.push_back(item);
    return out;
}

// The names the window shows beside the boxes.
std::array<std::string, 6> box_names(const EstimationState& s, const std::vector<std::string>& predictors) {
    std::array<std::string, 6> names{"constant", "", "", "", "", s.extra_param_name(s.err_dist - 1)};
    for (int j = 1; j <= 4; ++j)
        names[j] = j <= static_cast<int>(predictors.size()) ? predictors[j - 1] : std::to_string(j) + "predictor";
    return names;
}

// The window's state and boxes after reading the file (if any) and choosing a distribution.
struct Session {
    Session() { form_load(state); }
    EstimationState state;
    std::array<std::string, 6> boxes{"10", "0", "0", "0", "0", "0.25"};
    std::array<bool, 5> checked{true, false, false, false, false};
    std::vector<std::string> predictors;
    NumberFormat fmt = locale_format();

    static NumberFormat locale_format() {
        // the decimal point of the user's locale, as the window uses
        const std::lconv* lc = std::localeconv();
        NumberFormat f;
        if (lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1]) f.decimal = lc->decimal_point[0];
        if (lc && lc->thousands_sep && lc->thousands_sep[0] && !lc->thousands_sep[1]) f.group = lc->thousands_sep[0];
        return f;
    }
};

void read_file(Session& s, const std::string& path) {
    const CountData d = read_count_file(path, s.fmt);
    store_count_data(s.state, d);
    s.predictors = d.predictor_names;
}

// Box numbers 0..4 or the header's predictor names.
void set_free(Session& s, const std::string& list) {
    s.checked.fill(false);
    for (const std::string& item : split_list(list)) {
        int box = -1;
        for (std::size_t j = 0; j < s.predictors.size(); ++j)
            if (s.predictors[j] == item) box = static_cast<int>(j) + 1;
        if (box < 0 && item.size() == 1 && item[0] >= '0' && item[0] <= '4') box = item[0] - '0';
        if (box < 0 || box > s.state.n_pred)
            throw UserError("--free: \"" + item + "\" is neither a box number 0.." + std::to_string(s.state.n_pred) +
                            " nor a predictor of the data.");
        s.checked[box] = true;
    }
}

void set_boxes(Session& s, const std::string& list, const char* option) {
    const auto items = split_list(list);
    if (items.size() != 6) throw CLI::ValidationError(option, "needs six values: B0,B1,B2,B3,B4,E");
    for (int i = 0; i < 6; ++i) {
        const auto v = parse_number(items[i], NumberFormat{});
        if (!v) throw CLI::ValidationError(option, "\"" + items[i] + "\" is not a number");
        s.boxes[i] = general_number(*v, s.fmt);
    }
}

ClickInput click_input(const Session& s, const Options& o, const std::string& data_path) {
    ClickInput in;
    in.beta_text = s.boxes;
    const auto names = box_names(s.state, s.predictors);
    in.beta_label[0] = "the constant";
    for (int j = 1; j <= 4; ++j) in.beta_label[j] = "the coefficient of " + names[j];
    in.beta_label[5] = "the extra parameter " + names[5];
    in.beta_checked = s.checked;
    in.err_option = option_index(o.dist);
    in.data_path = data_path;
    in.ward = o.ward;
    in.range_text = o.range;
    in.n_surveys_text = std::to_string(o.surveys);
    in.fmt = s.fmt;
    in.output_dir = o.out;
    return in;
}

json finite_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

json result_json(const Session& s, const ClickResult& r) {
    json j;
    j["fail_code"] = r.fail_code;
    const auto names = box_names(r.state, s.predictors);
    const int np = r.state.n_pred;
    json estimates = json::array();
    for (int box : {0, 1, 2, 3, 4, 5}) {
        if (box != 5 && box > np) continue;
        const int position = box == 5 ? np + 2 : box + 1;
        bool free = false;
        for (int i = 0; i < r.n_free; ++i) free = free || r.free_pos[static_cast<std::size_t>(i)] == position;
        const double var = r.cov[static_cast<std::size_t>(position - 1)][static_cast<std::size_t>(position - 1)];
        estimates.push_back({{"box", box},
                             {"name", names[box]},
                             {"value", finite_or_null(r.par_value[static_cast<std::size_t>(position - 1)])},
                             {"free", free},
                             {"se", free && r.covariance_ok && var >= 0.0 ? finite_or_null(std::sqrt(var)) : json(nullptr)}});
    }
    j["estimates"] = estimates;
    j["max_ll"] = finite_or_null(r.max_ll);
    j["pop_est"] = finite_or_null(r.pop_est);
    j["pop_lower"] = r.limits_ok ? finite_or_null(r.pop_lower) : json(nullptr);
    j["pop_upper"] = r.limits_ok ? finite_or_null(r.pop_upper) : json(nullptr);
    j["counted_total"] = r.counted_total;
    j["df"] = r.df;
    j["label7"] = r.label7;
    j["label8"] = r.label8;
    json profile = json::array();
    if (r.likelihood)
        for (std::size_t i = 0; i < r.likelihood->total.size(); ++i)
            profile.push_back({r.likelihood->total[i], finite_or_null(r.likelihood->log_likelihood[i])});
    j["profile"] = profile;
    j["evaluations"] = {{"fit", r.evaluations.fit},
                        {"covariance", r.evaluations.covariance},
                        {"profile", r.evaluations.profile}};
    return j;
}

void warn_notices(const ClickResult& r) {
    for (const Notice& n : r.notices)
        std::cerr << n.text << (n.detail.empty() ? "" : " " + n.detail) << "\n";
}

int run_estimate(const Options& o) {
    Session s;
    read_file(s, o.file);
    choose_distribution(s.state, option_index(o.dist), s.boxes, s.fmt);
    if (!o.start.empty()) set_boxes(s, o.start, "--start");
    set_free(s, o.free);
    ClickServices services;
    services.fit = bind_model_library();
    const ClickResult r = run_estimating_click(click_input(s, o, o.file), s.state, services);
    warn_notices(r);
    if (o.json)
        std::cout << result_json(s, r).dump(2) << "\n";
    else
        std::cout << r.label7 << "\n" << r.label8 << "\n";
    return 0;
}

int run_simulate(const Options& o) {
    Session s;
    if (!o.file.empty()) read_file(s, o.file);
    choose_distribution(s.state, option_index(o.dist), s.boxes, s.fmt);
    if (!o.start.empty()) set_boxes(s, o.start, "--true");
    empty_data_path(s.state, s.boxes, s.fmt);  // the window's data path emptied
    set_free(s, o.free);

    ClickServices services;
    services.fit = bind_model_library();
    MersenneUniform random(o.seed.value_or(clock_seed()));
    services.random = &random;
    services.reseed_from_clock = !o.seed.has_value();

    std::ofstream csv;
    if (!o.csv.empty()) {
        csv.open(o.csv, std::ios::trunc);
        if (!csv) throw UserError("The file " + o.csv + " cannot be written.");
        csv << "rep,true_total,estimate,lower,upper,outside,fail_code\n";
    }
    const bool bar = isatty(2) != 0;
    std::optional<ClickResult> last;
    for (long rep = 1; rep <= o.reps; ++rep) {
        ClickInput in = click_input(s, o, "");
        ClickResult r = run_estimating_click(in, s.state, services);
        warn_notices(r);
        if (csv.is_open()) {
            csv << rep << "," << r.state.sim_total << "," << r.pop_est << ",";
            if (r.limits_ok)
                csv << r.pop_lower << "," << r.pop_upper << ","
                    << (outside_limits(r.pop_lower, r.pop_upper, r.state.sim_total) ? "outside" : "inside");
            else
                csv << ",,outside";
            csv << "," << r.fail_code << "\n";
        }
        s.state = r.state;
        s.boxes = r.beta_text;
        if (bar && (rep % 10 == 0 || rep == o.reps)) {
            const int width = 40, done = static_cast<int>(width * rep / o.reps);
            std::fprintf(stderr, "\r[%s%s] %ld/%ld", std::string(static_cast<std::size_t>(done), '#').c_str(),
                         std::string(static_cast<std::size_t>(width - done), ' ').c_str(), rep, o.reps);
            if (rep == o.reps) std::fputc('\n', stderr);
        }
        last = std::move(r);
    }
    const EstimationState& st = last->state;
    const std::string summary = last->lbl_tot_sim_dog.value_or("");
    if (o.json) {
        json j = result_json(s, *last);
        j["n_sims"] = st.n_sims;
        j["n_outside_cl"] = st.n_outside_cl;
        j["sim_total_mean"] = st.sim_total_sum / st.n_sims;
        j["est_total_mean"] = st.est_total_sum / st.n_sims;
        j["coverage"] = 1.0 - static_cast<double>(st.n_outside_cl) / st.n_sims;
        j["summary"] = summary;
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << summary << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    CLI::App app{"valdmora-batch: estimate roaming dogs from a count data file, or run a simulation study, "
                 "with the same engine as the valdmora window."};
    app.require_subcommand(1);
    Options o;
    const std::string dists = "lognormal, normal or negbin (default lognormal)";

    auto* est = app.add_subcommand("estimate", "One estimate from a count data file, as one estimating click.\n"
                                               "Example: valdmora-batch estimate counts.txt --dist negbin --free 0,households --json");
    est->add_option("FILE", o.file, "the count data file")->required();
    est->add_option("--dist", o.dist, dists)->check(CLI::IsMember({"lognormal", "normal", "negbin"}));
    est->add_option("--free", o.free, "free parameters: box numbers 0..4 (0 the constant) or predictor names; "
                                      "the extra parameter is always free (default 0)");
    est->add_option("--start", o.start, "start values B0,B1,B2,B3,B4,E in box order (default: the distribution's)");
    est->add_option("--range", o.range, "likelihood profile range, per cent either side (default 50)");
    est->add_option("--ward", o.ward, "narrow the estimate to this unsurveyed ward");
    est->add_option("--out", o.out, "folder for ward_predictions.txt and user.txt (default: here)");
    est->add_flag("--json", o.json, "print one JSON object instead of the two result lines");

    auto* sim = app.add_subcommand("simulate", "A series of simulate-and-estimate clicks.\n"
                                               "Example: valdmora-batch simulate --reps 1000 --seed 7 --json");
    sim->add_option("--file", o.file, "keep this file's wards and predictors; simulate only the counts");
    sim->add_option("--surveys", o.surveys, "surveyed wards to simulate without a file, 1..99 (default 20)");
    sim->add_option("--dist", o.dist, dists)->check(CLI::IsMember({"lognormal", "normal", "negbin"}));
    sim->add_option("--free", o.free, "free parameters, as for estimate (default 0)");
    sim->add_option("--true", o.start, "true values B0,B1,B2,B3,B4,E in box order (default 10,0,0,0,0 and the "
                                       "distribution's extra parameter)");
    sim->add_option("--reps", o.reps, "repetitions (default 1)")->check(CLI::Range(1L, 32767L));
    sim->add_option("--seed", o.seed, "seed for a repeatable series (default: the clock)");
    sim->add_option("--range", o.range, "likelihood profile range, per cent either side (default 50)");
    sim->add_option("--out", o.out, "folder for ward_predictions.txt and user.txt (default: here)");
    sim->add_flag("--json", o.json, "print one JSON object instead of the summary line");
    sim->add_option("--csv", o.csv, "write one row per repetition to this file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    try {
        return est->parsed() ? run_estimate(o) : run_simulate(o);
    } catch (const CLI::ValidationError& e) {
        std::cerr << e.what() << "\n";
        return 2;
    } catch (const UserError& e) {
        std::cerr << e.what() << (e.detail().empty() ? "" : "\n" + e.detail()) << "\n";
        return 1;
    }
}
