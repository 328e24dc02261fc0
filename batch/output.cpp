// SPDX-License-Identifier: GPL-3.0-or-later
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
    for (const Notice& n : notices) {
        std::string text = shown_lines(n.text);
        // a headline without its full stop runs into the detail
        if (!n.detail.empty() && !text.empty() && std::string(".!?:").find(text.back()) == std::string::npos) text += ".";
        std::cerr << text << (n.detail.empty() ? "" : " " + shown_lines(n.detail)) << "\n";
    }
}

std::vector<Notice> click_notices(const ClickResult& r) {
    std::vector<Notice> n = r.notices;
    const EstimateResult& e = r.estimate;
    const Interval* profile = e.interval(IntervalKind::profile);
    if (profile && !profile->limits && !e.no_unsurveyed_ward)
        n.push_back({"Profile", "The profile-likelihood limits are not available: " + profile->limits.reason() + ".", "",
                     false});
    const Interval* boot = e.interval(IntervalKind::bootstrap);
    if (boot && !boot->limits)
        n.push_back({"Bootstrap", "The bootstrap limits are not available: " + boot->limits.reason() + ".", "", false});
    return n;
}

std::string batch_likelihood_line(const ClickResult& r, const NumberFormat& fmt) {
    return likelihood_line(r.estimate.max_ll, std::nullopt, r.estimate.higher_profile_point, fmt);
}

namespace {

// One interval as the JSON's "limits" list has it.
json limits_json(const Interval& iv) {
    const bool ok = iv.limits.ok();
    json l{{"kind", iv.traits().key}, {"target", target_traits(iv.target).json}, {"available", ok}};
    l["lower"] = ok ? finite_or_null(iv.limits->lower) : json(nullptr);
    l["upper"] = ok ? finite_or_null(iv.limits->upper) : json(nullptr);
    if (!ok) l["reason"] = iv.limits.reason();
    if (iv.monte_carlo)
        l["monte_carlo_error"] = ok ? json{finite_or_null(iv.monte_carlo->lower_error),
                                           finite_or_null(iv.monte_carlo->upper_error)}
                                    : json(nullptr);
    return l;
}

}  // namespace

json result_json(const ClickResult& click, const std::vector<std::string>& predictors, const NumberFormat& fmt) {
    const EstimateResult& r = click.estimate;
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
        const double var = r.variance(position);
        estimates.push_back({{"box", box},
                             {"name", name(box)},
                             {"value", finite_or_null(r.par_value[u])},
                             {"free", free},
                             {"se", free && var >= 0.0 ? finite_or_null(std::sqrt(var)) : json(nullptr)}});
    }
    j["estimates"] = estimates;
    // the covariance of the free parameters, in the order of "free_parameters"
    json free_names = json::array(), matrix = json::array();
    auto box_of = [np](int32_t k) { return k <= np + 1 ? k - 1 : 5; };
    for (int32_t a : r.free_pos) {
        free_names.push_back(name(box_of(a)));
        json row = json::array();
        for (int32_t b : r.free_pos)
            row.push_back(r.cov ? finite_or_null((*r.cov)[static_cast<std::size_t>(a - 1)][static_cast<std::size_t>(b - 1)])
                                : json(nullptr));
        matrix.push_back(row);
    }
    j["free_parameters"] = free_names;
    j["covariance"] = matrix;
    json on_bound = json::array();
    for (int32_t k : r.on_bound) on_bound.push_back(name(box_of(k)));
    j["on_bound"] = on_bound;
    j["max_ll"] = finite_or_null(r.max_ll);
    j["pop_est"] = finite_or_null(r.total.pop_est);
    j["limits_ok"] = r.wald().ok();
    j["profile_total"] = finite_or_null(r.profile_total_hat);
    // every interval with what it covers: the dogs present (prediction) or their expected
    // number (confidence); the older flat keys beside it
    json intervals = json::array();
    for (const Interval& iv : r.intervals) {
        intervals.push_back(limits_json(iv));
        const std::string legacy(iv.traits().legacy);
        if (!legacy.empty()) {
            j[legacy + "_lower"] = iv.limits ? finite_or_null(iv.limits->lower) : json(nullptr);
            j[legacy + "_upper"] = iv.limits ? finite_or_null(iv.limits->upper) : json(nullptr);
        }
        if (iv.monte_carlo && !legacy.empty()) {
            j[legacy + "_reps"] = iv.monte_carlo->reps;
            j[legacy + "_failed"] = iv.monte_carlo->failed;
        }
    }
    j["limits"] = intervals;
    if (r.dogs_present) {
        const DogsPresent& d = *r.dogs_present;
        const bool counted = d.sighting.counts > 0;
        json present_limits = json::array();
        for (const Interval& iv : d.intervals) present_limits.push_back(limits_json(iv));
        j["dogs_present"] = {{"sighting_proportion", finite_or_null(d.sighting.p)},
                             {"sighting_se", finite_or_null(d.sighting.se())},
                             {"counts", counted ? json(d.sighting.counts) : json(nullptr)},
                             {"marked", counted ? json(d.sighting.marked) : json(nullptr)},
                             {"dogs_seen", finite_or_null(d.seen)},
                             {"estimate", finite_or_null(d.estimate)},
                             {"limits", present_limits}};
    }
    j["counted_total"] = r.counts.counted_total;
    // the town's dogs with their limits, as the headline gives them
    if (!r.no_unsurveyed_ward && !r.total.ward_named) {
        const ShownDogs town = shown_dogs(r);
        j["town_total"] = {{"estimate", town.estimate},
                           {"counted", r.counts.counted_total},
                           {"lower", town.limits ? json(town.limits->lower) : json(nullptr)},
                           {"upper", town.limits ? json(town.limits->upper) : json(nullptr)},
                           {"limits", "95 % Wald prediction limits"}};
    }
    j["headline"] = headline(r, NumberFormat{});
    j["df"] = r.counts.df;
    // label7 / label8 / intervals are the old names, kept for one release
    j["label7"] = click.label7;
    j["label8"] = click.label8;
    j["intervals"] = click.interval_text;
    j["likelihood_line"] = batch_likelihood_line(click, fmt);
    j["estimate_line"] = click.label8;
    j["intervals_line"] = click.interval_text;
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

NamedPath dogs_present_output(const std::string& dir) {
    namespace fs = std::filesystem;
    return {"the output " + std::string(kDogsPresentFile),
            platform::path_to_utf8(platform::path_from_utf8(dir) / kDogsPresentFile)};
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
