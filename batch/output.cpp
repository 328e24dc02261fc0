#include "output.h"

#include <cmath>
#include <filesystem>
#include <iostream>

#include "command.h"
#include "cycle/atomic_file.h"
#include "cycle/distributions.h"
#include "cycle/platform_file.h"
#include "cycle/text.h"
#include "estimation/report.h"

namespace valdmora {

json finite_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

std::string dump(const json& j) { return j.dump(2, ' ', false, json::error_handler_t::replace); }

json notices_json(const std::vector<Notice>& notices) {
    json a = json::array();
    for (const Notice& n : notices) a.push_back(n.detail.empty() ? n.text : n.text + " " + n.detail);
    return a;
}

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

std::vector<Notice> click_notices(const ClickResult& r) {
    std::vector<Notice> n = r.notices;
    if (!r.profile_limits.available && !r.no_unsurveyed_ward)
        n.push_back({"Profile", "The profile-likelihood limits are not available: " + r.profile_limits.reason + ".", "",
                     false});
    if (r.bootstrap && !r.bootstrap->available)
        n.push_back({"Bootstrap", "The bootstrap limits are not available: " + r.bootstrap->problem + ".", "", false});
    return n;
}

std::string batch_likelihood_line(const ClickResult& r, const NumberFormat& fmt) {
    return likelihood_line(r.max_ll, std::nullopt, r.higher_profile_point, fmt);
}

json result_json(const ClickResult& r, const std::vector<std::string>& predictors, const NumberFormat& fmt) {
    json j;
    j["fail_code"] = r.fail_code;
    j["fit_ok"] = r.fit_ok;
    const int np = r.state.n_pred;
    // the names the window shows beside the boxes
    auto name = [&](int box) {
        return box == 0   ? std::string("constant")
               : box == 5 ? std::string(distribution(r.state.err_dist).extra_name)
                          : predictor_name(predictors, box);
    };
    json estimates = json::array();
    for (int box : {0, 1, 2, 3, 4, 5}) {
        if (box != 5 && box > np) continue;
        const int position = box == 5 ? np + 2 : box + 1;
        bool free = false;
        for (int32_t k : r.free_pos) free = free || k == position;
        const auto u = static_cast<std::size_t>(position - 1);
        const double var = r.cov[u][u];
        estimates.push_back({{"box", box},
                             {"name", name(box)},
                             {"value", finite_or_null(r.par_value[u])},
                             {"free", free},
                             {"se", free && r.covariance_ok && var >= 0.0 ? finite_or_null(std::sqrt(var)) : json(nullptr)}});
    }
    j["estimates"] = estimates;
    // the covariance of the free parameters, in the order of "free_parameters"
    json free_names = json::array(), matrix = json::array();
    auto box_of = [np](int32_t k) { return k <= np + 1 ? k - 1 : 5; };
    for (int32_t a : r.free_pos) {
        free_names.push_back(name(box_of(a)));
        json row = json::array();
        for (int32_t b : r.free_pos)
            row.push_back(r.covariance_ok ? finite_or_null(r.cov[static_cast<std::size_t>(a - 1)][static_cast<std::size_t>(b - 1)])
                                          : json(nullptr));
        matrix.push_back(row);
    }
    j["free_parameters"] = free_names;
    j["covariance"] = matrix;
    json on_bound = json::array();
    for (int32_t k : r.on_bound) on_bound.push_back(name(box_of(k)));
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
    // label7 / label8 / intervals are the old names, kept for one release
    j["label7"] = r.label7;
    j["label8"] = r.label8;
    j["intervals"] = r.interval_text;
    j["likelihood_line"] = batch_likelihood_line(r, fmt);
    j["estimate_line"] = r.label8;
    j["intervals_line"] = r.interval_text;
    json profile = json::array();
    for (const ProfilePoint& p : r.profile) profile.push_back({p.total, finite_or_null(p.log_likelihood)});
    j["profile"] = profile;
    j["evaluations"] = {{"fit", r.evaluations.fit},
                        {"covariance", r.evaluations.covariance},
                        {"profile", r.evaluations.profile},
                        {"profile_limits", r.evaluations.profile_limits}};
    return j;
}

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

void check_output_folder(const std::string& dir) {
    std::error_code ec;
    const std::string shown_dir = printable(dir, 200);
    const std::filesystem::path folder = platform::path_from_utf8(dir);
    if (!std::filesystem::exists(folder, ec)) throw UserError("The output folder " + shown_dir + " does not exist.");
    if (!std::filesystem::is_directory(folder, ec)) throw UserError("The output path " + shown_dir + " is not a folder.");
    const std::string problem = platform::folder_write_problem(folder);
    if (!problem.empty()) throw UserError("The output folder " + shown_dir + " cannot be written: " + problem + ".");
}

std::vector<std::string> write_outputs(const ClickResult& r, const std::string& dir) {
    std::vector<std::string> problems;
    for (const OutputFile& f : r.files) {
        const std::string path = platform::path_to_utf8(platform::path_from_utf8(dir) / f.name);
        const std::string e = write_file_atomically(path, f.content);
        if (!e.empty()) problems.push_back(not_written_message(path, e));
    }
    return problems;
}

}  // namespace valdmora
