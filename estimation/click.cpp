#include "click.h"

#include <cmath>
#include <memory>

#include "cycle/command_cycle.h"
#include "cycle/csv.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "predictions.h"
#include "report.h"
#include "setup.h"
#include "simulation.h"

namespace valdmora {
namespace {

const Rgb kGreen{0, 192, 0};
const Rgb kRed{255, 0, 0};


// Inputs that can be checked before anything is fitted or written.
double check_inputs(const ClickInput& in, const EstimationState& s, const std::array<std::string, 6>& boxes) {
    for (int j = 0; j <= s.n_pred; ++j) box_number(in, boxes, j, "Estimate");
    box_number(in, boxes, 5, "Estimate");
    double range = 50.0;
    if (in.ward.empty()) {
        const auto r = parse_number(in.range_text, in.fmt);
        if (!r || !(*r > 0.0))
            throw UserError("The range of the likelihood chart is \"" + printable(in.range_text) +
                                "\"; it must be a percentage above 0, such as 50.",
                            "Estimate");
        range = *r;
    }
    long n_free = 1;
    for (int j = 0; j <= std::min(4, static_cast<int>(s.n_pred)); ++j) n_free += in.beta_checked[static_cast<std::size_t>(j)] ? 1 : 0;
    if (s.n_surveyed - n_free < 1)
        throw UserError("There are " + std::to_string(s.n_surveyed) + " surveyed wards for " + std::to_string(n_free) +
                            " free parameters: the estimate needs at least one surveyed ward more than free "
                            "parameters. Untick predictors or survey more wards.",
                        "Estimate");
    if (s.err_dist == 1)
        for (long i = 1; i <= s.n_surveyed; ++i)
            if (s.surveyed_count(i) < 1.0f)
                throw UserError("Ward " + printable(s.surveyed_name(i)) + " has a count of " +
                                    general_number(s.surveyed_count(i), in.fmt) +
                                    "; the lognormal distribution needs every count to be at least 1. Choose the "
                                    "normal or negative binomial distribution.",
                                "Estimate");
    return range;
}

std::string limits_sentence(double lower, double upper, const NumberFormat& fmt) {
    return limit_text(lower, fmt) + " to " + limit_text(upper, fmt);
}

// Positions whose estimate ended on one of its bounds.
std::vector<int32_t> positions_on_bounds(const Parameters& p, const std::vector<int32_t>& free,
                                         const std::vector<double>& value) {
    std::vector<int32_t> out;
    for (int32_t k : free) {
        const auto u = static_cast<std::size_t>(k - 1);
        for (double bound : {p.lower[u], p.upper[u]})
            if (std::fabs(value[u] - bound) <= 1e-6 * std::max(1.0, std::fabs(bound))) {
                out.push_back(k);
                break;
            }
    }
    return out;
}

// The notices a result needs before it can be trusted: an estimate on a bound, limits of
// no width, a lower limit far below zero.
void trust_notices(ClickResult& r, const ClickInput& in, const Parameters& p, int np) {
    for (int32_t k : r.on_bound) {
        const auto u = static_cast<std::size_t>(k - 1);
        const int box = k <= np + 1 ? k - 1 : 5;
        const bool lower = std::fabs(r.par_value[u] - p.lower[u]) <= std::fabs(r.par_value[u] - p.upper[u]);
        r.notices.push_back(
            {"Estimate",
             "The estimate of " + in.beta_label[static_cast<std::size_t>(box)] + " ended on its " +
                 (lower ? "lower" : "upper") + " bound of " + general_number(lower ? p.lower[u] : p.upper[u], in.fmt) +
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
    const double range_percent = check_inputs(in, s, r.beta_text);
    if (!services.library.bound()) throw UserError("The model library is not bound.", "Model library");
    progress.check_cancel();

    // set-up and fit
    BoxValues start{};
    for (int i = 0; i < 6; ++i) start[static_cast<std::size_t>(i)] = i <= s.n_pred || i == 5 ? box_number(in, r.beta_text, i, "Estimate") : 0.0;
    FitSetup setup = set_up_fit(s, start, in.beta_checked);
    const FitCall call(services.library, setup.data);
    progress.stage("fit", 1 + static_cast<int>(in.extra_starts.size()));
    FitOutcome fit = call.fit(setup.params, setup.free);
    r.evaluations.fit = fit.evaluations;
    for (const auto& texts : in.extra_starts) {
        progress.step();
        Parameters other = setup.params;
        for (int k = 1; k <= s.n_pred + 2; ++k) {
            const int box = k <= s.n_pred + 1 ? k - 1 : 5;
            other.value[static_cast<std::size_t>(k - 1)] = box_number(in, texts, box, "Estimate");
        }
        FitOutcome f = call.fit(other, setup.free);
        r.evaluations.fit += f.evaluations;
        if (f.finite && (!fit.finite || f.objective < fit.objective)) fit = std::move(f);
    }
    r.fail_code = fit.code;
    r.fit_ok = fit.accepted();
    if (!fit.finite)
        throw UserError("The model could not be fitted: the likelihood has no finite value at the start values "
                        "(failure code " + std::to_string(fit.code) + "). Check the start values and the counts.",
                        "Estimate");
    if (in.files) r.files.push_back({kUserFile, user_file_text(setup, fmt)});
    r.free_pos = setup.free;
    r.lower_bound = setup.params.lower;
    r.upper_bound = setup.params.upper;
    r.on_bound = positions_on_bounds(setup.params, setup.free, fit.value);
    r.par_value = fit.value;
    const long n_free = static_cast<long>(setup.free.size());
    if (!r.fit_ok)
        r.notices.push_back({"Estimate",
                             "The fit did not converge (failure code " + std::to_string(fit.code) +
                                 "): the estimates, the likelihood and the limits shown are those of the point where "
                                 "the search stopped.",
                             "Try other start values, or fewer free parameters.", false});

    // 1, 2: outcome colour and the estimates into their boxes
    r.label8_colour = r.fit_ok ? kGreen : kRed;
    Parameters estimates = setup.params;
    for (int32_t k : setup.free) {
        const auto u = static_cast<std::size_t>(k - 1);
        estimates.value[u] = fit.value[u];
        const int box = k <= s.n_pred + 1 ? k - 1 : 5;
        std::string text = format_number(estimates.value[u], "###.####", fmt);
        if (text == std::string(1, fmt.decimal)) text = "0";  // the box's own change rule
        r.beta_text[static_cast<std::size_t>(box)] = text;
    }
    // Everything reported is computed from the estimates at full precision: the boxes'
    // four decimals can leave a slope of 0.0005 one significant digit.
    BoxValues b{};
    for (int k = 1; k <= s.n_pred + 2; ++k)
        b[static_cast<std::size_t>(k <= s.n_pred + 1 ? k - 1 : 5)] = estimates.value[static_cast<std::size_t>(k - 1)];

    // 3, 4: the unsurveyed wards' predictions and their total
    predict_unsurveyed(s, b);
    r.no_unsurveyed_ward = s.n_unsurveyed == 0;
    if (new_simulation && !r.no_unsurveyed_ward) s.est_total_sum += s.pop_est;
    // 5, 6
    const CountVariances counts = count_variances(s, b, n_free);
    r.counted_total = counts.counted_total;
    r.df = counts.df;
    // 7: the likelihood line
    s.max_ll = -fit.objective;
    r.max_ll = s.max_ll;
    r.label7 = "maximum log likelihood = " + format_number(s.max_ll, "####.###", fmt) + ", change = " +
               format_number(s.max_ll - s.prev_max_ll, "####.###", fmt);
    s.prev_max_ll = s.max_ll;
    // 8: the surveyed wards' predictions and the counts chart
    predict_surveyed(s, b);
    r.counts.heights = s.surveyed_count.values();
    r.counts.positions = s.surveyed_pred.values();
    r.counts.title = "predicted";
    r.counts.origin_at_zero = in.origin_at_zero;
    // 9, 10: covariance and the linear predictors' variances
    Covariance cov = covariance(call, estimates, setup.free, progress);
    if (cov.ok && !design_identifies(s, setup.free)) {
        // a singular matrix's inverse is rounding noise, not limits
        cov = Covariance{{}, false, "the free predictors are not of full rank on the surveyed wards (one is constant, "
                                    "or copies others): the data do not identify every free parameter", cov.evaluations,
                         cov.value_after};
    }
    r.evaluations.covariance = cov.evaluations;
    r.cov = cov.cov;
    r.covariance_ok = cov.ok;
    const PredictorVariances lp = linear_predictor_variances(s, cov.cov);
    // 11: the predictions file
    const double t = s.t_value(counts.df);
    if (in.files) r.files.push_back({kPredictionsFile, predictions_file_text(s, counts, lp, cov.ok, t, fmt)});
    // 12: the estimate sentence
    const Estimate est = estimate(s, in.ward, counts, lp, cov.problem, t, fmt);
    s.pop_est = est.pop_est;
    r.pop_est = est.pop_est;
    r.pop_lower = est.lower;
    r.pop_upper = est.upper;
    r.limits_ok = est.limits_ok;
    r.total_variance = est.variance;
    r.ward_missing = est.ward_missing;
    if (!est.limits_ok) r.label8_colour = kRed;
    if (r.no_unsurveyed_ward) {
        r.label8 = "no unsurveyed ward to estimate; " + format_number(counts.counted_total, "0", fmt) + " dogs counted";
        r.limits_ok = false;
    } else {
        r.label8 = est.sentence;
    }
    // the expected total's confidence limits by the delta method, beside the profile's
    if (r.no_unsurveyed_ward) {
        r.delta.reason = "there is no unsurveyed ward";
    } else if (est.ward_missing) {
        r.delta.reason = "the named ward was not found";
    } else if (!cov.ok) {
        r.delta.reason = cov.problem;
    } else {
        const double v = expected_total_variance(s, b, cov.cov, est.ward_named ? est.ward_index : 0);
        if (v >= 0.0 && std::isfinite(v)) {
            r.delta.available = true;
            r.delta.lower = est.pop_est - t * std::sqrt(v);
            r.delta.upper = est.pop_est + t * std::sqrt(v);
        } else {
            r.delta.reason = "the variance of the expected total is negative";
        }
    }
    for (long w = 1; in.files && w <= s.n_unsurveyed; ++w) {
        const auto k = static_cast<std::size_t>(w - 1);
        ClickResult::WardPrediction p{s.unsurveyed_name(w), s.unsurveyed_pred(w), std::nan(""), std::nan("")};
        const double variance = counts.ward[k] + lp.ward[k];
        if (cov.ok && variance >= 0.0 && std::isfinite(variance)) {
            p.lower = std::max(0.0, p.prediction - t * std::sqrt(variance));
            p.upper = p.prediction - p.lower + p.prediction;
        }
        r.ward_predictions.push_back(std::move(p));
    }
    if (est.ward_missing)
        r.notices.push_back({"Ward", "specified unsurveyed ward not found in data file",
                             "No unsurveyed ward is named \"" + printable(in.ward, 200) +
                                 "\" (letter case counts); the estimate shown is for all unsurveyed wards.",
                             true});

    // 14: the likelihood profile, its limits, and the bootstrap
    const bool profiled = in.profile && in.ward.empty() && s.n_unsurveyed > 0;
    const bool constant_free = in.beta_checked[0];
    r.profile_total_hat = fixed_total_at(setup.data, fit.value);
    if (profiled) {
        ProfileInput pin;
        pin.estimates = estimates;
        pin.estimates.value = cov.value_after;  // every parameter at its estimate or fixed value
        for (int j = 1; j <= std::min(4, static_cast<int>(s.n_pred)); ++j)
            if (in.beta_checked[static_cast<std::size_t>(j)]) pin.free.push_back(j + 1);
        pin.free.push_back(s.n_pred + 2);
        pin.pop_est = s.pop_est;
        pin.range_percent = range_percent;
        pin.max_ll = s.max_ll;
        pin.constant_free = constant_free;
        pin.total_hat = r.profile_total_hat;
        const Profile prof = likelihood_profile(call, pin, progress);
        r.evaluations.profile = prof.evaluations;
        r.evaluations.profile_limits = prof.limit_evaluations;
        r.higher_profile_point = prof.higher_point;
        r.profile = prof.points;
        r.profile_limits = prof.limits;
        LikelihoodChartData chart;
        for (const ProfilePoint& p : prof.points) {
            chart.log_likelihood.push_back(static_cast<float>(p.log_likelihood));
            chart.total.push_back(static_cast<float>(std::round(p.total)));  // as the pattern "0" writes it
        }
        chart.sim_total = s.sim_total;
        chart.lower = r.pop_lower;
        chart.upper = r.pop_upper;
        chart.simulated = in.data_path.empty();
        chart.profile_limits = prof.limits.available;
        chart.profile_lower = prof.limits.lower;
        chart.profile_upper = prof.limits.upper;
        r.likelihood = std::move(chart);
        if (r.higher_profile_point)
            r.label7 += "; the profile found a higher likelihood than the fit, so the fit did not reach the maximum";
    } else {
        r.profile_limits.reason = !in.ward.empty()     ? "a ward is named"
                                  : s.n_unsurveyed == 0 ? "there is no unsurveyed ward"
                                                        : "the profile was not asked for";
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
    if (in.bootstrap_reps > 0) {
        if (s.n_unsurveyed == 0) {
            BootstrapResult none;
            none.reps = in.bootstrap_reps;
            none.problem = "there is no unsurveyed ward";
            r.bootstrap = none;
        } else {
            Parameters boot_start = setup.params;
            boot_start.value = fit.value;
            r.bootstrap = bootstrap_total(call, boot_start, setup.free, s, in.bootstrap_reps, in.bootstrap_seed, progress);
        }
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
            if (!r.limits_ok || outside_limits(r.pop_lower, r.pop_upper, s.sim_total))
                s.n_outside_cl = add16(s.n_outside_cl, 1, "number of simulations outside the limits");
            // the confidence limits against the expected number of dogs the generator drew about
            const double expected = s.sim_expected_total;
            if (profiled) {
                s.n_profile_scored = add16(s.n_profile_scored, 1, "number of simulations scored");
                if (!r.profile_limits.available || !covers(r.profile_limits.lower, r.profile_limits.upper, expected))
                    s.n_outside_profile = add16(s.n_outside_profile, 1, "number of simulations outside the limits");
            }
            s.n_delta_scored = add16(s.n_delta_scored, 1, "number of simulations scored");
            if (!r.delta.available || !covers(r.delta.lower, r.delta.upper, expected))
                s.n_outside_delta = add16(s.n_outside_delta, 1, "number of simulations outside the limits");
            if (r.bootstrap) {
                s.n_boot_scored = add16(s.n_boot_scored, 1, "number of simulations scored");
                if (!r.bootstrap->available || outside_limits(r.bootstrap->lower, r.bootstrap->upper, s.sim_total))
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
    trust_notices(r, in, setup.params, s.n_pred);
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
