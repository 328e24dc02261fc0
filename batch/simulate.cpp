// SPDX-License-Identifier: GPL-3.0-or-later
// simulate: a series of simulate-and-estimate clicks that scores each kind of limits
// against its own target, with a row per repetition in a CSV file kept up to date.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>

#include "command.h"
#include "cycle/atomic_file.h"
#include "cycle/csv.h"
#include "cycle/text.h"
#include "estimation/report.h"
#include "estimation/simulation.h"
#include "estimation/uniform.h"
#include "output.h"
#include "session.h"
#include "stop_request.h"

namespace valdmora {

namespace {

// How often a simulation's rows are put in its --csv file while it runs.
constexpr std::chrono::seconds kCheckpointEvery{2};

struct SimulateOptions {
    std::string file;
    std::optional<long> surveys;
    std::string surveys_text;  // as typed, for the messages that quote it
    Dist dist = Dist::lognormal;
    std::vector<std::string> free;
    std::optional<std::array<double, 6>> true_values;
    long reps = 1;
    std::optional<uint64_t> seed;  // none: from the clock
    double range_percent = 50.0;
    int bootstrap_reps = 0;
    std::string out;
    bool json = false;
    std::string csv;
    Generator generator = Generator::exact;
};

void declare(CLI::App& sub) {
    add_text_option(sub, "--file", "keep this file's wards and predictors; simulate only the counts");
    add_text_option(sub, "--surveys", "surveyed wards to simulate without a file: one more than the free parameters "
                                      "(the extra parameter counts; 3 with the default --free 0), up to "
                                      "100000000 (default 20)");
    add_text_option(sub, "--dist", distributions_help());
    sub.get_option("--dist")->check(CLI::IsMember(distribution_keys()));
    add_text_option(sub, "--free", "free parameters, as for estimate (default 0)");
    add_text_option(sub, "--true", "true values B0,B1,B2,B3,B4,E in box order (default 10,0,0,0,0 and the "
                                   "distribution's extra parameter)");
    add_text_option(sub, "--reps", "repetitions, 1..32767 (default 1)");
    add_text_option(sub, "--seed", "seed for a repeatable series, 0..18446744073709551615 (default: the clock)");
    add_text_option(sub, "--range", "likelihood profile range, per cent either side (default 50)");
    add_text_option(sub, "--bootstrap", "also score bootstrap limits of this many replicates (default 0)");
    add_text_option(sub, "--out", "folder for the last repetition's ward_predictions.txt and user.txt (default: here)");
    add_switch(sub, "--json", "print one JSON object instead of the summary");
    add_text_option(sub, "--csv", "write one row per repetition to this file (replaced whole with the rows so far "
                                  "every two seconds and at the end)");
    add_text_option(sub, "--generator",
                    "exact: counts drawn from the fitted model itself (default); classic: the bench's original "
                    "draws (sums of ten uniforms, trials to the ceil(m/e)-th success), as older seeded series");
    sub.get_option("--generator")->check(CLI::IsMember({"exact", "classic"}));
}

SimulateOptions parse(const CLI::App& given) {
    SimulateOptions o;
    o.file = option_text(given, "--file");
    o.surveys_text = option_text(given, "--surveys");
    if (!o.file.empty() && !o.surveys_text.empty())
        throw UsageError("--surveys cannot be used with --file: the file's wards decide how many are surveyed.");
    o.reps = option_whole(option_text(given, "--reps", "1"), "--reps", 1, 32767);
    o.bootstrap_reps = static_cast<int>(option_whole(option_text(given, "--bootstrap", "0"), "--bootstrap", 0, 1000000));
    if (option_given(given, "--seed")) o.seed = option_seed(option_text(given, "--seed"));
    if (!o.surveys_text.empty()) {
        o.surveys = option_surveys(o.surveys_text);
        const std::string problem = surveys_memory_problem(*o.surveys);
        if (!problem.empty()) throw UsageError("--surveys " + printable(o.surveys_text) + ": " + problem);
    }
    o.dist = option_distribution(option_text(given, "--dist", "lognormal"));
    o.free = split_list(option_text(given, "--free", "0"));
    if (option_given(given, "--true")) o.true_values = option_boxes(option_text(given, "--true"), "--true");
    o.range_percent = option_range(option_text(given, "--range", "50"));
    o.out = option_text(given, "--out", ".");
    o.json = option_given(given, "--json");
    o.csv = option_text(given, "--csv");
    o.generator = option_text(given, "--generator", "exact") == "classic" ? Generator::classic : Generator::exact;
    return o;
}

// The columns keep the layout files of earlier releases have; a kind of interval without
// older columns of its own follows at the end as <key>_lower, <key>_upper, <key>_outside.
std::string csv_header(bool bootstrap) {
    std::string header = "rep,true_total,estimate,lower,upper,outside,fail_code,true_lp_total,profile_lower,"
                         "profile_upper,profile_outside";
    if (bootstrap) header += ",boot_lower,boot_upper,boot_outside,boot_failed";
    header += ",expected_total,delta_lower,delta_upper,delta_outside";
    for (const IntervalTraits& k : kIntervalKinds)
        if (k.legacy.empty()) {
            const std::string key(k.key);
            header += "," + key + "_lower," + key + "_upper," + key + "_outside";
        }
    return header + "\n";
}

// One repetition's row: each kind of limits with its score against its own target.
std::string csv_row(long rep, const ClickResult& r, bool bootstrap) {
    const EstimateResult& e = r.estimate;
    const EstimationState& st = e.state;
    // limits, or two empty cells, then the score; a kind not computed counts as outside
    auto cells = [&](CsvRow& row, IntervalKind kind) {
        const Interval* iv = e.interval(kind);
        const Available<Limits> none = Available<Limits>::why_not("not computed");
        const Available<Limits>& limits = iv && !e.no_unsurveyed_ward ? iv->limits : none;
        if (limits)
            row.number(limits->lower).number(limits->upper);
        else
            row.empty().empty();
        const bool drawn = interval_traits(kind).target == ScoreTarget::dogs_drawn;
        // confidence limits are scored against the expected total the generator drew about
        const bool outside = scored_outside(interval_traits(kind).target, limits,
                                            drawn ? static_cast<double>(st.sim_total) : st.sim_expected_total);
        row.text(outside ? "outside" : "inside");
    };
    CsvRow row;
    row.whole(rep).number(st.sim_total);
    if (e.no_unsurveyed_ward) {
        row.empty().empty().empty().text("left_out").whole(e.fail_code).empty().empty().empty().empty();
    } else {
        row.number(e.total.pop_est);
        cells(row, IntervalKind::wald);
        row.whole(e.fail_code).number(st.sim_true_total_lp);
        cells(row, IntervalKind::profile);
    }
    if (bootstrap) {
        cells(row, IntervalKind::bootstrap);
        const Interval* boot = e.interval(IntervalKind::bootstrap);
        row.whole(boot && boot->monte_carlo ? boot->monte_carlo->failed : 0);
    }
    if (e.no_unsurveyed_ward) {
        row.empty().empty().empty().empty();
    } else {
        row.number(st.sim_expected_total);
        cells(row, IntervalKind::delta);
    }
    for (const IntervalTraits& k : kIntervalKinds)
        if (k.legacy.empty()) {
            if (e.no_unsurveyed_ward)
                row.empty().empty().empty();
            else
                cells(row, k.kind);
        }
    return row.line();
}

json coverage_json(int outside, int scored) {
    const std::optional<double> share = coverage_share(outside, scored);
    return share ? json(*share) : json(nullptr);
}

int run(const SimulateOptions& o) {
    const uint64_t seed = o.seed ? *o.seed : clock_seed();
    check_output_folder(o.out);
    std::vector<NamedPath> outputs = click_outputs(o.out);
    outputs.push_back({"--csv", o.csv});
    refuse_clashes(o.file, outputs);
    Session s;
    if (!o.file.empty()) s.read_file(o.file);
    s.choose_distribution(o.dist);
    if (o.true_values) s.set_values(*o.true_values);
    s.forget_data_path();  // the window's data path emptied
    s.set_free(o.free);
    if (o.surveys) {
        // the fit needs one surveyed ward more than its free parameters, the extra one included
        const long free = s.free_parameters();
        if (*o.surveys <= free)
            throw UsageError("--surveys " + printable(o.surveys_text) + ": the fit of " + std::to_string(free) +
                             " free parameters needs at least " + std::to_string(free + 1) + " surveyed wards.");
    }
    ClickSettings settings;
    settings.range_percent = o.range_percent;
    settings.surveys = o.surveys;
    settings.bootstrap_reps = o.bootstrap_reps;
    settings.generator = o.generator;

    ClickServices sv = services();
    MersenneUniform random(seed);
    sv.random = &random;
    sv.reseed_from_clock = !o.seed;

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
        table = csv_header(o.bootstrap_reps > 0);
    }
    auto last_checkpoint = std::chrono::steady_clock::now();

    const bool bar = stderr_is_terminal();
    std::optional<ClickResult> last;
    std::vector<Notice> notices = s.notices();
    long done = 0;
    int status = 0;
    for (long rep = 1; rep <= o.reps && !stop_requested(); ++rep) {
        settings.bootstrap_seed = seed + static_cast<uint64_t>(rep);
        std::optional<ClickResult> run;
        try {
            run = s.click(settings, sv);
        } catch (const Cancelled&) {
            break;  // the repetition in hand is dropped whole
        } catch (const UserError& e) {
            // refused before any repetition: the message alone, as an estimate refuses;
            // later (a draw the model library cannot take) the repetitions done are kept
            if (done == 0) throw;
            notices.push_back(e.notice());
            status = 1;
            break;
        }
        ClickResult& r = *run;
        for (const Notice& n : click_notices(r))
            if (n.modal) notices.push_back(n);
        if (!o.csv.empty()) {
            table += csv_row(rep, r, o.bootstrap_reps > 0);
            ++rows;
            if (std::chrono::steady_clock::now() - last_checkpoint > kCheckpointEvery) {
                checkpoint();
                last_checkpoint = std::chrono::steady_clock::now();
            }
        }
        s.keep(r);
        done = rep;
        if (bar && (rep % 10 == 0 || rep == o.reps)) {
            const int width = 40, filled = static_cast<int>(width * rep / o.reps);
            std::fprintf(stderr, "\r[%s%s] %ld/%ld", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                         std::string(static_cast<std::size_t>(width - filled), ' ').c_str(), rep, o.reps);
            if (rep == o.reps) std::fputc('\n', stderr);
        }
        last = std::move(r);
    }
    if (bar && stop_requested()) std::fputc('\n', stderr);
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
    const EstimationState& st = s.state();
    std::string summary = last ? last->lbl_tot_sim_dog.value_or("") : "";
    const std::string scores = interval_scores(st);
    if (!scores.empty()) summary += "\n" + scores;
    if (o.json) {
        json j = last ? result_json(*last, s.predictors(), s.format()) : json::object();
        j["n_sims"] = st.n_sims;
        j["n_outside_cl"] = st.tally_of(IntervalKind::wald).outside;
        j["left_out"] = st.n_sims_left_out;
        j["sim_total_mean"] = st.n_sims > 0 ? json(st.sim_total_sum / st.n_sims) : json(nullptr);
        j["est_total_mean"] = st.n_sims > 0 ? json(st.est_total_sum / st.n_sims) : json(nullptr);
        j["coverage"] = coverage_json(st.tally_of(IntervalKind::wald).outside, st.n_sims);
        j["generator"] = o.generator == Generator::classic ? "classic" : "exact";
        // each kind against its own target: the dogs drawn (prediction limits), their
        // expected number (confidence limits)
        json targets = json::object();
        for (const IntervalTraits& k : kIntervalKinds) {
            targets[std::string(k.key)] = target_traits(k.target).short_name;
            if (k.kind != IntervalKind::wald) {
                const EstimationState::Tally& t = st.tally_of(k.kind);
                j["coverage_" + std::string(k.key)] = coverage_json(t.outside, t.scored);
            }
        }
        j["targets"] = targets;
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
    std::cerr << done << " of " << o.reps << " repetitions done" << held << "\n";
    if (stop_requested()) return stopped_exit_status();
    return status;
}

}  // namespace

Command simulate_command() {
    return make_command<SimulateOptions>("simulate", "A series of simulate-and-estimate clicks that scores the limits.",
                                         "valdmora-batch simulate --reps 1000 --seed 7 --json", true, declare, parse, run);
}

}  // namespace valdmora
