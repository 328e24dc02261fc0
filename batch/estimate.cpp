// estimate: one estimating click on a count data file, its two output files, and the
// result lines or one JSON object.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "command.h"
#include "cycle/atomic_file.h"
#include "estimation/dispersion_checks.h"
#include "estimation/residuals.h"
#include "output.h"
#include "session.h"

namespace valdmora {

namespace {

struct EstimateOptions {
    std::string file;
    int dist = 1;
    std::vector<std::string> free;  // box numbers or predictor names, resolved against the data
    std::optional<std::array<double, 6>> start;
    double range_percent = 50.0;
    std::string ward;
    std::string out;
    int bootstrap_reps = 0;
    uint64_t seed = 1;
    std::string residuals;
    bool json = false;
    bool checks = false;
};

void declare(CLI::App& sub) {
    add_text_option(sub, "FILE", "the count data file");
    sub.get_option("FILE")->required();
    add_text_option(sub, "--dist", distributions_help());
    sub.get_option("--dist")->check(CLI::IsMember(distribution_keys()));
    add_text_option(sub, "--free", "free parameters: box numbers 0..4 (0 the constant) or predictor names; "
                                   "the extra parameter is always free (default 0)");
    add_text_option(sub, "--start", "start values B0,B1,B2,B3,B4,E in box order (default: the distribution's)");
    add_text_option(sub, "--range", "likelihood profile range, per cent either side (default 50)");
    add_text_option(sub, "--ward", "narrow the estimate to this unsurveyed ward");
    add_text_option(sub, "--out", "folder for ward_predictions.txt and user.txt (default: here)");
    add_text_option(sub, "--bootstrap", "bootstrap prediction limits from this many replicates (default 0: none)");
    add_text_option(sub, "--seed", "seed of the bootstrap, 0..18446744073709551615 (default 1)");
    add_text_option(sub, "--residuals", "write each surveyed ward's residuals to this CSV file");
    add_switch(sub, "--json", "print one JSON object instead of the result lines");
    add_switch(sub, "--checks", "also print the overdispersion checks: the negative binomial against its Poisson limit, and "
                             "the counts' dispersion against data simulated from the fitted model (always in --json)");
}

EstimateOptions parse(const CLI::App& given) {
    EstimateOptions o;
    o.file = option_text(given, "FILE");
    o.dist = option_distribution(option_text(given, "--dist", "lognormal"));
    o.free = split_list(option_text(given, "--free", "0"));
    if (option_given(given, "--start")) o.start = option_boxes(option_text(given, "--start"), "--start");
    o.range_percent = option_range(option_text(given, "--range", "50"));
    o.ward = option_text(given, "--ward");
    o.out = option_text(given, "--out", ".");
    o.bootstrap_reps = static_cast<int>(option_whole(option_text(given, "--bootstrap", "0"), "--bootstrap", 0, 1000000));
    if (option_given(given, "--seed")) o.seed = option_seed(option_text(given, "--seed"));
    o.residuals = option_text(given, "--residuals");
    o.json = option_given(given, "--json");
    o.checks = option_given(given, "--checks");
    return o;
}

json checks_json(const DispersionChecks& checks, json j) {
    const PoissonLimitTest& pt = checks.poisson;
    j["poisson_limit_test"] = pt.available ? json{{"statistic", pt.statistic},
                                                  {"p_value", pt.p_value},
                                                  {"negbin_log_lik", pt.negbin_log_lik},
                                                  {"poisson_log_lik", pt.poisson_log_lik},
                                                  {"sentence", pt.sentence}}
                                           : json{{"available", false}, {"reason", pt.reason}};
    const SimulatedDispersion& sd = checks.simulated;
    j["simulated_dispersion"] = sd.available ? json{{"observed", sd.observed},
                                                    {"data_sets", sd.sets},
                                                    {"share_at_or_above", sd.share_above},
                                                    {"p_value", sd.p_value},
                                                    {"sentence", sd.sentence}}
                                             : json{{"available", false}, {"reason", sd.reason}};
    return j;
}

int run(const EstimateOptions& o) {
    check_output_folder(o.out);
    std::vector<NamedPath> outputs = click_outputs(o.out);
    outputs.push_back({"--residuals", o.residuals});
    refuse_clashes(o.file, outputs);
    Session s;
    s.read_file(o.file);
    s.choose_distribution(o.dist);
    if (o.start) s.set_values(*o.start);
    s.set_free(o.free);
    ClickSettings settings;
    settings.data_path = o.file;
    settings.ward = o.ward;
    settings.range_percent = o.range_percent;
    settings.bootstrap_reps = o.bootstrap_reps;
    settings.bootstrap_seed = o.seed;
    const ClickServices sv = services();
    const ClickResult r = s.click(settings, sv);

    std::vector<Notice> notices = s.notices();
    const std::vector<Notice> own = click_notices(r);
    notices.insert(notices.end(), own.begin(), own.end());
    int status = 0;
    for (const std::string& p : write_outputs(r, o.out)) {
        notices.push_back({"Output file", p, "", true});
        status = 1;
    }
    if (r.ward_missing) status = 1;
    if (!r.fit_ok) status = 1;
    const Residuals res = model_residuals(r.state, r.par_value, static_cast<long>(r.free_pos.size()), o.seed);
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
        checks = dispersion_checks(r.state, r.par_value, r.lower_bound, r.upper_bound, r.free_pos, sv.library, o.seed);
    if (o.json) {
        json j = result_json(r, s.predictors(), s.format());
        j["dispersion"] = finite_or_null(res.dispersion);
        j = checks_json(*checks, std::move(j));
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::cout << shown(batch_likelihood_line(r, s.format())) << "\n"
                  << shown(r.label8) << "\n"
                  << shown_lines(r.interval_text) << "\n";
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

}  // namespace

Command estimate_command() {
    return make_command<EstimateOptions>(
        "estimate", "One estimate from a count data file, as one estimating click.",
        "valdmora-batch estimate counts.txt --dist negbin --free 0,households --json", false, declare, parse, run);
}

}  // namespace valdmora
