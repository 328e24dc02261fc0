// SPDX-License-Identifier: GPL-3.0-or-later
// plan: how many wards a survey needs for the precision wanted, by simulated surveys of
// each candidate size drawn from the model fitted to a pilot (or from the values given),
// a row per size in a CSV file kept whole as each size finishes.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>

#include "command.h"
#include "estimate_options.h"
#include "cycle/atomic_file.h"
#include "cycle/csv.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "estimation/plan.h"
#include "form/plan_files.h"
#include "output.h"
#include "plan_options.h"
#include "session.h"
#include "stop_request.h"

namespace valdmora {

namespace {

struct PlanOptions {
    std::string file;
    Dist dist = Dist::lognormal;
    std::vector<std::string> free;
    std::optional<std::array<double, 6>> start;
    double range_percent = 50.0;
    int bootstrap_reps = 0;
    std::vector<long> surveys;
    long reps = 200;
    uint64_t seed = 1;
    std::string design = "random";
    std::optional<double> target;
    IntervalKind target_kind = IntervalKind::wald;
    std::string csv;
    bool json = false;
    std::optional<SightingInput> sighting;
};

std::vector<std::string> kind_keys() {
    std::vector<std::string> keys;
    for (const IntervalTraits& k : kIntervalKinds) keys.emplace_back(k.key);
    return keys;
}

void declare(CLI::App& sub) {
    add_text_option(sub, "FILE", "the count data file: its wards are the town; its surveyed wards, if any, a pilot to fit");
    sub.get_option("FILE")->required();
    add_text_option(sub, "--dist", distributions_help());
    sub.get_option("--dist")->check(CLI::IsMember(distribution_keys()));
    add_text_option(sub, "--free", "free parameters, as for estimate (default 0)");
    add_text_option(sub, "--start", "start values B0,B1,B2,B3,B4,E; with no surveyed ward in FILE, the values the "
                                    "counts are drawn from (default: the distribution's)");
    add_text_option(sub, "--range", "likelihood profile range, per cent either side (default 50)");
    add_text_option(sub, "--bootstrap", "also plan bootstrap limits of this many replicates (default 0: none)");
    add_text_option(sub, "--surveys", "candidate numbers of wards to survey: 20,40,60 or FROM:TO:STEP");
    sub.get_option("--surveys")->required();
    add_text_option(sub, "--reps", "simulated surveys for each number of wards, at least 10 (default 200)");
    add_text_option(sub, "--seed", "seed, 0..18446744073709551615 (default 1)");
    declare_design_option(sub);
    add_text_option(sub, "--target", "the relative half-width wanted, between 0 and 1 (0.10 for +-10 %)");
    add_text_option(sub, "--target-kind", "the interval the target is of (default wald)");
    sub.get_option("--target-kind")->check(CLI::IsMember(kind_keys()));
    add_text_option(sub, "--csv", "write one row per number of wards to this file (replaced whole as each finishes)");
    add_switch(sub, "--json", "print one JSON object instead of the table");
    declare_sighting_options(sub);
}

PlanOptions parse(const CLI::App& given) {
    PlanOptions o;
    o.file = option_text(given, "FILE");
    o.dist = option_distribution(option_text(given, "--dist", "lognormal"));
    o.free = split_list(option_text(given, "--free", "0"));
    if (option_given(given, "--start")) o.start = option_boxes(option_text(given, "--start"), "--start");
    o.range_percent = option_range(option_text(given, "--range", "50"));
    o.bootstrap_reps = static_cast<int>(option_whole(option_text(given, "--bootstrap", "0"), "--bootstrap", 0, 1000000));
    o.surveys = surveys_from_list(option_text(given, "--surveys"));
    o.reps = option_whole(option_text(given, "--reps", "200"), "--reps", 0, 1000000);
    if (o.reps < kMinPlanReps)
        throw UsageError("--reps " + std::to_string(o.reps) + ": a plan needs at least " + std::to_string(kMinPlanReps) +
                         " simulated surveys for each number of wards.");
    if (option_given(given, "--seed")) o.seed = option_seed(option_text(given, "--seed"));
    o.design = option_text(given, "--design", "random");
    if (option_given(given, "--target")) {
        o.target = option_number(option_text(given, "--target"), "--target");
        if (!(*o.target > 0.0 && *o.target < 1.0))
            throw UsageError("--target " + printable(option_text(given, "--target")) +
                             " must lie between 0 and 1 (0.10 for +-10 %).");
    }
    const std::string kind = option_text(given, "--target-kind", "wald");
    for (const IntervalTraits& k : kIntervalKinds)
        if (k.key == kind) o.target_kind = k.kind;
    o.csv = option_text(given, "--csv");
    o.json = option_given(given, "--json");
    o.sighting = parse_sighting_options(given);
    return o;
}

json row_json(const PlanRow& r) {
    auto value = [](const std::optional<double>& v) { return v ? finite_or_null(*v) : json(nullptr); };
    auto scores = [&](const std::vector<KindScore>& kinds, bool widths) {
        json out = json::object();
        for (const KindScore& k : kinds)
            out[std::string(interval_traits(k.kind).key)] = value(widths ? k.relative_half_width : k.coverage);
        return out;
    };
    json j = {{"surveys", r.surveys},
              {"reps", r.reps},
              {"failed", r.failed},
              {"relative_half_width", scores(r.kinds, true)},
              {"coverage", scores(r.kinds, false)},
              {"relative_rmse", value(r.relative_rmse)}};
    // the dogs present's limits: half-widths over their estimate, coverage of the town's dogs over p
    if (!r.present.empty())
        j["dogs_present"] = {{"relative_half_width", scores(r.present, true)}, {"coverage", scores(r.present, false)}};
    return j;
}

// The values drawn from, by box as estimate --json gives its estimates.
json truth_json(const BoxValues& truth, const EstimateRequest& q, const EstimationState& st,
                const std::vector<std::string>& predictors) {
    json list = json::array();
    for (int box : {0, 1, 2, 3, 4, 5}) {
        if (box != 5 && box > st.n_pred) continue;
        const std::string name = box == 0   ? std::string("constant")
                                 : box == 5 ? std::string(distribution(q.dist).extra_name)
                                            : predictor_name(predictors, box);
        const bool free = box == 5 || q.free[static_cast<std::size_t>(box)];
        list.push_back({{"box", box}, {"name", name}, {"value", finite_or_null(truth[static_cast<std::size_t>(box)])},
                        {"free", free}});
    }
    return list;
}

// A share as a percentage with one decimal, or "-".
std::string percent(const std::optional<double>& v, const NumberFormat& fmt) {
    return v ? format_number(*v * 100.0, "0.0", fmt) + " %" : "-";
}

std::string table_text(const std::vector<PlanRow>& rows, const NumberFormat& fmt) {
    const std::vector<IntervalKind> kinds = kinds_planned(rows);
    std::string out = "median relative half-width (coverage of its target) by kind of limits\nsurveys  failed  rel. RMSE";
    for (IntervalKind k : kinds) out += "  " + std::string(interval_traits(k).name);
    out += "\n";
    for (const PlanRow& r : rows) {
        out += std::to_string(r.surveys) + "  " + std::to_string(r.failed) + "/" + std::to_string(r.reps) + "  " +
               percent(r.relative_rmse, fmt);
        for (IntervalKind k : kinds) {
            const KindScore* s = r.kind(k);
            out += "  " + percent(s ? s->relative_half_width : std::nullopt, fmt) + " (" +
                   percent(s ? s->coverage : std::nullopt, fmt) + ")";
        }
        // with sightings, the dogs present's limits after the dogs seen's
        for (const KindScore& p : r.present)
            out += "  dogs present, " + std::string(interval_traits(p.kind).name) + ": " +
                   percent(p.relative_half_width, fmt) + " (" + percent(p.coverage, fmt) + ")";
        out += "\n";
    }
    return out;
}

int run(const PlanOptions& o) {
    refuse_clashes(o.file, {{"--csv", o.csv}});
    Session s;
    s.read_file(o.file);
    s.choose_distribution(o.dist);
    if (o.start) s.set_values(*o.start);
    s.set_free(o.free);

    PlanRequest q;
    q.estimate = s.request();
    q.estimate.range_percent = o.range_percent;
    q.estimate.bootstrap_reps = o.bootstrap_reps;
    q.surveys = o.surveys;
    q.reps = static_cast<int>(o.reps);
    q.seed = o.seed;
    q.precision = o.target;
    q.target_kind = o.target_kind;
    q.design = design_from_text(o.design, s.predictors());
    q.sighting = o.sighting;
    const Town town = town_of(s.state());
    if (const std::string problem = plan_request_problem(q, town); !problem.empty())
        throw UsageError("The plan cannot be made: " + problem + ".");
    if (!o.csv.empty()) {
        AtomicFile probe;  // said before any work: a path that cannot take the file
        const std::string e = probe.open(o.csv);
        if (!e.empty()) throw UserError("The file " + printable(o.csv, 200) + " cannot be written: " + e + ".");
    }

    ClickServices sv = services();
    std::vector<Notice> notices = s.notices();
    // the truth: the pilot's fit, or the values given when no ward was surveyed
    json estimates;
    if (s.state().n_surveyed > 0) {
        ClickSettings settings;
        settings.data_path = o.file;
        settings.range_percent = o.range_percent;
        const ClickResult pilot = s.click(settings, sv);
        if (!pilot.estimate.fit_ok)
            throw UserError("The pilot survey could not be fitted (failure code " +
                            std::to_string(pilot.estimate.fail_code) + "): there is no model to plan from.");
        q.truth = pilot.estimate.values;
        estimates = result_json(pilot, s.predictors(), s.format())["estimates"];
    } else {
        q.truth = q.estimate.start;
        estimates = truth_json(q.truth, q.estimate, s.state(), s.predictors());
    }

    // a bar on a terminal; the replicates report from both threads
    const bool bar = stderr_is_terminal();
    std::mutex bar_lock;
    sv.progress = Progress(
        [&](const std::string&, int done, int total) {
            if (!bar || total <= 0 || (done % 10 != 0 && done != total)) return;
            const std::lock_guard<std::mutex> hold(bar_lock);
            const int width = 40, filled = static_cast<int>(static_cast<long>(width) * done / total);
            std::fprintf(stderr, "\r[%s%s] %d/%d", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                         std::string(static_cast<std::size_t>(width - filled), ' ').c_str(), done, total);
            if (done == total) std::fputc('\n', stderr);
        },
        cancel_flag());

    // the rows kept here and the file replaced whole as each k finishes
    std::string table;
    std::vector<PlanRow> rows;
    std::vector<IntervalKind> kinds;
    long rows_in_file = 0;
    std::string csv_problem;
    auto row_done = [&](const PlanRow& r) {
        rows.push_back(r);
        if (o.csv.empty()) return;
        if (kinds.empty()) {
            kinds = kinds_planned(rows);
            table = plan_csv_header(kinds);
        }
        table += plan_csv_row(r, kinds);
        csv_problem = write_file_atomically(o.csv, table);
        if (csv_problem.empty()) rows_in_file = static_cast<long>(rows.size());
    };
    PlanResult plan;
    bool stopped = false;
    try {
        plan = run_plan(q, s.state(), sv, row_done);
    } catch (const Cancelled&) {
        stopped = true;
        plan.rows = rows;
        if (bar) std::fputc('\n', stderr);
    }
    int status = 0;
    if (!csv_problem.empty()) {
        notices.push_back({"Output file", not_written_message(o.csv, csv_problem), "", true});
        status = 1;
    }
    if (o.json) {
        json j;
        j["estimates"] = estimates;
        j["design"] = o.design;
        j["seed"] = o.seed;
        json list = json::array();
        for (const PlanRow& r : plan.rows) list.push_back(row_json(r));
        j["plan"] = list;
        if (q.precision) {
            const std::optional<long> reached = surveys_reaching(plan.rows, q.target_kind, *q.precision);
            j["target"] = {{"kind", std::string(interval_traits(q.target_kind).key)},
                           {"precision", *q.precision},
                           {"surveys", reached ? json(*reached) : json(nullptr)}};
        }
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::string text = table_text(plan.rows, s.format());
        if (q.precision) {
            const std::optional<long> reached = surveys_reaching(plan.rows, q.target_kind, *q.precision);
            const std::string goal = "+-" + general_number(*q.precision * 100.0, s.format()) + " % (" +
                                     std::string(interval_traits(q.target_kind).name) + ")";
            text += reached ? "smallest number of wards reaching " + goal + ": " + std::to_string(*reached)
                            : "no number of wards in the list reaches " + goal;
            text += "\n";
        }
        std::cout << shown_lines(text);
    }
    print_notices(notices);
    if (!o.csv.empty())
        std::cerr << printable(o.csv, 200) << " holds " << rows_in_file << " of " << q.surveys.size() << " rows\n";
    if (stopped || stop_requested()) return stopped_exit_status();
    return status;
}

}  // namespace

Command plan_command() {
    return make_command<PlanOptions>("plan", "How many wards to survey, and the precision each number gives.",
                                     "valdmora-batch plan counts.txt --surveys 20,40,60 --reps 200 --seed 7 --target 0.10",
                                     true, declare, parse, run);
}

}  // namespace valdmora
