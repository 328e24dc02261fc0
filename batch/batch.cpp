// valdmora-batch: one estimating click, a series of simulate-and-estimate clicks, or a
// table of models, from the command line, through the same engine as the window.
//
// Exit status: 0 done; 1 a data or fit problem, an output not written whole, or a named
// ward not found; 2 a usage error; 130 / 143 stopped by SIGINT / SIGTERM (on Windows:
// Ctrl-C / Ctrl-Break or the console closed; a simulation after writing the rows it had
// finished).
#include "batch.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "cycle/atomic_file.h"
#include "cycle/count_file.h"
#include "cycle/mode_rules.h"
#include "cycle/csv.h"
#include "cycle/number_format.h"
#include "cycle/output_paths.h"
#include "cycle/platform_file.h"
#include "cycle/text.h"
#include "estimation/click.h"
#include "estimation/model_binding.h"
#include "estimation/dispersion_checks.h"
#include "estimation/model_average.h"
#include "estimation/model_table.h"
#include "estimation/report.h"
#include "estimation/residuals.h"
#include "estimation/simulation.h"
#include "stop_request.h"

namespace valdmora {

using json = nlohmann::ordered_json;

namespace {

// the library to fit with in place of the one bound from its file (the fuzz target's)
const ModelLibrary* g_library = nullptr;

// the engine's Cancel, seen by the bootstrap, the table of models and every long loop;
// set by a stop request (stop_request.h)
std::atomic<bool> g_cancel{false};

// How often a simulation's rows are put in its --csv file while it runs.
constexpr std::chrono::seconds kCheckpointEvery{2};

// A usage error: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string file;
    std::string dist = "lognormal";
    std::string free = "0";
    std::string start;  // estimate: start values; simulate: true values
    std::string range = "50";
    std::string ward;
    std::string out = ".";
    bool json = false;
    std::string surveys;
    std::string reps = "1";
    std::string seed;
    std::string csv;
    std::string bootstrap = "0";
    std::string residuals;
    std::string generator = "exact";
    bool checks = false;
};

// Numbers on the command line are written with '.', whatever the locale.
double option_number(const std::string& text, const char* option) {
    const auto v = parse_data_number(text, false);
    if (!v) throw UsageError(std::string(option) + ": \"" + printable(text) + "\" is not a number.");
    return *v;
}

long option_whole(const std::string& text, const char* option, long lo, long hi) {
    long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
        throw UsageError(std::string(option) + ": \"" + printable(text) + "\" must be a whole number from " +
                         std::to_string(lo) + " to " + std::to_string(hi) + ".");
    return v;
}

// A number of surveys, rounded as the window rounds it (a half to the even neighbour).
long option_surveys(const std::string& text) {
    const double v = std::nearbyint(option_number(text, "--surveys"));
    if (!(v >= 1.0 && v <= static_cast<double>(kMaxSimulatedSurveys)))
        throw UsageError("--surveys: \"" + printable(text) + "\" must be a number of surveys from 1 to " +
                         std::to_string(kMaxSimulatedSurveys) + ".");
    return static_cast<long>(v);
}

uint64_t option_seed(const std::string& text) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw UsageError("--seed: \"" + printable(text) + "\" must be a whole number from 0 to 18446744073709551615.");
    return v;
}

int option_index(const std::string& dist) { return dist == "normal" ? 1 : dist == "negbin" ? 2 : 0; }

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) out.push_back(item);
    return out;
}

// The locale's separators, as the window uses them; the digits never depend on it.
NumberFormat locale_format() {
    const std::lconv* lc = std::localeconv();
    NumberFormat f;
    if (lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1]) f.decimal = lc->decimal_point[0];
    if (lc && lc->thousands_sep && lc->thousands_sep[0] && !lc->thousands_sep[1]) f.group = lc->thousands_sep[0];
    if (f.group == f.decimal) f.group = f.decimal == ',' ? '.' : ',';
    return f;
}


json finite_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

// The window's state and boxes after reading the file (if any) and choosing a distribution.
struct Session {
    Session() { form_load(state); }
    EstimationState state;
    std::array<std::string, 6> boxes{"10", "0", "0", "0", "0", "0.25"};
    std::array<bool, 5> checked{true, false, false, false, false};
    std::vector<std::string> predictors;
    NumberFormat fmt = locale_format();
    std::vector<Notice> notices;
};

void read_file(Session& s, const std::string& path) {
    const CountData d = read_count_file(path);
    store_count_data(s.state, d);
    s.predictors = d.predictor_names;
    s.notices.insert(s.notices.end(), d.notices.begin(), d.notices.end());
}

// The names the window shows beside the boxes.
std::array<std::string, 6> box_names(const EstimationState& s, const std::vector<std::string>& predictors) {
    std::array<std::string, 6> names{"constant", "", "", "", "", s.extra_param_name(s.err_dist - 1)};
    for (int j = 1; j <= 4; ++j)
        names[static_cast<std::size_t>(j)] =
            j <= static_cast<int>(predictors.size()) ? predictors[static_cast<std::size_t>(j - 1)] : std::to_string(j) + "predictor";
    return names;
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
            throw UsageError("--free: \"" + printable(item) + "\" is neither a box number 0.." +
                             std::to_string(s.state.n_pred) + " nor a predictor of the data.");
        s.checked[static_cast<std::size_t>(box)] = true;
    }
}

void set_boxes(Session& s, const std::string& list, const char* option) {
    const auto items = split_list(list);
    if (items.size() != 6) throw UsageError(std::string(option) + " needs six values: B0,B1,B2,B3,B4,E");
    for (std::size_t i = 0; i < 6; ++i) s.boxes[i] = general_number(option_number(items[i], option), s.fmt);
}

ClickInput click_input(const Session& s, const Options& o, const std::string& data_path) {
    ClickInput in;
    in.beta_text = s.boxes;
    const auto names = box_names(s.state, s.predictors);
    in.beta_label[0] = "the constant";
    for (std::size_t j = 1; j <= 4; ++j) in.beta_label[j] = "the coefficient of " + names[j];
    in.beta_label[5] = "the extra parameter " + names[5];
    in.beta_checked = s.checked;
    in.data_path = data_path;
    in.ward = o.ward;
    const double range = option_number(o.range, "--range");
    if (!(range > 0.0))
        throw UsageError("--range: \"" + printable(o.range) + "\" must be a percentage above 0, such as 50.");
    in.range_text = general_number(range, s.fmt);
    if (!o.surveys.empty())
        in.n_surveys_text = std::to_string(option_surveys(o.surveys));
    in.fmt = s.fmt;
    return in;
}

json notices_json(const std::vector<Notice>& notices) {
    json a = json::array();
    for (const Notice& n : notices) a.push_back(n.detail.empty() ? n.text : n.text + " " + n.detail);
    return a;
}

// A line for the terminal: control bytes escaped, nothing cut.
std::string shown(const std::string& text) { return printable(text, std::string::npos); }

std::string shown_lines(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out += shown(text.substr(start, end - start)) + "\n";
    return out + shown(text.substr(start));
}

void print_notices(const std::vector<Notice>& notices) {
    // names from files and command lines never reach the terminal raw
    for (const Notice& n : notices)
        std::cerr << shown_lines(n.text) << (n.detail.empty() ? "" : " " + shown_lines(n.detail)) << "\n";
}

json result_json(const Session& s, const ClickResult& r) {
    json j;
    j["fail_code"] = r.fail_code;
    j["fit_ok"] = r.fit_ok;
    const auto names = box_names(r.state, s.predictors);
    const int np = r.state.n_pred;
    json estimates = json::array();
    for (int box : {0, 1, 2, 3, 4, 5}) {
        if (box != 5 && box > np) continue;
        const int position = box == 5 ? np + 2 : box + 1;
        bool free = false;
        for (int32_t k : r.free_pos) free = free || k == position;
        const auto u = static_cast<std::size_t>(position - 1);
        const double var = r.cov[u][u];
        estimates.push_back({{"box", box},
                             {"name", names[static_cast<std::size_t>(box)]},
                             {"value", finite_or_null(r.par_value[u])},
                             {"free", free},
                             {"se", free && r.covariance_ok && var >= 0.0 ? finite_or_null(std::sqrt(var)) : json(nullptr)}});
    }
    j["estimates"] = estimates;
    // the covariance of the free parameters, in the order of "free_parameters"
    json free_names = json::array(), matrix = json::array();
    auto box_of = [np](int32_t k) { return k <= np + 1 ? k - 1 : 5; };
    for (int32_t a : r.free_pos) {
        free_names.push_back(names[static_cast<std::size_t>(box_of(a))]);
        json row = json::array();
        for (int32_t b : r.free_pos)
            row.push_back(r.covariance_ok ? finite_or_null(r.cov[static_cast<std::size_t>(a - 1)][static_cast<std::size_t>(b - 1)])
                                          : json(nullptr));
        matrix.push_back(row);
    }
    j["free_parameters"] = free_names;
    j["covariance"] = matrix;
    json on_bound = json::array();
    for (int32_t k : r.on_bound) on_bound.push_back(names[static_cast<std::size_t>(box_of(k))]);
    j["on_bound"] = on_bound;
    j["max_ll"] = finite_or_null(r.max_ll);
    j["pop_est"] = finite_or_null(r.pop_est);
    j["limits_ok"] = r.limits_ok;
    j["pop_lower"] = r.limits_ok ? finite_or_null(r.pop_lower) : json(nullptr);
    j["pop_upper"] = r.limits_ok ? finite_or_null(r.pop_upper) : json(nullptr);
    j["profile_total"] = finite_or_null(r.profile_total_hat);
    j["profile_lower"] = r.profile_limits.available ? finite_or_null(r.profile_limits.lower) : json(nullptr);
    j["profile_upper"] = r.profile_limits.available ? finite_or_null(r.profile_limits.upper) : json(nullptr);
    if (r.bootstrap) {
        j["boot_lower"] = r.bootstrap->available ? finite_or_null(r.bootstrap->lower) : json(nullptr);
        j["boot_upper"] = r.bootstrap->available ? finite_or_null(r.bootstrap->upper) : json(nullptr);
        j["boot_reps"] = r.bootstrap->reps;
        j["boot_failed"] = r.bootstrap->failed;
    }
    // every interval with what it covers: the dogs present (prediction) or their expected
    // number (confidence)
    auto limits = [](const char* kind, const char* target, bool available, double lower, double upper,
                     const std::string& reason) {
        json l{{"kind", kind}, {"target", target}, {"available", available}};
        l["lower"] = available ? finite_or_null(lower) : json(nullptr);
        l["upper"] = available ? finite_or_null(upper) : json(nullptr);
        if (!available) l["reason"] = reason;
        return l;
    };
    const char* dogs = "prediction interval of the dogs in the unsurveyed wards";
    const char* expected = "confidence interval of the expected number of dogs in the unsurveyed wards";
    json intervals = json::array();
    intervals.push_back(limits("wald", dogs, r.limits_ok, r.pop_lower, r.pop_upper,
                               r.no_unsurveyed_ward ? "there is no unsurveyed ward" : "see the notices"));
    intervals.push_back(limits("delta", expected, r.delta.available, r.delta.lower, r.delta.upper, r.delta.reason));
    intervals.push_back(limits("profile", expected, r.profile_limits.available, r.profile_limits.lower,
                               r.profile_limits.upper, r.profile_limits.reason));
    if (r.bootstrap) {
        json b = limits("bootstrap", dogs, r.bootstrap->available, r.bootstrap->lower, r.bootstrap->upper,
                        r.bootstrap->problem);
        b["monte_carlo_error"] = r.bootstrap->available ? json{finite_or_null(r.bootstrap->lower_error),
                                                               finite_or_null(r.bootstrap->upper_error)}
                                                         : json(nullptr);
        intervals.push_back(b);
    }
    j["limits"] = intervals;
    j["delta_lower"] = r.delta.available ? finite_or_null(r.delta.lower) : json(nullptr);
    j["delta_upper"] = r.delta.available ? finite_or_null(r.delta.upper) : json(nullptr);
    j["counted_total"] = r.counted_total;
    j["df"] = r.df;
    j["label7"] = r.label7;
    j["label8"] = r.label8;
    j["intervals"] = r.interval_text;
    json profile = json::array();
    for (const ProfilePoint& p : r.profile) profile.push_back({p.total, finite_or_null(p.log_likelihood)});
    j["profile"] = profile;
    j["evaluations"] = {{"fit", r.evaluations.fit},
                        {"covariance", r.evaluations.covariance},
                        {"profile", r.evaluations.profile},
                        {"profile_limits", r.evaluations.profile_limits}};
    return j;
}

std::string dump(const json& j) { return j.dump(2, ' ', false, json::error_handler_t::replace); }

// The notices of a click as the batch reports them: the window's, plus what only the
// batch has to say.
std::vector<Notice> click_notices(const ClickResult& r) {
    std::vector<Notice> n = r.notices;
    if (!r.profile_limits.available && !r.no_unsurveyed_ward)
        n.push_back({"Profile", "The profile-likelihood limits are not available: " + r.profile_limits.reason + ".", "",
                     false});
    if (r.bootstrap && !r.bootstrap->available)
        n.push_back({"Bootstrap", "The bootstrap limits are not available: " + r.bootstrap->problem + ".", "", false});
    return n;
}

// No output may replace the data file or another output of the run; refused before any
// work, compared by the file each path reaches.
void refuse_clashes(const std::string& data_file, const std::vector<NamedPath>& outputs) {
    std::vector<NamedPath> inputs;
    if (!data_file.empty()) inputs.push_back({"the data file", data_file});
    const std::string clash = output_clash(inputs, outputs);
    if (!clash.empty()) throw UsageError(clash);
}

std::vector<NamedPath> click_outputs(const std::string& dir) {
    namespace fs = std::filesystem;
    const fs::path folder = platform::path_from_utf8(dir);
    return {{"the output " + std::string(kPredictionsFile), platform::path_to_utf8(folder / kPredictionsFile)},
            {"the output " + std::string(kUserFile), platform::path_to_utf8(folder / kUserFile)}};
}

// The output folder must exist and take files; said before any work is done.
void check_output_folder(const std::string& dir) {
    std::error_code ec;
    const std::string shown = printable(dir, 200);
    const std::filesystem::path folder = platform::path_from_utf8(dir);
    if (!std::filesystem::exists(folder, ec)) throw UserError("The output folder " + shown + " does not exist.");
    if (!std::filesystem::is_directory(folder, ec)) throw UserError("The output path " + shown + " is not a folder.");
    const std::string problem = platform::folder_write_problem(folder);
    if (!problem.empty()) throw UserError("The output folder " + shown + " cannot be written: " + problem + ".");
}

// Writes the click's files whole into dir; the messages of those that could not be.
std::vector<std::string> write_outputs(const ClickResult& r, const std::string& dir) {
    std::vector<std::string> problems;
    for (const OutputFile& f : r.files) {
        const std::string path = platform::path_to_utf8(platform::path_from_utf8(dir) / f.name);
        const std::string e = write_file_atomically(path, f.content);
        if (!e.empty()) problems.push_back(not_written_message(path, e));
    }
    return problems;
}

ClickServices services() {
    ClickServices sv;
    sv.library = g_library ? *g_library : bind_model_library();
    sv.progress = Progress(nullptr, &g_cancel);
    return sv;
}

int run_estimate(const Options& o) {
    check_output_folder(o.out);
    std::vector<NamedPath> outputs = click_outputs(o.out);
    outputs.push_back({"--residuals", o.residuals});
    refuse_clashes(o.file, outputs);
    Session s;
    read_file(s, o.file);
    choose_distribution(s.state, option_index(o.dist), s.boxes, s.fmt);
    if (!o.start.empty()) set_boxes(s, o.start, "--start");
    set_free(s, o.free);
    ClickInput in = click_input(s, o, o.file);
    in.bootstrap_reps = static_cast<int>(option_whole(o.bootstrap, "--bootstrap", 0, 1000000));
    in.bootstrap_seed = o.seed.empty() ? 1 : option_seed(o.seed);
    const ClickServices sv = services();
    const ClickResult r = run_estimating_click(in, s.state, sv);

    std::vector<Notice> notices = s.notices;
    const std::vector<Notice> own = click_notices(r);
    notices.insert(notices.end(), own.begin(), own.end());
    int status = 0;
    for (const std::string& p : write_outputs(r, o.out)) {
        notices.push_back({"Output file", p, "", true});
        status = 1;
    }
    if (r.ward_missing) status = 1;
    if (!r.fit_ok) status = 1;
    const Residuals res = model_residuals(r.state, r.par_value, static_cast<long>(r.free_pos.size()),
                                          o.seed.empty() ? 1 : option_seed(o.seed));
    if (!o.residuals.empty()) {
        const std::string e = write_file_atomically(o.residuals, residuals_csv(res));
        if (!e.empty()) {
            notices.push_back({"Output file", not_written_message(o.residuals, e), "", true});
            status = 1;
        }
    }
    // the dispersion checks cost a few hundred simulated data sets: for the JSON, or when asked
    std::optional<DispersionChecks> checks;
    if (o.json || o.checks)
        checks = dispersion_checks(r.state, r.par_value, r.lower_bound, r.upper_bound, r.free_pos, sv.library,
                                   o.seed.empty() ? 1 : option_seed(o.seed));
    if (o.json) {
        json j = result_json(s, r);
        j["dispersion"] = finite_or_null(res.dispersion);
        const PoissonLimitTest& pt = checks->poisson;
        j["poisson_limit_test"] = pt.available ? json{{"statistic", pt.statistic},
                                                      {"p_value", pt.p_value},
                                                      {"negbin_log_lik", pt.negbin_log_lik},
                                                      {"poisson_log_lik", pt.poisson_log_lik},
                                                      {"sentence", pt.sentence}}
                                               : json{{"available", false}, {"reason", pt.reason}};
        const SimulatedDispersion& sd = checks->simulated;
        j["simulated_dispersion"] = sd.available ? json{{"observed", sd.observed},
                                                        {"data_sets", sd.sets},
                                                        {"share_at_or_above", sd.share_above},
                                                        {"p_value", sd.p_value},
                                                        {"sentence", sd.sentence}}
                                                 : json{{"available", false}, {"reason", sd.reason}};
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::cout << shown(r.label7) << "\n" << shown(r.label8) << "\n" << shown_lines(r.interval_text) << "\n";
        if (checks) {
            if (checks->poisson.available) std::cout << checks->poisson.sentence << "\n";
            std::cout << (checks->simulated.available ? checks->simulated.sentence
                                                      : "simulated dispersion check not available: " +
                                                            checks->simulated.reason)
                      << "\n";
        }
        if (!r.fit_ok) std::cout << "the fit failed (failure code " << r.fail_code << "): see the message above\n";
    }
    print_notices(notices);
    return status;
}

int run_compare(const Options& o) {
    if (o.json && !o.csv.empty()) throw UsageError("compare writes either --json or --csv, not both.");
    refuse_clashes(o.file, {{"--csv", o.csv}});
    Session s;
    read_file(s, o.file);
    ClickServices sv = services();
    const ModelTable t = compare_models(s.state, s.predictors, sv, s.fmt);
    static const char* kDist[4] = {"", "lognormal", "normal", "negbin"};
    std::vector<Notice> notices = s.notices;
    for (const ModelRow& m : t.rows)
        if (!m.reason.empty())
            notices.push_back({"Model", std::string(kDist[m.dist]) + " " +
                                            (m.predictor_names.empty() ? "(constant only)" : m.predictor_names) + ": " +
                                            m.reason + ".",
                               "", false});
    int status = 0;
    if (!o.csv.empty()) {
        const std::string e = write_file_atomically(o.csv, model_table_csv(t));
        if (!e.empty()) {
            notices.push_back({"Output file", not_written_message(o.csv, e), "", true});
            status = 1;
        }
    }
    if (o.json) {
        json models = json::array();
        for (const ModelRow& m : t.rows) {
            const bool limits = m.available && m.limits_ok;
            json row = {{"dist", kDist[m.dist]},
                        {"predictors", m.predictor_names},
                        {"k", m.k},
                        {"n", m.n},
                        {"available", m.available},
                        {"fail_code", m.available ? json(m.fail_code) : json(nullptr)},
                        {"log_lik", m.available ? finite_or_null(m.log_lik) : json(nullptr)},
                        {"aic", m.available ? finite_or_null(m.aic) : json(nullptr)},
                        {"aicc", m.available ? finite_or_null(m.aicc) : json(nullptr)},
                        {"delta_aicc", finite_or_null(m.delta_aicc)},
                        {"weight", finite_or_null(m.weight)},
                        {"pop_est", m.available ? finite_or_null(m.pop_est) : json(nullptr)},
                        {"pop_lower", limits ? finite_or_null(m.pop_lower) : json(nullptr)},
                        {"pop_upper", limits ? finite_or_null(m.pop_upper) : json(nullptr)}};
            if (!limits)
                row["limits_reason"] = !m.available             ? "the model was not fitted"
                                       : !m.aliased_with.empty() ? "aliased with " + m.aliased_with
                                                                 : "the covariance of the estimates is not available";
            if (!m.aliased_with.empty()) row["aliased_with"] = m.aliased_with;
            if (!m.reason.empty()) row["reason"] = m.reason;
            models.push_back(row);
        }
        json j = {{"models", models}, {"note", t.note}, {"notices", notices_json(notices)}};
        const ModelAverage a = model_average(t);
        j["model_average"] = a.available ? json{{"total", a.total},
                                                {"se", a.se},
                                                {"lower", a.lower},
                                                {"upper", a.upper},
                                                {"models", a.models},
                                                {"weights", "AICc"},
                                                {"sentence", a.sentence}}
                                         : json{{"available", false}, {"reason", a.reason}};
        std::cout << dump(j) << "\n";
    } else if (o.csv.empty()) {
        std::printf("%-10s %-34s %2s %6s %12s %10s %8s %7s %10s\n", "dist", "predictors", "k", "n", "log_lik", "AICc",
                    "dAICc", "weight", "estimate");
        for (const ModelRow& m : t.rows) {
            const std::string name = m.predictor_names.empty() ? "(constant only)" : shown(m.predictor_names);
            if (!m.available) {
                std::printf("%-10s %-34s %2d %6ld   unavailable\n", kDist[m.dist], name.c_str(), m.k, m.n);
                continue;
            }
            std::printf("%-10s %-34s %2d %6ld %12s %10s %8s %7s %10s\n", kDist[m.dist], name.c_str(), m.k, m.n,
                        format_number(m.log_lik, "####.###", s.fmt).c_str(),
                        format_number(m.aicc, "####.###", s.fmt).c_str(), format_number(m.delta_aicc, "0.00", s.fmt).c_str(),
                        m.aliased_with.empty() ? format_number(m.weight, "0.000", s.fmt).c_str() : "aliased", format_number(m.pop_est, "##,###", s.fmt).c_str());
        }
        std::cout << t.note << "\n";
        const ModelAverage a = model_average(t);
        std::cout << "model-averaged total: " << (a.available ? a.sentence : "not available: " + a.reason) << "\n";
    }
    print_notices(notices);
    return status;
}

int run_simulate(const Options& o) {
    if (!o.file.empty() && !o.surveys.empty())
        throw UsageError("--surveys cannot be used with --file: the file's wards decide how many are surveyed.");
    const long reps = option_whole(o.reps, "--reps", 1, 32767);
    const int boot = static_cast<int>(option_whole(o.bootstrap, "--bootstrap", 0, 1000000));
    const bool seeded = !o.seed.empty();
    const uint64_t seed = seeded ? option_seed(o.seed) : clock_seed();
    if (!o.surveys.empty()) {
        const long surveys = option_surveys(o.surveys);
        const std::string problem = surveys_memory_problem(surveys);
        if (!problem.empty()) throw UsageError("--surveys " + printable(o.surveys) + ": " + problem);
    }
    check_output_folder(o.out);
    std::vector<NamedPath> outputs = click_outputs(o.out);
    outputs.push_back({"--csv", o.csv});
    refuse_clashes(o.file, outputs);
    Session s;
    if (!o.file.empty()) read_file(s, o.file);
    choose_distribution(s.state, option_index(o.dist), s.boxes, s.fmt);
    if (!o.start.empty()) set_boxes(s, o.start, "--true");
    empty_data_path(s.state, s.boxes, s.fmt);  // the window's data path emptied
    set_free(s, o.free);
    if (!o.surveys.empty()) {
        // the fit needs one surveyed ward more than its free parameters, the extra one included
        const long free = 1 + static_cast<long>(std::count(s.checked.begin(), s.checked.end(), true));
        if (option_surveys(o.surveys) <= free)
            throw UsageError("--surveys " + printable(o.surveys) + ": the fit of " + std::to_string(free) +
                             " free parameters needs at least " + std::to_string(free + 1) + " surveyed wards.");
    }
    ClickInput in = click_input(s, o, "");
    in.bootstrap_reps = boot;
    in.generator = o.generator == "classic" ? Generator::classic : Generator::exact;
    // check the number of surveys before anything is drawn or written
    if (o.file.empty()) (void)surveys_from_text(in.n_surveys_text, s.fmt);

    ClickServices sv = services();
    MersenneUniform random(seed);
    sv.random = &random;
    sv.reseed_from_clock = !seeded;

    // The rows are kept here and the file replaced whole with them every few seconds and
    // at the end: a run killed outright still leaves the rows of its last checkpoint.
    std::string table;
    long rows = 0, rows_in_file = 0;  // rows finished; rows the file holds now
    bool file_written = false;
    std::string csv_problem;
    auto checkpoint = [&] {
        csv_problem = write_file_atomically(o.csv, table);
        if (csv_problem.empty()) {
            rows_in_file = rows;
            file_written = true;
        }
    };
    if (!o.csv.empty()) {
        AtomicFile probe;  // said before any work: a path that cannot take the file
        const std::string e = probe.open(o.csv);
        if (!e.empty()) throw UserError("The file " + printable(o.csv, 200) + " cannot be written: " + e + ".");
        table = "rep,true_total,estimate,lower,upper,outside,fail_code,true_lp_total,profile_lower,profile_upper,"
                "profile_outside";
        if (boot > 0) table += ",boot_lower,boot_upper,boot_outside,boot_failed";
        table += ",expected_total,delta_lower,delta_upper,delta_outside\n";
    }
    auto last_checkpoint = std::chrono::steady_clock::now();

    const bool bar = stderr_is_terminal();
    std::optional<ClickResult> last;
    std::vector<Notice> notices = s.notices;
    long done = 0;
    for (long rep = 1; rep <= reps && !stop_requested(); ++rep) {
        in.beta_text = s.boxes;
        in.bootstrap_seed = seed + static_cast<uint64_t>(rep);
        std::optional<ClickResult> run;
        try {
            run = run_estimating_click(in, s.state, sv);
        } catch (const Cancelled&) {
            break;  // the repetition in hand is dropped whole
        }
        ClickResult& r = *run;
        for (const Notice& n : click_notices(r))
            if (n.modal) notices.push_back(n);
        if (!o.csv.empty()) {
            CsvRow row;
            row.whole(rep).number(r.state.sim_total);
            const char* const side[2] = {"inside", "outside"};
            if (r.no_unsurveyed_ward) {
                row.empty().empty().empty().text("left_out").whole(r.fail_code).empty().empty().empty().empty();
            } else {
                row.number(r.pop_est);
                if (r.limits_ok)
                    row.number(r.pop_lower).number(r.pop_upper).text(
                        side[outside_limits(r.pop_lower, r.pop_upper, r.state.sim_total) ? 1 : 0]);
                else
                    row.empty().empty().text("outside");
                row.whole(r.fail_code).number(r.state.sim_true_total_lp);
                // confidence limits are scored against the expected total the generator drew about
                const ProfileLimits& pl = r.profile_limits;
                const double expected = r.state.sim_expected_total;
                if (pl.available)
                    row.number(pl.lower).number(pl.upper).text(side[covers(pl.lower, pl.upper, expected) ? 0 : 1]);
                else
                    row.empty().empty().text("outside");
            }
            if (boot > 0) {
                if (r.bootstrap && r.bootstrap->available && !r.no_unsurveyed_ward)
                    row.number(r.bootstrap->lower).number(r.bootstrap->upper).text(
                        side[outside_limits(r.bootstrap->lower, r.bootstrap->upper, r.state.sim_total) ? 1 : 0]);
                else
                    row.empty().empty().text("outside");
                row.whole(r.bootstrap ? r.bootstrap->failed : 0);
            }
            if (r.no_unsurveyed_ward) {
                row.empty().empty().empty().empty();
            } else {
                const double expected = r.state.sim_expected_total;
                row.number(expected);
                if (r.delta.available)
                    row.number(r.delta.lower).number(r.delta.upper).text(
                        side[covers(r.delta.lower, r.delta.upper, expected) ? 0 : 1]);
                else
                    row.empty().empty().text("outside");
            }
            table += row.line();
            ++rows;
            if (std::chrono::steady_clock::now() - last_checkpoint > kCheckpointEvery) {
                checkpoint();
                last_checkpoint = std::chrono::steady_clock::now();
            }
        }
        s.state = r.state;
        s.boxes = r.beta_text;
        done = rep;
        if (bar && (rep % 10 == 0 || rep == reps)) {
            const int width = 40, filled = static_cast<int>(width * rep / reps);
            std::fprintf(stderr, "\r[%s%s] %ld/%ld", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                         std::string(static_cast<std::size_t>(width - filled), ' ').c_str(), rep, reps);
            if (rep == reps) std::fputc('\n', stderr);
        }
        last = std::move(r);
    }
    if (bar && stop_requested()) std::fputc('\n', stderr);
    int status = 0;
    if (!o.csv.empty()) {
        checkpoint();
        if (!csv_problem.empty()) {
            notices.push_back({"Output file", not_written_message(o.csv, csv_problem), "", true});
            status = 1;
        }
    }
    if (last)
        for (const std::string& p : write_outputs(*last, o.out)) {
            notices.push_back({"Output file", p, "", true});
            status = 1;
        }
    const EstimationState& st = s.state;
    std::string summary = last ? last->lbl_tot_sim_dog.value_or("") : "";
    const std::string scores = interval_scores(s.state);
    if (!scores.empty()) summary += "\n" + scores;
    auto share = [](int16_t outside, int16_t scored) {
        return scored > 0 ? json(1.0 - static_cast<double>(outside) / scored) : json(nullptr);
    };
    if (o.json) {
        json j = last ? result_json(s, *last) : json::object();
        j["n_sims"] = st.n_sims;
        j["n_outside_cl"] = st.n_outside_cl;
        j["left_out"] = st.n_sims_left_out;
        j["sim_total_mean"] = st.n_sims > 0 ? json(st.sim_total_sum / st.n_sims) : json(nullptr);
        j["est_total_mean"] = st.n_sims > 0 ? json(st.est_total_sum / st.n_sims) : json(nullptr);
        j["coverage"] = share(st.n_outside_cl, st.n_sims);
        j["coverage_profile"] = share(st.n_outside_profile, st.n_profile_scored);
        j["coverage_delta"] = share(st.n_outside_delta, st.n_delta_scored);
        j["generator"] = o.generator;
        // the two targets: the dogs drawn (prediction limits), their expected number (confidence limits)
        j["targets"] = {{"wald", "dogs drawn"}, {"bootstrap", "dogs drawn"}, {"delta", "expected number"},
                        {"profile", "expected number"}};
        j["coverage_bootstrap"] = share(st.n_outside_boot, st.n_boot_scored);
        j["summary"] = summary;
        j["repetitions"] = done;
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::cout << shown_lines(summary) << "\n";
    }
    print_notices(notices);
    // what the file holds, not what was computed: a file not written keeps its old rows
    std::string held;
    if (!o.csv.empty())
        held = !file_written ? "; " + printable(o.csv, 200) + " was not written"
                             : "; " + printable(o.csv, 200) + " holds " + std::to_string(rows_in_file) + " rows" +
                                   (csv_problem.empty() ? "" : ", those of its last checkpoint");
    std::cerr << done << " of " << reps << " repetitions done" << held << "\n";
    if (stop_requested()) {
        std::cerr << "stopped by " << stop_request_name() << "\n";
        stop_request_handled();
        return stop_request_exit_status();
    }
    return status;
}

}  // namespace

int batch_main(int argc, char** argv, const ModelLibrary* library) {
    g_library = library;
    g_cancel.store(false);
    std::setlocale(LC_ALL, "");
    plain_line_ends();
    // on Windows the arguments as UTF-8, whatever the ANSI code page can hold
    const std::vector<std::string> args = utf8_arguments(argc, argv);
    std::vector<char*> arg_pointers;
    for (const std::string& a : args) arg_pointers.push_back(const_cast<char*>(a.c_str()));
    argc = static_cast<int>(args.size());
    argv = arg_pointers.data();
    CLI::App app{"valdmora-batch: estimate roaming dogs from a count data file, run a simulation study, or compare "
                 "models, with the same engine as the valdmora window."};
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
    est->add_option("--bootstrap", o.bootstrap, "bootstrap prediction limits from this many replicates (default 0: none)");
    est->add_option("--seed", o.seed, "seed of the bootstrap, 0..18446744073709551615 (default 1)");
    est->add_option("--residuals", o.residuals, "write each surveyed ward's residuals to this CSV file");
    est->add_flag("--json", o.json, "print one JSON object instead of the result lines");
    est->add_flag("--checks", o.checks,
                  "also print the overdispersion checks: the negative binomial against its Poisson limit, and the "
                  "counts' dispersion against data simulated from the fitted model (always in --json)");

    auto* sim = app.add_subcommand("simulate", "A series of simulate-and-estimate clicks that scores the limits.\n"
                                               "Example: valdmora-batch simulate --reps 1000 --seed 7 --json");
    sim->add_option("--file", o.file, "keep this file's wards and predictors; simulate only the counts");
    sim->add_option("--surveys", o.surveys, "surveyed wards to simulate without a file: one more than the free parameters "
                                                "(the extra parameter counts; 3 with the default --free 0), up to "
                                                "100000000 (default 20)");
    sim->add_option("--dist", o.dist, dists)->check(CLI::IsMember({"lognormal", "normal", "negbin"}));
    sim->add_option("--free", o.free, "free parameters, as for estimate (default 0)");
    sim->add_option("--true", o.start, "true values B0,B1,B2,B3,B4,E in box order (default 10,0,0,0,0 and the "
                                       "distribution's extra parameter)");
    sim->add_option("--reps", o.reps, "repetitions, 1..32767 (default 1)");
    sim->add_option("--seed", o.seed, "seed for a repeatable series, 0..18446744073709551615 (default: the clock)");
    sim->add_option("--range", o.range, "likelihood profile range, per cent either side (default 50)");
    sim->add_option("--bootstrap", o.bootstrap, "also score bootstrap limits of this many replicates (default 0)");
    sim->add_option("--out", o.out, "folder for the last repetition's ward_predictions.txt and user.txt (default: here)");
    sim->add_flag("--json", o.json, "print one JSON object instead of the summary");
    sim->add_option("--csv", o.csv, "write one row per repetition to this file (replaced whole with the rows so far "
                                    "every two seconds and at the end)");
    sim->add_option("--generator", o.generator,
                    "exact: counts drawn from the fitted model itself (default); classic: the bench's original "
                    "draws (sums of ten uniforms, trials to the ceil(m/e)-th success), as older seeded series")
        ->check(CLI::IsMember({"exact", "classic"}));
    auto* cmp = app.add_subcommand("compare", "A table of models: every subset of the predictors under each "
                                              "distribution, ranked by AICc.\n"
                                              "Example: valdmora-batch compare counts.txt --json");
    cmp->add_option("FILE", o.file, "the count data file")->required();
    cmp->add_flag("--json", o.json, "print one JSON object instead of the table");
    cmp->add_option("--csv", o.csv, "write the table to this CSV file");
    app.footer("Run valdmora-batch SUBCOMMAND --help to see a subcommand's options.");
    // an empty value is a slip in a script, never a request for the default
    const CLI::Validator not_empty(
        [](std::string& value) { return value.empty() ? std::string("the value must not be empty") : std::string(); },
        "", "NOT_EMPTY");
    for (CLI::App* sub : {est, sim, cmp})
        for (CLI::Option* opt : sub->get_options())
            if (opt->get_type_size() != 0 && opt->get_name() != "--help") opt->check(not_empty);

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
    // a simulation keeps the rows it has finished; other work is simply abandoned
    watch_for_stop_requests(&g_cancel, sim->parsed());
    try {
        return est->parsed() ? run_estimate(o) : cmp->parsed() ? run_compare(o) : run_simulate(o);
    } catch (const Cancelled&) {
        return stop_request_exit_status();
    } catch (const UsageError& e) {
        std::cerr << shown_lines(e.what()) << "\n";
        return 2;
    } catch (const UserError& e) {
        std::cerr << shown_lines(e.what()) << (e.detail().empty() ? "" : "\n" + shown_lines(e.detail())) << "\n";
        return 1;
    } catch (const std::bad_alloc&) {
        std::cerr << "There is not enough memory for this data.\n";
        return 1;
    }
}

}  // namespace valdmora
