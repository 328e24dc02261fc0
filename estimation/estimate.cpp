#include "estimate.h"

#include <cmath>

#include "cycle/number_format.h"
#include "cycle/text.h"
#include "fit_call.h"

namespace valdmora {

namespace {

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

// Box i of a position k: 1..np+1 the constant and coefficients, np+2 the extra parameter.
std::size_t box_of(int32_t k, int np) { return static_cast<std::size_t>(k <= np + 1 ? k - 1 : 5); }

}  // namespace

void check_data_carries_model(const EstimationState& s, const std::array<bool, 5>& free, const NumberFormat& fmt) {
    long n_free = 1;
    for (int j = 0; j <= std::min(4, static_cast<int>(s.n_pred)); ++j) n_free += free[static_cast<std::size_t>(j)] ? 1 : 0;
    if (s.n_surveyed - n_free < 1)
        throw UserError("There are " + std::to_string(s.n_surveyed) + " surveyed wards for " + std::to_string(n_free) +
                            " free parameters: the estimate needs at least one surveyed ward more than free "
                            "parameters. Untick predictors or survey more wards.",
                        "Estimate");
    if (s.err_dist == 1)
        for (long i = 1; i <= s.n_surveyed; ++i)
            if (s.surveyed_count(i) < 1.0f)
                throw UserError("Ward " + printable(s.surveyed_name(i)) + " has a count of " +
                                    general_number(s.surveyed_count(i), fmt) +
                                    "; the lognormal distribution needs every count to be at least 1. Choose the "
                                    "normal or negative binomial distribution.",
                                "Estimate");
}

EstimateResult run_estimate(const EstimateRequest& q, const EstimationState& state, const ClickServices& services) {
    EstimateResult e;
    e.state = state;
    EstimationState& s = e.state;
    s.err_dist = static_cast<int16_t>(q.dist);
    const Progress& progress = services.progress;
    check_data_carries_model(s, q.free, NumberFormat{});
    if (!services.library.bound()) throw UserError("The model library is not bound.", "Model library");
    progress.check_cancel();

    // set-up and fit
    BoxValues start{};
    for (int i = 0; i < 6; ++i) start[static_cast<std::size_t>(i)] = i <= s.n_pred || i == 5 ? q.start[static_cast<std::size_t>(i)] : 0.0;
    e.setup = set_up_fit(s, start, q.free);
    const FitSetup& setup = e.setup;
    const FitCall call(services.library, setup.data);
    progress.stage("fit", 1 + static_cast<int>(q.extra_starts.size()));
    FitOutcome fit = call.fit(setup.params, setup.free);
    e.evaluations.fit = fit.evaluations;
    for (const BoxValues& values : q.extra_starts) {
        progress.step();
        Parameters other = setup.params;
        for (int k = 1; k <= s.n_pred + 2; ++k) other.value[static_cast<std::size_t>(k - 1)] = values[box_of(k, s.n_pred)];
        FitOutcome f = call.fit(other, setup.free);
        e.evaluations.fit += f.evaluations;
        if (f.finite && (!fit.finite || f.objective < fit.objective)) fit = std::move(f);
    }
    e.fail_code = fit.code;
    e.fit_ok = fit.accepted();
    if (!fit.finite)
        throw UserError("The model could not be fitted: the likelihood has no finite value at the start values "
                        "(failure code " + std::to_string(fit.code) + "). Check the start values and the counts.",
                        "Estimate");
    e.free_pos = setup.free;
    e.lower_bound = setup.params.lower;
    e.upper_bound = setup.params.upper;
    e.on_bound = positions_on_bounds(setup.params, setup.free, fit.value);
    e.par_value = fit.value;
    const long n_free = static_cast<long>(setup.free.size());

    // Everything reported is computed from the estimates at full precision: the boxes'
    // four decimals can leave a slope of 0.0005 one significant digit.
    Parameters estimates = setup.params;
    for (int32_t k : setup.free) estimates.value[static_cast<std::size_t>(k - 1)] = fit.value[static_cast<std::size_t>(k - 1)];
    BoxValues& b = e.values;
    for (int k = 1; k <= s.n_pred + 2; ++k) b[box_of(k, s.n_pred)] = estimates.value[static_cast<std::size_t>(k - 1)];

    // the unsurveyed wards' predictions and their total, the count variances
    predict_unsurveyed(s, b);
    e.unsurveyed_total = s.pop_est;
    e.no_unsurveyed_ward = s.n_unsurveyed == 0;
    e.counts = count_variances(s, b, n_free);
    s.max_ll = -fit.objective;
    e.max_ll = s.max_ll;
    s.prev_max_ll = s.max_ll;
    predict_surveyed(s, b);

    // covariance and the linear predictors' variances
    Covariance cov = covariance(call, estimates, setup.free, progress);
    if (cov.ok && !design_identifies(s, setup.free)) {
        // a singular matrix's inverse is rounding noise, not limits
        cov = Covariance{{}, false, "the free predictors are not of full rank on the surveyed wards (one is constant, "
                                    "or copies others): the data do not identify every free parameter", cov.evaluations,
                         cov.value_after};
    }
    e.evaluations.covariance = cov.evaluations;
    e.cov = cov.cov;
    e.covariance_ok = cov.ok;
    e.covariance_problem = cov.problem;
    e.lp = linear_predictor_variances(s, cov.cov);
    e.t = s.t_value(e.counts.df);

    // the total (or the named ward's) and its Wald limits
    e.total = estimate(s, q.ward, e.counts, e.lp, cov.problem, e.t);
    s.pop_est = e.total.pop_est;

    // the expected total's confidence limits by the delta method
    if (e.no_unsurveyed_ward) {
        e.delta.reason = "there is no unsurveyed ward";
    } else if (e.total.ward_missing) {
        e.delta.reason = "the named ward was not found";
    } else if (!cov.ok) {
        e.delta.reason = cov.problem;
    } else {
        const double v = expected_total_variance(s, b, cov.cov, e.total.ward_named ? e.total.ward_index : 0);
        if (v >= 0.0 && std::isfinite(v)) {
            e.delta.available = true;
            e.delta.lower = e.total.pop_est - e.t * std::sqrt(v);
            e.delta.upper = e.total.pop_est + e.t * std::sqrt(v);
        } else {
            e.delta.reason = "the variance of the expected total is negative";
        }
    }
    for (long w = 1; q.ward_predictions && w <= s.n_unsurveyed; ++w) {
        const auto k = static_cast<std::size_t>(w - 1);
        EstimateResult::WardPrediction p{s.unsurveyed_name(w), s.unsurveyed_pred(w), std::nan(""), std::nan("")};
        const double variance = e.counts.ward[k] + e.lp.ward[k];
        if (cov.ok && variance >= 0.0 && std::isfinite(variance)) {
            p.lower = std::max(0.0, p.prediction - e.t * std::sqrt(variance));
            p.upper = p.prediction - p.lower + p.prediction;
        }
        e.ward_predictions.push_back(std::move(p));
    }

    // the likelihood profile and its limits
    e.profiled = q.profile && q.ward.empty() && s.n_unsurveyed > 0;
    e.profile_total_hat = fixed_total_at(setup.data, fit.value);
    if (e.profiled) {
        ProfileInput pin;
        pin.estimates = estimates;
        pin.estimates.value = cov.value_after;  // every parameter at its estimate or fixed value
        for (int j = 1; j <= std::min(4, static_cast<int>(s.n_pred)); ++j)
            if (q.free[static_cast<std::size_t>(j)]) pin.free.push_back(j + 1);
        pin.free.push_back(s.n_pred + 2);
        pin.pop_est = s.pop_est;
        pin.range_percent = q.range_percent;
        pin.max_ll = s.max_ll;
        pin.constant_free = q.free[0];
        pin.total_hat = e.profile_total_hat;
        const Profile prof = likelihood_profile(call, pin, progress);
        e.evaluations.profile = prof.evaluations;
        e.evaluations.profile_limits = prof.limit_evaluations;
        e.higher_profile_point = prof.higher_point;
        e.profile = prof.points;
        e.profile_limits = prof.limits;
    } else {
        e.profile_limits.reason = !q.ward.empty()       ? "a ward is named"
                                  : s.n_unsurveyed == 0 ? "there is no unsurveyed ward"
                                                        : "the profile was not asked for";
    }

    // the bootstrap
    if (q.bootstrap_reps > 0) {
        if (s.n_unsurveyed == 0) {
            BootstrapResult none;
            none.reps = q.bootstrap_reps;
            none.problem = "there is no unsurveyed ward";
            e.bootstrap = none;
        } else {
            Parameters boot_start = setup.params;
            boot_start.value = fit.value;
            e.bootstrap = bootstrap_total(call, boot_start, setup.free, s, q.bootstrap_reps, q.bootstrap_seed, progress);
        }
    }
    return e;
}

}  // namespace valdmora
