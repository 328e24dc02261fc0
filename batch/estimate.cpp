// SPDX-License-Identifier: GPL-3.0-or-later
// estimate: one estimating click on a count data file, its two output files, and the
// result lines or one JSON object.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "command.h"
#include "estimate_options.h"
#include "cycle/atomic_file.h"
#include "estimation/dispersion_checks.h"
#include "estimation/residuals.h"
#include "output.h"
#include "session.h"
#include "spatial_options.h"

namespace valdmora {

namespace {

struct EstimateOptions : ModelOptions {
    std::string out;
    std::string residuals;
    bool json = false;
    bool checks = false;
    BoundaryOptions boundaries;
};

void declare(CLI::App& sub) {
    declare_model_options(sub);
    add_text_option(sub, "--out", "folder for ward_predictions.txt and user.txt (default: here)");
    declare_bootstrap_options(sub);
    add_text_option(sub, "--residuals", "write each surveyed ward's residuals to this CSV file");
    add_switch(sub, "--json", "print one JSON object instead of the result lines");
    add_switch(sub, "--checks", "also run the overdispersion checks: the negative binomial against its Poisson limit, and "
                             "the counts' dispersion against 500 data sets simulated from the fitted model (with --json, "
                             "in the JSON)");
    declare_boundary_options(sub, false);
}

EstimateOptions parse(const CLI::App& given) {
    EstimateOptions o;
    static_cast<ModelOptions&>(o) = parse_model_options(given);
    o.out = option_text(given, "--out", ".");
    o.residuals = option_text(given, "--residuals");
    o.json = option_given(given, "--json");
    o.checks = option_given(given, "--checks");
    o.boundaries = parse_boundary_options(given);
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
    if (o.sighting) outputs.push_back(dogs_present_output(o.out));
    refuse_clashes(o.file, outputs);
    Session s;
    const ClickServices sv = services();
    const ClickResult r = estimate_click(s, o, sv);
    // bad boundaries fail before anything is written
    std::optional<WardBoundaries> boundaries;
    if (!o.boundaries.path.empty()) boundaries = estimate_boundaries(o.boundaries, r.estimate.state);

    std::vector<Notice> notices = s.notices();
    const std::vector<Notice> own = click_notices(r);
    notices.insert(notices.end(), own.begin(), own.end());
    if (boundaries)
        for (const Notice& n : boundary_notices(*boundaries)) notices.push_back(n);
    int status = 0;
    for (const std::string& p : write_outputs(r, o.out)) {
        notices.push_back({"Output file", p, "", true});
        status = 1;
    }
    const EstimateResult& e = r.estimate;
    if (e.total.ward_missing) status = 1;
    if (!e.fit_ok) status = 1;
    // the residuals' file row by row, and the JSON's dispersion without the residuals
    if (!o.residuals.empty()) {
        const std::string problem = write_residuals_csv(o.residuals, e.state, e.par_value, o.seed);
        if (!problem.empty()) {
            notices.push_back({"Output file", not_written_message(o.residuals, problem), "", true});
            status = 1;
        }
    }
    // the dispersion checks cost a few hundred simulated data sets: only when asked, whatever
    // the output's form
    std::optional<DispersionChecks> checks;
    if (o.checks)
        checks = dispersion_checks(e.state, e.par_value, e.lower_bound, e.upper_bound, e.free_pos, sv.library, o.seed);
    std::optional<SpatialCheck> spatial;
    if (boundaries) spatial = estimate_spatial_check(e, *boundaries, o.seed);
    if (o.json) {
        json j = result_json(r, s.predictors(), s.format());
        j["dispersion"] = finite_or_null(pearson_dispersion(e.state, e.par_value, static_cast<long>(e.free_pos.size())));
        if (checks) j = checks_json(*checks, std::move(j));
        if (spatial) j["spatial"] = spatial_json(*spatial, *boundaries, s.format());
        j["notices"] = notices_json(notices);
        std::cout << dump(j) << "\n";
    } else {
        std::cout << shown(batch_likelihood_line(r, s.format())) << "\n"
                  << shown(r.label8) << "\n"
                  << shown(headline(e, s.format())) << "\n"
                  << shown_lines(r.interval_text) << "\n";
        if (checks) {
            if (checks->poisson.available) std::cout << checks->poisson.sentence << "\n";
            std::cout << (checks->simulated.available ? checks->simulated.sentence
                                                      : "simulated dispersion check not available: " +
                                                            checks->simulated.reason)
                      << "\n";
        }
        if (spatial) std::cout << spatial_check_sentence(*spatial, s.format()) << "\n";
        if (!e.fit_ok) std::cout << "the fit failed (failure code " << e.fail_code << "): see the message above\n";
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
