#include "click.h"

#include <cmath>
#include <memory>

#include "cycle/command_cycle.h"
#include "cycle/csv.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "estimate.h"
#include "predictions.h"
#include "report.h"
#include "setup.h"
#include "simulation.h"

namespace valdmora {
namespace {

const Rgb kGreen{0, 192, 0};
const Rgb kRed{255, 0, 0};


// The request of numbers a click's texts make: every box that the model reads, the range of
// the likelihood chart, the ticks; a text that is not a number raises a UserError naming it.
EstimateRequest click_request(const ClickInput& in, const EstimationState& s, const std::array<std::string, 6>& boxes) {
    EstimateRequest q;
    q.dist = s.err_dist;
    for (int j = 0; j <= s.n_pred; ++j) q.start[static_cast<std::size_t>(j)] = box_number(in, boxes, j, "Estimate");
    q.start[5] = box_number(in, boxes, 5, "Estimate");
    if (in.ward.empty()) {
        const auto r = parse_number(in.range_text, in.fmt);
        if (!r || !(*r > 0.0))
            throw UserError("The range of the likelihood chart is \"" + printable(in.range_text) +
                                "\"; it must be a percentage above 0, such as 50.",
                            "Estimate");
        q.range_percent = *r;
    }
    q.free = in.beta_checked;
    check_data_carries_model(s, q.free, in.fmt);
    for (const auto& texts : in.extra_starts) {
        BoxValues v{};
        for (int j = 0; j <= s.n_pred; ++j) v[static_cast<std::size_t>(j)] = box_number(in, texts, j, "Estimate");
        v[5] = box_number(in, texts, 5, "Estimate");
        q.extra_starts.push_back(v);
    }
    q.ward = in.ward;
    q.profile = in.profile;
    q.ward_predictions = in.files;
    q.bootstrap_reps = in.bootstrap_reps;
    q.bootstrap_seed = in.bootstrap_seed;
    return q;
}

std::string limits_sentence(double lower, double upper, const NumberFormat& fmt) {
    return limit_text(lower, fmt) + " to " + limit_text(upper, fmt);
}

// The notices a result needs before it can be trusted: an estimate on a bound, limits of
// no width, a lower limit far below zero.
void trust_notices(ClickResult& r, const ClickInput& in, int np) {
    for (int32_t k : r.on_bound) {
        const auto u = static_cast<std::size_t>(k - 1);
        const int box = k <= np + 1 ? k - 1 : 5;
        const bool lower = std::fabs(r.par_value[u] - r.lower_bound[u]) <= std::fabs(r.par_value[u] - r.upper_bound[u]);
        r.notices.push_back(
            {"Estimate",
             "The estimate of " + in.beta_label[static_cast<std::size_t>(box)] + " ended on its " +
                 (lower ? "lower" : "upper") + " bound of " + general_number(lower ? r.lower_bound[u] : r.upper_bound[u], in.fmt) +
                 ": the likelihood still rises beyond it, so that estimate, its standard error and the Wald limits "
                 "are unreliable.",
             box == 5 && lower && r.state.err_dist == 3
                 ? "The counts vary no more than Poisson counts would; see the overdispersion check."
                 : "Check the counts and the predictors, or fix this parameter and estimate again.",
             false});
    }
    if (r.bootstrap && r.bootstrap->available && !(r.bootstrap->upper > r.bootstrap->lower))
        r.notices.push_back({"Bootstrap",
                             "The bootstrap limits have no width: every replicate drew the same total, so they say "
                             "nothing about the uncertainty.",
                             "The counts may all be equal, or a parameter may sit on a bound.", false});
    if (r.limits_ok && !r.no_unsurveyed_ward) {
        if (!(r.pop_upper > r.pop_lower))
            r.notices.push_back({"Estimate",
                                 "The limits of the estimate have no width: the model sees no uncertainty in it, "
                                 "which real counts never justify.",
                                 "A parameter may sit on a bound, or the counts may all be equal.", false});
        else if (r.pop_lower < -0.1 * r.pop_est)
            r.notices.push_back({"Estimate",
                                 "The lower limit of the estimate is far below zero: the symmetric Wald interval "
                                 "does not suit these data.",
                                 "Read the profile-likelihood or bootstrap limits instead.", false});
    }
}



}  // namespace

std::string box_text(double value, const NumberFormat& fmt) {
    std::string text = format_number(value, "###.####", fmt);
    if (text == std::string(1, fmt.decimal)) text = "0";  // the box's own change rule
    return text;
}

double box_number(const ClickInput& in, const std::array<std::string, 6>& boxes, int i, const char* title) {
    const auto v = parse_number(boxes[static_cast<std::size_t>(i)], in.fmt);
    if (!v)
        throw UserError("The value of " + in.beta_label[static_cast<std::size_t>(i)] + " is \"" +
                            boxes[static_cast<std::size_t>(i)] + "\", which is not a number. Enter a number and click again.",
                        title);
    return *v;
}

ClickResult run_estimating_click(const ClickInput& in, const EstimationState& state, const ClickServices& services) {
    ClickResult r;
    r.state = state;
    r.beta_text = in.beta_text;
    EstimationState& s = r.state;
    if (in.err_dist != 0) s.err_dist = in.err_dist;
    const Progress& progress = services.progress;
    const NumberFormat& fmt = in.fmt;

    const bool new_simulation = simulation_mode(in.data_path, in.just_estimate ? 1 : 0);
    if (new_simulation) {
        std::unique_ptr<UniformSource> own;
        UniformSource* u = services.random;
        if (!u) {
            own = std::make_unique<MersenneUniform>();
            u = own.get();
        }
        if (services.reseed_from_clock || !services.random) u->reseed(clock_seed());
        r.key_names = simulate_data(in, s, r.beta_text, *u, progress).key_names;
        r.simulated = true;
    }
    const EstimateRequest request = click_request(in, s, r.beta_text);
    const double prev_max_ll = s.prev_max_ll;
    EstimateResult e = run_estimate(request, s, services);
    s = std::move(e.state);

    // the fit
    r.fail_code = e.fail_code;
    r.fit_ok = e.fit_ok;
    if (in.files) r.files.push_back({kUserFile, user_file_text(e.setup, fmt)});
    r.free_pos = e.free_pos;
    r.lower_bound = e.lower_bound;
    r.upper_bound = e.upper_bound;
    r.on_bound = e.on_bound;
    r.par_value = e.par_value;
    r.evaluations = e.evaluations;
    if (!r.fit_ok)
        r.notices.push_back({"Estimate",
                             "The fit did not converge (failure code " + std::to_string(e.fail_code) +
                                 "): the estimates, the likelihood and the limits shown are those of the point where "
                                 "the search stopped.",
                             "Try other start values, or fewer free parameters.", false});

    // 1, 2: outcome colour and the estimates into their boxes, as the boxes show them
    r.label8_colour = r.fit_ok ? kGreen : kRed;
    for (int32_t k : e.free_pos) {
        const auto box = static_cast<std::size_t>(k <= s.n_pred + 1 ? k - 1 : 5);
        r.beta_text[box] = box_text(e.values[box], fmt);
    }
    // 3, 4: the unsurveyed wards' predictions and their total
    r.no_unsurveyed_ward = e.no_unsurveyed_ward;
    if (new_simulation && !r.no_unsurveyed_ward) s.est_total_sum += e.unsurveyed_total;
    // 5, 6
    r.counted_total = e.counts.counted_total;
    r.df = e.counts.df;
    // 7: the likelihood line
    r.max_ll = e.max_ll;
    r.label7 = likelihood_line(e.max_ll, prev_max_ll, false, fmt);
    // 8: the counts chart
    r.counts.heights = s.surveyed_count.values();
    r.counts.positions = s.surveyed_pred.values();
    r.counts.title = "predicted";
    r.counts.origin_at_zero = in.origin_at_zero;
    // 9, 10
    r.cov = e.cov;
    r.covariance_ok = e.covariance_ok;
    // 11: the predictions file
    if (in.files) r.files.push_back({kPredictionsFile, predictions_file_text(s, e.counts, e.lp, e.covariance_ok, e.t, fmt)});
    // 12: the estimate sentence
    const Estimate& est = e.total;
    r.pop_est = est.pop_est;
    r.pop_lower = est.lower;
    r.pop_upper = est.upper;
    r.limits_ok = est.limits_ok;
    r.total_variance = est.variance;
    r.ward_missing = est.ward_missing;
    if (!est.limits_ok) r.label8_colour = kRed;
    if (r.no_unsurveyed_ward) {
        r.label8 = "no unsurveyed ward to estimate; " + format_number(e.counts.counted_total, "0", fmt) + " dogs counted";
        r.limits_ok = false;
    } else {
        r.label8 = estimate_sentence(est, e.counts.counted_total, fmt);
    }
    r.delta = e.delta;
    r.ward_predictions = std::move(e.ward_predictions);
    if (est.ward_missing)
        r.notices.push_back({"Ward", "specified unsurveyed ward not found in data file",
                             "No unsurveyed ward is named \"" + printable(in.ward, 200) +
                                 "\" (letter case counts); the estimate shown is for all unsurveyed wards.",
                             true});

    // 14: the likelihood profile, its limits, and the bootstrap
    r.profile_total_hat = e.profile_total_hat;
    r.profile_limits = e.profile_limits;
    if (e.profiled) {
        r.higher_profile_point = e.higher_profile_point;
        r.profile = std::move(e.profile);
        LikelihoodChartData chart;
        for (const ProfilePoint& p : r.profile) {
            chart.log_likelihood.push_back(static_cast<float>(p.log_likelihood));
            chart.total.push_back(static_cast<float>(std::round(p.total)));  // as the pattern "0" writes it
        }
        chart.sim_total = s.sim_total;
        chart.lower = r.pop_lower;
        chart.upper = r.pop_upper;
        chart.simulated = in.data_path.empty();
        chart.profile_limits = r.profile_limits.available;
        chart.profile_lower = r.profile_limits.lower;
        chart.profile_upper = r.profile_limits.upper;
        r.likelihood = std::move(chart);
        if (r.higher_profile_point) r.label7 = likelihood_line(e.max_ll, prev_max_ll, true, fmt);
    } else {
        r.clear_likelihood = r.no_unsurveyed_ward;
    }
    // Two targets: the dogs actually in the unsurveyed wards (prediction limits) and their
    // expected number (confidence limits). Each line names its own.
    std::string intervals;
    if (!r.no_unsurveyed_ward) {
        if (est.limits_ok)
            intervals = "in brackets: Wald 95 % prediction limits of the dogs in the " +
                        std::string(est.ward_named ? "ward" : "unsurveyed wards") + "\n";
        else
            intervals = "no limits for the estimate: " + est.problem + "\n";
        if (r.delta.available)
            intervals += "delta-method 95 % confidence limits of the expected number of dogs: " +
                         limits_sentence(r.delta.lower, r.delta.upper, fmt) + "\n";
    }
    if (r.profile_limits.available)
        intervals += "profile-likelihood 95 % confidence limits of the expected number of dogs (the unsurveyed "
                     "wards' summed linear predictor, the estimate when no mean sits on the floor): " +
                     limits_sentence(r.profile_limits.lower, r.profile_limits.upper, fmt);
    else
        intervals += "profile-likelihood limits not available: " + r.profile_limits.reason;
    r.bootstrap = std::move(e.bootstrap);
    if (r.bootstrap) {
        const BootstrapResult& bs = *r.bootstrap;
        intervals += "\n";
        if (bs.available)
            intervals += "bootstrap 95 % prediction limits of the dogs in the unsurveyed wards (" +
                         std::to_string(bs.reps - bs.failed) + " of " + std::to_string(bs.reps) +
                         " replicates): " + limits_sentence(bs.lower, bs.upper, fmt) + ", Monte Carlo error " +
                         limit_text(bs.lower_error, fmt) + " and " + limit_text(bs.upper_error, fmt) +
                         (bs.failed > 0 ? "; " + std::to_string(bs.failed) + " refits failed and were left out" : "");
        else
            intervals += "bootstrap limits not available: " + bs.problem;
    }
    // 13: the score of a simulation series, once every interval is known
    if (new_simulation) {
        if (!r.no_unsurveyed_ward) {
            // without limits the true total cannot be shown inside them: it counts as outside
            if (scored_outside(ScoreTarget::dogs_drawn, r.limits_ok, r.pop_lower, r.pop_upper, s.sim_total))
                s.n_outside_cl = add16(s.n_outside_cl, 1, "number of simulations outside the limits");
            // the confidence limits against the expected number of dogs the generator drew about
            const double expected = s.sim_expected_total;
            if (e.profiled) {
                s.n_profile_scored = add16(s.n_profile_scored, 1, "number of simulations scored");
                if (scored_outside(ScoreTarget::expected_number, r.profile_limits.available, r.profile_limits.lower,
                                   r.profile_limits.upper, expected))
                    s.n_outside_profile = add16(s.n_outside_profile, 1, "number of simulations outside the limits");
            }
            s.n_delta_scored = add16(s.n_delta_scored, 1, "number of simulations scored");
            if (scored_outside(ScoreTarget::expected_number, r.delta.available, r.delta.lower, r.delta.upper, expected))
                s.n_outside_delta = add16(s.n_outside_delta, 1, "number of simulations outside the limits");
            if (r.bootstrap) {
                s.n_boot_scored = add16(s.n_boot_scored, 1, "number of simulations scored");
                if (scored_outside(ScoreTarget::dogs_drawn, r.bootstrap->available, r.bootstrap->lower,
                                   r.bootstrap->upper, s.sim_total))
                    s.n_outside_boot = add16(s.n_outside_boot, 1, "number of simulations outside the limits");
            }
        }
        r.lbl_tot_sim_dog = simulation_summary_line(s, fmt);
        if (!r.no_unsurveyed_ward)
            intervals += "\nthis simulation: " + format_number(s.sim_total, "0", fmt) +
                         " dogs drawn in the unsurveyed wards (the target of the prediction limits) about an expected " +
                         format_number(s.sim_expected_total, "0", fmt) + " (the target of the confidence limits)";
        const std::string score = interval_scores(s);
        if (!score.empty()) intervals += "\n" + score;
    }
    r.interval_text = intervals;
    trust_notices(r, in, s.n_pred);
    if (r.profile_limits.available && r.profile_limits.upper <= r.profile_limits.lower)
        r.notices.push_back({"Estimate", "The profile-likelihood limits have no width.", "", false});
    // 15
    r.show_ward_controls = !in.data_path.empty();
    return r;
}

std::string ward_predictions_csv(const std::vector<ClickResult::WardPrediction>& wards) {
    // for programs: points for decimals, whatever the locale
    std::string csv = "ward,prediction,lower,upper\n";
    for (const ClickResult::WardPrediction& w : wards)
        csv += CsvRow().text(w.name).number(w.prediction).number(w.lower).number(w.upper).line();
    return csv;
}

}  // namespace valdmora
