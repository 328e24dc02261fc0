// valdmora-batch: one estimating click, a series of simulate-and-estimate clicks, or a
// table of models, from the command line, through the same engine as the window.
//
// Exit status: 0 done; 1 a data or fit problem, an output not written whole, or a named
// ward not found; 2 a usage error; 130 / 143 a simulation stopped by SIGINT / SIGTERM
// (on Windows: Ctrl-C / Ctrl-Break or the console closed) after writing what it had
// finished.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "cycle/atomic_file.h"
#include "cycle/count_file.h"
#include "cycle/mode_rules.h"
#include "cycle/number_format.h"
#include "cycle/platform_file.h"
#include "cycle/text.h"
#include "estimation/click.h"
#include "estimation/model_binding.h"
#include "estimation/model_table.h"
#include "estimation/report.h"
#include "estimation/residuals.h"
#include "estimation/simulation.h"
#include "stop_request.h"

using namespace valdmora;
using json = nlohmann::ordered_json;

namespace {

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
};

// The residuals as a table: ward, count, fitted, pearson, quantile.
std::string residuals_csv(const Residuals& r) {
    std::string out = "ward,count,fitted,pearson,quantile\n";
    for (std::size_t i = 0; i < r.ward.size(); ++i) {
        std::string name = r.ward[i];
        if (name.find_first_of(",\"\n") != std::string::npos) {
            std::string quoted = "\"";
            for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            name = quoted + "\"";
        }
        out += name + "," + shortest_number(r.count[i]) + "," + shortest_number(r.fitted[i]) + "," +
               shortest_number(r.pearson[i]) + "," + shortest_number(r.quantile[i]) + "\n";
    }
    return out;
}

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

std::string number_text(double v) { return shortest_number(v); }
std::string number_text(float v) { return shortest_number(v); }

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
    in.range_text = general_number(option_number(o.range, "--range"), s.fmt);
    if (!o.surveys.empty()) in.n_surveys_text = general_number(option_number(o.surveys, "--surveys"), s.fmt);
    in.fmt = s.fmt;
    return in;
}

json notices_json(const std::vector<Notice>& notices) {
    json a = json::array();
    for (const Notice& n : notices) a.push_back(n.detail.empty() ? n.text : n.text + " " + n.detail);
    return a;
}

void print_notices(const std::vector<Notice>& notices) {
    for (const Notice& n : notices) std::cerr << n.text << (n.detail.empty() ? "" : " " + n.detail) << "\n";
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

// The output folder must exist and take files; said before any work is done.
void check_output_folder(const std::string& dir) {
    std::error_code ec;
    const std::filesystem::path folder = platform::path_from_utf8(dir);
    if (!std::filesystem::exists(folder, ec)) throw UserError("The output folder " + dir + " does not exist.");
    if (!std::filesystem::is_directory(folder, ec)) throw UserError("The output path " + dir + " is not a folder.");
    const std::string problem = platform::folder_write_problem(folder);
    if (!problem.empty()) throw UserError("The output folder " + dir + " cannot be written: " + problem + ".");
}

// Writes the click's files whole into dir; the messages of those that could not be.
std::vector<std::string> write_outputs(const ClickResult& r, const std::string& dir) {
    std::vector<std::string> problems;
    for (const OutputFile& f : r.files) {
        const std::string path = platform::path_to_utf8(platform::path_from_utf8(dir) / f.name);
        const std::string e = write_file_atomically(path, f.content);
        if (!e.empty()) problems.push_back("The file " + path + " could not be written: " + e + ".");
    }
    return problems;
}

ClickServices services(const Options& o) {
    ClickServices sv;
    sv.library = bind_model_library();
    (void)o;
    return sv;
}

int run_estimate(const Options& o) {
    check_output_folder(o.out);
    Session s;
    read_file(s, o.file);
    choose_distribution(s.state, option_index(o.dist), s.boxes, s.fmt);
    if (!o.start.empty()) set_boxes(s, o.start, "--start");
    set_free(s, o.free);
    ClickInput in = click_input(s, o, o.file);
    in.bootstrap_reps = static_cast<int>(option_whole(o.bootstrap, "--bootstrap", 0, 1000000));
    in.bootstrap_seed = o.seed.empty() ? 1 : option_seed(o.seed);
    const ClickServices sv = services(o);
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
            notices.push_back({"Output file", "The file " + o.residuals + " could not be written: " + e + ".", "", true});
            status = 1;
        }
    }
    if (o.json) {
        json j = result_json(s, r);
        j["dispersion"] = finite_or_null(res.dispersion);
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::cout << r.label7 << "\n" << r.label8 << "\n" << r.interval_text << "\n";
        if (!r.fit_ok) std::cout << "the fit failed (failure code " << r.fail_code << "): see the message above\n";
    }
    print_notices(notices);
    return status;
}

int run_compare(const Options& o) {
    if (o.json && !o.csv.empty()) throw UsageError("compare writes either --json or --csv, not both.");
    Session s;
    read_file(s, o.file);
    ClickServices sv = services(o);
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
        std::string csv = "dist,predictors,k,n,fail_code,log_lik,aic,aicc,delta_aicc,weight,pop_est,pop_lower,pop_upper\n";
        for (const ModelRow& m : t.rows) {
            csv += std::string(kDist[m.dist]) + "," + m.predictor_names + "," + std::to_string(m.k) + "," +
                   std::to_string(m.n) + ",";
            if (m.available)
                csv += std::to_string(m.fail_code) + "," + number_text(m.log_lik) + "," + number_text(m.aic) + "," +
                       number_text(m.aicc) + "," + number_text(m.delta_aicc) + "," + number_text(m.weight) + "," +
                       number_text(m.pop_est) + "," + number_text(m.pop_lower) + "," + number_text(m.pop_upper);
            else
                csv += ",,,,,,,,";
            csv += "\n";
        }
        const std::string e = write_file_atomically(o.csv, csv);
        if (!e.empty()) {
            notices.push_back({"Output file", "The file " + o.csv + " could not be written: " + e + ".", "", true});
            status = 1;
        }
    }
    if (o.json) {
        json models = json::array();
        for (const ModelRow& m : t.rows) {
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
                        {"pop_lower", finite_or_null(m.pop_lower)},
                        {"pop_upper", finite_or_null(m.pop_upper)}};
            if (!m.reason.empty()) row["reason"] = m.reason;
            models.push_back(row);
        }
        json j = {{"models", models}, {"note", t.note}, {"notices", notices_json(notices)}};
        std::cout << dump(j) << "\n";
    } else if (o.csv.empty()) {
        std::printf("%-10s %-34s %2s %6s %12s %10s %8s %7s %10s\n", "dist", "predictors", "k", "n", "log_lik", "AICc",
                    "dAICc", "weight", "estimate");
        for (const ModelRow& m : t.rows) {
            const std::string name = m.predictor_names.empty() ? "(constant only)" : m.predictor_names;
            if (!m.available) {
                std::printf("%-10s %-34s %2d %6ld   unavailable\n", kDist[m.dist], name.c_str(), m.k, m.n);
                continue;
            }
            std::printf("%-10s %-34s %2d %6ld %12s %10s %8s %7s %10s\n", kDist[m.dist], name.c_str(), m.k, m.n,
                        format_number(m.log_lik, "####.###", s.fmt).c_str(),
                        format_number(m.aicc, "####.###", s.fmt).c_str(), format_number(m.delta_aicc, "0.00", s.fmt).c_str(),
                        format_number(m.weight, "0.000", s.fmt).c_str(), format_number(m.pop_est, "##,###", s.fmt).c_str());
        }
        std::cout << t.note << "\n";
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
    check_output_folder(o.out);
    Session s;
    if (!o.file.empty()) read_file(s, o.file);
    choose_distribution(s.state, option_index(o.dist), s.boxes, s.fmt);
    if (!o.start.empty()) set_boxes(s, o.start, "--true");
    empty_data_path(s.state, s.boxes, s.fmt);  // the window's data path emptied
    set_free(s, o.free);
    ClickInput in = click_input(s, o, "");
    in.bootstrap_reps = boot;
    // check the number of surveys before anything is drawn or written
    if (o.file.empty()) (void)surveys_from_text(in.n_surveys_text, s.fmt);

    ClickServices sv = services(o);
    MersenneUniform random(seed);
    sv.random = &random;
    sv.reseed_from_clock = !seeded;

    AtomicFile csv;
    if (!o.csv.empty()) {
        const std::string e = csv.open(o.csv);
        if (!e.empty()) throw UserError("The file " + o.csv + " cannot be written: " + e + ".");
        std::string head = "rep,true_total,estimate,lower,upper,outside,fail_code,true_lp_total,profile_lower,"
                           "profile_upper,profile_outside";
        if (boot > 0) head += ",boot_lower,boot_upper,boot_outside,boot_failed";
        const std::string w = csv.write(head + "\n");
        if (!w.empty()) throw UserError("The file " + o.csv + " cannot be written: " + w + ".");
    }
    watch_for_stop_requests();

    const bool bar = stderr_is_terminal();
    std::optional<ClickResult> last;
    std::vector<Notice> notices = s.notices;
    long done = 0;
    std::string csv_problem;
    for (long rep = 1; rep <= reps && !stop_requested(); ++rep) {
        in.beta_text = s.boxes;
        in.bootstrap_seed = seed + static_cast<uint64_t>(rep);
        ClickResult r = run_estimating_click(in, s.state, sv);
        for (const Notice& n : click_notices(r))
            if (n.modal) notices.push_back(n);
        if (csv.is_open() && csv_problem.empty()) {
            std::string row = std::to_string(rep) + "," + number_text(r.state.sim_total) + ",";
            if (r.no_unsurveyed_ward) {
                row += ",,,left_out," + std::to_string(r.fail_code) + ",,,,";
            } else {
                row += number_text(r.pop_est) + ",";
                row += r.limits_ok ? number_text(r.pop_lower) + "," + number_text(r.pop_upper) + "," +
                                         (outside_limits(r.pop_lower, r.pop_upper, r.state.sim_total) ? "outside" : "inside")
                                   : ",,outside";
                row += "," + std::to_string(r.fail_code) + "," + number_text(r.state.sim_true_total_lp) + ",";
                const ProfileLimits& pl = r.profile_limits;
                row += pl.available ? number_text(pl.lower) + "," + number_text(pl.upper) + "," +
                                          (pl.lower < r.state.sim_true_total_lp && r.state.sim_true_total_lp < pl.upper
                                               ? "inside"
                                               : "outside")
                                    : ",,outside";
            }
            if (boot > 0) {
                if (r.bootstrap && r.bootstrap->available && !r.no_unsurveyed_ward)
                    row += "," + number_text(r.bootstrap->lower) + "," + number_text(r.bootstrap->upper) + "," +
                           (outside_limits(r.bootstrap->lower, r.bootstrap->upper, r.state.sim_total) ? "outside"
                                                                                                     : "inside") +
                           "," + std::to_string(r.bootstrap->failed);
                else
                    row += ",,,outside," + std::to_string(r.bootstrap ? r.bootstrap->failed : 0);
            }
            csv_problem = csv.write(row + "\n");
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
    if (csv.is_open() || !csv_problem.empty()) {
        if (csv_problem.empty()) csv_problem = csv.commit();
        if (!csv_problem.empty()) {
            notices.push_back({"Output file", "The file " + o.csv + " could not be written: " + csv_problem + ".", "", true});
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
        j["coverage_bootstrap"] = share(st.n_outside_boot, st.n_boot_scored);
        j["summary"] = summary;
        j["repetitions"] = done;
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::cout << summary << "\n";
    }
    print_notices(notices);
    std::cerr << done << " of " << reps << " repetitions done"
              << (o.csv.empty() ? "" : "; " + o.csv + " holds " + std::to_string(done) + " rows") << "\n";
    if (stop_requested()) {
        std::cerr << "stopped by " << stop_request_name() << "\n";
        stop_request_handled();
        return stop_request_exit_status();
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
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

    auto* sim = app.add_subcommand("simulate", "A series of simulate-and-estimate clicks that scores the limits.\n"
                                               "Example: valdmora-batch simulate --reps 1000 --seed 7 --json");
    sim->add_option("--file", o.file, "keep this file's wards and predictors; simulate only the counts");
    sim->add_option("--surveys", o.surveys, "surveyed wards to simulate without a file, 1 or more (default 20)");
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
    sim->add_option("--csv", o.csv, "write one row per repetition to this file");
    auto* cmp = app.add_subcommand("compare", "A table of models: every subset of the predictors under each "
                                              "distribution, ranked by AICc.\n"
                                              "Example: valdmora-batch compare counts.txt --json");
    cmp->add_option("FILE", o.file, "the count data file")->required();
    cmp->add_flag("--json", o.json, "print one JSON object instead of the table");
    cmp->add_option("--csv", o.csv, "write the table to this CSV file");
    app.footer("Run valdmora-batch SUBCOMMAND --help to see a subcommand's options.");

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
        return est->parsed() ? run_estimate(o) : cmp->parsed() ? run_compare(o) : run_simulate(o);
    } catch (const UsageError& e) {
        std::cerr << e.what() << "\n";
        return 2;
    } catch (const UserError& e) {
        std::cerr << e.what() << (e.detail().empty() ? "" : "\n" + e.detail()) << "\n";
        return 1;
    } catch (const std::bad_alloc&) {
        std::cerr << "There is not enough memory for this data.\n";
        return 1;
    }
}
