// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate.h"

#include <cmath>

#include "cycle/number_format.h"
#include "cycle/text.h"
#include "fit_call.h"
#include "report.h"

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

// The dogs present from the estimate's dogs seen: the counted dogs and the estimate shown
// (the named ward's alone), over the sighting proportion. The delta limits take the Wald
// prediction variance of the dogs seen; the bootstrap's take its replicates' totals.
DogsPresent dogs_present(const SightingInput& in, const EstimateResult& e, const std::vector<double>* boot_totals,
                         uint64_t seed) {
    DogsPresent d;
    d.sighting = sighting_proportion(in);
    const SightingProportion& p = d.sighting;
    const bool ward = e.total.ward_named;
    const double counted = ward ? 0.0 : e.counts.counted_total;
    d.seen = counted + (e.no_unsurveyed_ward ? 0.0 : e.total.pop_est);
    d.estimate = d.seen / p.p;
    d.all_seen = p.p >= 1.0;
    d.few_seen = p.p < 0.2;
    d.few_marked = p.counts > 0 && static_cast<double>(p.counts) * static_cast<double>(p.marked) < 30.0;
    for (const WardPrediction& w : e.ward_predictions) d.ward.push_back(w.prediction / p.p);

    Interval delta(IntervalKind::delta, ScoreTarget::dogs_present, {});
    const Available<Limits>& wald = e.wald();
    if (!e.no_unsurveyed_ward && !wald) {
        delta.limits = Available<Limits>::why_not(wald.reason());
    } else if (!(d.seen > 0.0)) {
        delta.limits = Available<Limits>::why_not("no dog was counted or estimated");
    } else {
        const double var_t = e.no_unsurveyed_ward ? 0.0 : e.total.variance;
        delta.limits = Available<Limits>::of(dogs_present_delta(d.seen, var_t, p));
    }
    d.intervals.push_back(std::move(delta));

    if (const Interval* boot = e.interval(IntervalKind::bootstrap)) {
        Interval b(IntervalKind::bootstrap, ScoreTarget::dogs_present, {});
        MonteCarlo mc = boot->monte_carlo.value_or(MonteCarlo{});
        // a named ward's replicates are its own draws, and no counted dogs are added to them
        if (!boot->limits || !boot_totals) {
            b.limits = Available<Limits>::why_not(boot->limits.reason());
        } else {
            std::vector<double> seen;
            seen.reserve(boot_totals->size());
            for (double t : *boot_totals) seen.push_back(counted + t);
            DogsPresentBootstrap db = dogs_present_bootstrap(seen, p, seed);
            b.limits = std::move(db.limits);
            mc.lower_error = db.lower_error;
            mc.upper_error = db.upper_error;
        }
        b.monte_carlo = mc;
        d.intervals.push_back(std::move(b));
    }
    return d;
}

// Box i of a position k: 1..np+1 the constant and coefficients, np+2 the extra parameter.
std::size_t box_of(int32_t k, int np) { return static_cast<std::size_t>(k <= np + 1 ? k - 1 : 5); }

}  // namespace

const Available<Limits>& EstimateResult::limits(IntervalKind kind) const {
    static const Available<Limits> kNotAsked = Available<Limits>::why_not("not asked for");
    const Interval* i = interval(kind);
    return i ? i->limits : kNotAsked;
}

double EstimateResult::variance(int32_t k) const {
    if (!cov) return std::nan("");
    const auto u = static_cast<std::size_t>(k - 1);
    return (*cov)[u][u];
}

ShownDogs shown_dogs(const EstimateResult& e) {
    const double shift = e.total.ward_named ? 0.0 : e.counts.counted_total;
    ShownDogs d;
    d.estimate = shift + (e.no_unsurveyed_ward ? 0.0 : e.total.pop_est);
    const Available<Limits>& w = e.wald();
    d.limits = w ? Available<Limits>::of({shift + w->lower, shift + w->upper}) : w;
    return d;
}

std::string headline(const EstimateResult& e, const NumberFormat& fmt) {
    const double counted = e.counts.counted_total;
    const auto number = [&](double v) { return limit_text(v, fmt); };
    if (e.no_unsurveyed_ward) return "Dogs in the town: " + number(counted) + ", all counted (every ward was surveyed)";
    const bool ward = e.total.ward_named;
    const ShownDogs d = shown_dogs(e);
    std::string out = (ward ? "Dogs in ward " + printable(e.state.unsurveyed_name(e.total.ward_index), 200)
                            : std::string("Dogs in the town")) +
                      ": " + number(d.estimate);
    out += d.limits ? " (95 % prediction limits " + number(d.limits->lower) + " to " + number(d.limits->upper) + ")"
                    : " (limits not available: " + d.limits.reason() + ")";
    if (!ward) out += ", of which " + number(counted) + " counted";
    return out;
}

void check_data_carries_model(const EstimationState& s, const std::array<bool, 5>& free, const NumberFormat& fmt) {
    long n_free = 1;
    for (int j = 0; j <= std::min(4, static_cast<int>(s.n_pred)); ++j) n_free += free[static_cast<std::size_t>(j)] ? 1 : 0;
    if (s.n_surveyed - n_free < 1)
        throw UserError("There are " + std::to_string(s.n_surveyed) + " surveyed wards for " + std::to_string(n_free) +
                            " free parameters: the estimate needs at least one surveyed ward more than free "
                            "parameters. Untick predictors or survey more wards.",
                        "Estimate");
    if (distribution(s.err_dist).counts_at_least_one)
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
    s.err_dist = q.dist;
    const Progress& progress = services.progress;
    check_data_carries_model(s, q.free, NumberFormat{});
    if (q.sighting) {
        const std::string problem = sighting_problem(*q.sighting);
        if (!problem.empty()) throw UserError("Sighting correction: " + problem + ".", "Estimate");
    }
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
    if (cov.matrix && !design_identifies(s, setup.free)) {
        // a singular matrix's inverse is rounding noise, not limits
        cov.matrix = Available<CovarianceMatrix>::why_not(
            "the free predictors are not of full rank on the surveyed wards (one is constant, or copies others): the "
            "data do not identify every free parameter");
    }
    e.evaluations.covariance = cov.evaluations;
    e.cov = cov.matrix;
    static const CovarianceMatrix kNone{};
    const CovarianceMatrix& matrix = cov.matrix ? *cov.matrix : kNone;
    e.lp = linear_predictor_variances(s, matrix);
    e.t = s.t_value(e.counts.df);

    // the total (or the named ward's) and its Wald limits
    e.total = estimate(s, q.ward, e.counts, e.lp);
    s.pop_est = e.total.pop_est;
    e.intervals.emplace_back(IntervalKind::wald, e.no_unsurveyed_ward
                                                     ? Available<Limits>::why_not("there is no unsurveyed ward")
                                                     : wald_limits(e.total, cov.matrix.reason(), e.t));

    // the expected total's confidence limits by the delta method
    Interval delta{IntervalKind::delta};
    if (e.no_unsurveyed_ward) {
        delta.limits = Available<Limits>::why_not("there is no unsurveyed ward");
    } else if (!cov.matrix) {
        delta.limits = Available<Limits>::why_not(cov.matrix.reason());
    } else {
        const double v = expected_total_variance(s, b, matrix, e.total.ward_named ? e.total.ward_index : 0);
        if (v >= 0.0 && std::isfinite(v))
            delta.limits = Available<Limits>::of({e.total.pop_est - e.t * std::sqrt(v), e.total.pop_est + e.t * std::sqrt(v)});
        else
            delta.limits = Available<Limits>::why_not("the variance of the expected total is negative");
    }
    e.intervals.push_back(std::move(delta));
    for (long w = 1; q.ward_predictions && w <= s.n_unsurveyed; ++w) {
        const auto k = static_cast<std::size_t>(w - 1);
        WardPrediction p{s.unsurveyed_name(w), s.unsurveyed_pred(w), {}};
        const double variance = e.counts.ward[k] + e.lp.ward[k];
        if (!cov.matrix) {
            p.limits = Available<Limits>::why_not(cov.matrix.reason());
        } else if (variance >= 0.0 && std::isfinite(variance)) {
            const double lower = std::max(0.0, p.prediction - e.t * std::sqrt(variance));
            p.limits = Available<Limits>::of({lower, p.prediction - lower + p.prediction});
        } else {
            p.limits = Available<Limits>::why_not("the ward's variance is negative");
        }
        e.ward_predictions.push_back(std::move(p));
    }

    // the likelihood profile and its limits
    // a named ward that is not there leaves the whole town's estimate, and so its profile
    e.profiled = q.profile && !e.total.ward_named && s.n_unsurveyed > 0;
    e.profile_total_hat = fixed_total_at(setup.data, fit.value);
    Interval profile{IntervalKind::profile};
    profile.attempted = e.profiled;
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
        Profile prof = likelihood_profile(call, pin, progress);
        e.evaluations.profile = prof.evaluations;
        e.evaluations.profile_limits = prof.limit_evaluations;
        e.higher_profile_point = prof.higher_point;
        e.profile = std::move(prof.points);
        profile.limits = std::move(prof.limits.limits);
    } else {
        profile.limits = Available<Limits>::why_not(e.total.ward_named     ? "a ward is named"
                                                    : s.n_unsurveyed == 0 ? "there is no unsurveyed ward"
                                                                          : "the profile was not asked for");
    }
    e.intervals.push_back(std::move(profile));

    // the bootstrap
    std::vector<double> boot_totals;
    bool boot_drawn = false;
    if (q.bootstrap_reps > 0) {
        Interval boot{IntervalKind::bootstrap};
        MonteCarlo mc;
        mc.reps = q.bootstrap_reps;
        if (s.n_unsurveyed == 0) {
            boot.limits = Available<Limits>::why_not("there is no unsurveyed ward");
        } else {
            Parameters boot_start = setup.params;
            boot_start.value = fit.value;
            BootstrapResult br =
                bootstrap_total(call, boot_start, setup.free, s, q.bootstrap_reps, q.bootstrap_seed, progress,
                                e.total.ward_named ? e.total.ward_index : 0);
            mc.failed = br.failed;
            mc.lower_error = br.lower_error;
            mc.upper_error = br.upper_error;
            boot.limits = std::move(br.limits);
            boot_totals = std::move(br.totals);
            boot_drawn = true;
        }
        boot.monte_carlo = mc;
        e.intervals.push_back(std::move(boot));
    }

    // the dogs present
    if (q.sighting)
        e.dogs_present = dogs_present(*q.sighting, e, boot_drawn ? &boot_totals : nullptr, q.bootstrap_seed);
    return e;
}

}  // namespace valdmora
