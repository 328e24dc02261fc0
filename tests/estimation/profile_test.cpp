// SPDX-License-Identifier: GPL-3.0-or-later
// Every profile point is the constrained maximum: at least the best of many independent
// fits from random starts, also where many means sit on the floor; and the bootstrap is
// reproducible.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "cycle/count_file.h"
#include "estimation/bootstrap.h"
#include "estimation/click.h"
#include "estimation/profile.h"
#include "estimation/setup.h"
#include "testkit/intervals.h"
#include "testkit/survey.h"
#include "valdmora/modellib.h"

using namespace valdmora;
using valdmora::testing::interval_of;
using valdmora::testing::limits_of;

namespace {

const ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};

// The shipped example data, read, with the distribution chosen.
EstimationState example_state(Dist dist) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(VALDMORA_EXAMPLE_DATA));
    s.err_dist = dist;
    return s;
}

struct Example {
    EstimationState state;
    EstimateResult result;
};

// A click on the example's data: the distribution, the ticks and the start values.
ClickInput example_input(Dist dist, const std::array<bool, 5>& free, const BoxValues& start) {
    ClickInput in;
    in.data_file = true;
    in.request.dist = dist;
    in.request.free = free;
    in.request.start = start;
    return in;
}

// The estimate's bootstrap run again on its own, as the click runs it: the same fit, data
// and seed. It keeps the totals that the click's result reports only by their count.
BootstrapResult direct_bootstrap(const EstimateResult& e, const ModelLibrary& library, int reps, uint64_t seed) {
    const FitCall call(library, e.setup.data);
    Parameters start = e.setup.params;
    start.value = e.par_value;
    return bootstrap_total(call, start, e.setup.free, e.state, reps, seed, Progress());
}

// The shipped example, lognormal, the constant and households free, from start values that
// send the old profile's fits into worse basins at the low end.
Example hard_profile() {
    Example e;
    e.state = example_state(Dist::lognormal);
    ClickInput in = example_input(Dist::lognormal, {true, true, false, false, false}, {9.8221, 0.04, 0, 5, 0, 0.4});
    in.request.range_percent = 100;
    ClickServices services;
    services.library = kLibrary;
    e.result = run_estimating_click(in, e.state, services).estimate;
    return e;
}

// The best of many fits at a fixed total from random slopes and extra parameters.
double best_of_random_starts(const FitCall& call, const Parameters& at, const std::vector<int32_t>& free,
                             double total, int starts, uint32_t seed) {
    std::mt19937 gen(seed);
    double best = -std::numeric_limits<double>::infinity();
    for (int s = 0; s < starts; ++s) {
        Parameters p = at;
        for (int32_t k : free) {
            const auto u = static_cast<std::size_t>(k - 1);
            p.value[u] = k == static_cast<int32_t>(p.value.size())
                             ? std::exp(std::uniform_real_distribution<double>(std::log(0.02), std::log(30.0))(gen))
                             : std::uniform_real_distribution<double>(-0.2, 0.3)(gen);
        }
        const FitOutcome f = call.fit(p, free, total);
        if (f.finite) best = std::max(best, -f.objective);
    }
    return best;
}

}  // namespace

TEST(Profile, EveryPointIsAtLeastTheBestOfManyStarts) {
    const Example e = hard_profile();
    const EstimateResult& r = e.result;
    ASSERT_EQ(r.profile.size(), 21u);
    const FitSetup setup = set_up_fit(e.state, {0, 0, 0, 0, 0, 1}, {true, true, false, false, false});
    const FitCall call(kLibrary, setup.data);
    Parameters at = setup.params;
    at.value = r.par_value;
    // the constrained maxima, found by many random starts: every point from the 3rd to the
    // 7th (where the old profile fell into worse basins), and every other point beyond
    for (std::size_t k = 0; k < r.profile.size(); k += k >= 2 && k < 6 ? 1 : 2) {
        const double best = best_of_random_starts(call, at, {2, 5}, r.profile[k].total, 60, static_cast<uint32_t>(k));
        EXPECT_GE(r.profile[k].log_likelihood, best - 2e-4) << "point " << k;
    }
    // and the profile has no dip: it rises to its maximum and falls after it
    std::size_t top = 0;
    for (std::size_t k = 0; k < r.profile.size(); ++k)
        if (r.profile[k].log_likelihood > r.profile[top].log_likelihood) top = k;
    for (std::size_t k = 1; k < r.profile.size(); ++k) {
        if (k <= top)
            EXPECT_GE(r.profile[k].log_likelihood, r.profile[k - 1].log_likelihood - 1e-9) << k;
        else
            EXPECT_LE(r.profile[k].log_likelihood, r.profile[k - 1].log_likelihood + 1e-9) << k;
    }
}

TEST(Profile, LimitsAreUnavailableWithTheReason) {
    EstimationState s = example_state(Dist::normal);
    ClickInput in = example_input(Dist::normal, {false, true, false, false, false}, {10, 0, 0, 0, 0, 10});
    ClickServices services;
    services.library = kLibrary;
    const auto profile_reason = [&] {
        const ClickResult r = run_estimating_click(in, s, services);
        const Available<Limits>& limits = limits_of(r.estimate, IntervalKind::profile);
        EXPECT_FALSE(limits.ok());
        return limits.reason();
    };
    EXPECT_NE(profile_reason().find("constant is not free"), std::string::npos);
    in.request.free = {true, false, false, false, false};
    in.request.ward = "Elmdale";
    EXPECT_EQ(profile_reason(), "a ward is named");
    // a profile that stays within 1.92 of its maximum as the total goes to nothing: one
    // surveyed ward more than the free parameters, with a very wide spread
    in.request.ward.clear();
    EstimationState flat;
    form_load(flat);
    flat.err_dist = Dist::normal;
    flat.n_pred = 1;
    flat.data_read = -1;
    flat.resize_wards(3, 1);
    for (long i = 1; i <= 3; ++i) {
        flat.surveyed_name(i) = "S" + std::to_string(i);
        flat.surveyed_x(1, i) = static_cast<float>(i);
        flat.surveyed_count(i) = static_cast<float>(i == 2 ? 50 : 3);
    }
    flat.unsurveyed_name(1) = "U";
    flat.unsurveyed_x(1, 1) = 2.0f;
    flat.unsurveyed_x_sum(1) = 2.0;
    const ClickResult r = run_estimating_click(in, flat, services);
    const Available<Limits>& limits = limits_of(r.estimate, IntervalKind::profile);
    if (!limits.ok()) {
        EXPECT_NE(limits.reason().find("does not fall 1.92"), std::string::npos) << limits.reason();
    }
}

// Where the main fit stopped short of the maximum and a chart point lies above it, the
// limits still bracket the maximum: the same limits as from the true estimates.
TEST(Profile, LimitsCentreOnTheHighestPointWhenTheFitFellShort) {
    EstimationState s = example_state(Dist::normal);
    const ClickInput in = example_input(Dist::normal, {true, true, false, false, false}, {10, 0, 0, 0, 0, 10});
    ClickServices services;
    services.library = kLibrary;
    const EstimateResult r = run_estimating_click(in, s, services).estimate;
    const Available<Limits>& limits = limits_of(r, IntervalKind::profile);
    ASSERT_TRUE(limits.ok()) << limits.reason();

    const FitSetup setup = set_up_fit(s, {0, 0, 0, 0, 0, 1}, in.request.free);
    const FitCall call(kLibrary, setup.data);
    ProfileInput pin;
    pin.estimates = setup.params;
    pin.estimates.value = r.par_value;
    // a "fit" that stopped well short, at a total 30 % above the estimate's, beyond its limits
    pin.estimates.value[0] += 0.3 * r.profile_total_hat / setup.data.wards;
    pin.free = {2, 5};
    pin.pop_est = r.total.pop_est;
    pin.range_percent = 50.0;
    pin.total_hat = fixed_total_at(setup.data, pin.estimates.value);
    pin.max_ll = -call.objective(pin.estimates.value, pin.estimates.scale);
    const double at_estimates = -call.objective(r.par_value, pin.estimates.scale);
    ASSERT_LT(pin.max_ll, at_estimates - 2.0) << "the displaced point must lie below the level " << r.max_ll;
    const Profile prof = likelihood_profile(call, pin, Progress());
    EXPECT_TRUE(prof.higher_point);
    ASSERT_TRUE(prof.limits.limits.ok()) << prof.limits.limits.reason();
    EXPECT_NEAR(prof.limits.limits->lower, limits->lower, 1e-6 * limits->lower);
    EXPECT_NEAR(prof.limits.limits->upper, limits->upper, 1e-6 * limits->upper);
}

TEST(Bootstrap, TheSameSeedGivesTheSameLimits) {
    EstimationState s = example_state(Dist::negbin);
    ClickInput in = example_input(Dist::negbin, {true, true, false, false, false}, {10, 0, 0, 0, 0, 1});
    in.request.bootstrap_reps = 200;
    in.request.bootstrap_seed = 42;
    ClickServices services;
    services.library = kLibrary;
    const ClickResult a = run_estimating_click(in, s, services);
    const ClickResult b = run_estimating_click(in, s, services);
    const Interval& boot_a = interval_of(a.estimate, IntervalKind::bootstrap);
    const Interval& boot_b = interval_of(b.estimate, IntervalKind::bootstrap);
    ASSERT_TRUE(boot_a.limits.ok()) << boot_a.limits.reason();
    ASSERT_TRUE(boot_b.limits.ok()) << boot_b.limits.reason();
    EXPECT_EQ(boot_a.limits->lower, boot_b.limits->lower);
    EXPECT_EQ(boot_a.limits->upper, boot_b.limits->upper);
    ASSERT_TRUE(boot_a.monte_carlo.has_value());
    EXPECT_EQ(boot_a.monte_carlo->reps, 200);
    // the same run on its own: its totals and failures make up the replicates asked for
    const BootstrapResult direct = direct_bootstrap(a.estimate, kLibrary, 200, 42);
    EXPECT_EQ(static_cast<int>(direct.totals.size()) + direct.failed, 200);
    EXPECT_EQ(direct.failed, boot_a.monte_carlo->failed);
    ASSERT_TRUE(direct.limits.ok()) << direct.limits.reason();
    EXPECT_EQ(direct.limits->lower, boot_a.limits->lower);
    EXPECT_EQ(direct.limits->upper, boot_a.limits->upper);
    EXPECT_LT(boot_a.limits->lower, a.estimate.total.pop_est);
    EXPECT_GT(boot_a.limits->upper, a.estimate.total.pop_est);
    EXPECT_NE(a.interval_text.find("bootstrap 95 % prediction limits"), std::string::npos) << a.interval_text;
    in.request.bootstrap_seed = 43;
    const ClickResult c = run_estimating_click(in, s, services);
    const Available<Limits>& boot_c = limits_of(c.estimate, IntervalKind::bootstrap);
    ASSERT_TRUE(boot_c.ok()) << boot_c.reason();
    EXPECT_NE(boot_c->lower, boot_a.limits->lower);
}

// The bootstrap's limits against the predictive distribution worked out by hand: the
// unsurveyed total's variance is the wards' own, sum (1 + e) m for the negative binomial
// and M e^2 for the normal, plus the estimated total's, g' C g with g = (M, sum x_j) the
// total's slopes in the coefficients and C their covariance (as many unsurveyed wards as
// surveyed, so that the two parts weigh alike); its skew is small at these sizes, so the
// limits lie within their Monte Carlo error (and a little for the skew) of the normal
// limits.
TEST(Bootstrap, LimitsMatchThePredictiveDistributionsNormalLimits) {
    for (Dist dist : {Dist::negbin, Dist::normal}) {
        SCOPED_TRACE(static_cast<int>(dist));
        const bool negbin = dist == Dist::negbin;
        const double e = negbin ? 1.0 : 6.0;
        const EstimationState s = valdmora::testing::simulated_survey(400, 400, 2, dist, 5.0, {0.02, 0.01}, e, 21);
        ClickInput in;
        in.data_file = true;
        in.request.dist = dist;
        in.request.free = {true, true, true, false, false};
        in.request.start = {10, 0, 0, 0, 0, negbin ? 1.0 : 10.0};
        in.request.profile = false;
        in.request.bootstrap_reps = 1000;
        in.request.bootstrap_seed = 5;
        ClickServices services;
        services.library = kLibrary;
        const ClickResult click = run_estimating_click(in, s, services);
        const EstimateResult& r = click.estimate;
        const Interval& boot = interval_of(r, IntervalKind::bootstrap);
        ASSERT_TRUE(r.cov.ok() && boot.limits.ok() && boot.monte_carlo);
        EXPECT_EQ(boot.monte_carlo->failed, 0);
        const std::vector<double>& v = r.par_value;
        double own = 0.0, total = 0.0;
        std::array<double, 3> g{0.0, 0.0, 0.0};
        for (long w = 1; w <= s.n_unsurveyed; ++w) {
            const double m = v[0] + v[1] * s.unsurveyed_x(1, w) + v[2] * s.unsurveyed_x(2, w);
            ASSERT_GT(m, 2.0);  // above the floor: the mean is linear
            total += m;
            own += negbin ? (1.0 + v[3]) * m : v[3] * v[3];
            g[0] += 1.0;
            g[1] += s.unsurveyed_x(1, w);
            g[2] += s.unsurveyed_x(2, w);
        }
        double estimated = 0.0;
        for (std::size_t a = 0; a < 3; ++a)
            for (std::size_t b = 0; b < 3; ++b) estimated += g[a] * (*r.cov)[a][b] * g[b];
        const double sd = std::sqrt(own + estimated);
        // the 2.5 % point's Monte Carlo error, sqrt(p (1 - p) / B) / phi(1.96) standard deviations
        const double error = sd * std::sqrt(0.025 * 0.975 / 1000.0) / 0.05845;
        ASSERT_GT(estimated, 0.3 * own);
        EXPECT_NEAR(boot.limits->lower, total - 1.96 * sd, 3.5 * error + 0.02 * sd);
        EXPECT_NEAR(boot.limits->upper, total + 1.96 * sd, 3.5 * error + 0.02 * sd);
        // its own estimate of that error, from order statistics a few apart, is rough
        EXPECT_GT(boot.monte_carlo->lower_error, 0.5 * error);
        EXPECT_LT(boot.monte_carlo->lower_error, 2.0 * error);
    }
}

TEST(Bootstrap, QuantilesAndDraws) {
    const std::vector<double> sorted{1, 2, 3, 4, 5};
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.5), 3.0);
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.25), 2.0);
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.1), 1.4);
    FastRandom engine(1, 0);
    double sum = 0.0, sum2 = 0.0;
    const int n = 40000;
    for (int i = 0; i < n; ++i) {
        const double y = draw_count(Dist::negbin, 20.0, 1.5, engine);
        sum += y;
        sum2 += y * y;
    }
    // negative binomial: mean m, variance (1 + e) m
    EXPECT_NEAR(sum / n, 20.0, 0.2);
    EXPECT_NEAR(sum2 / n - (sum / n) * (sum / n), 50.0, 2.0);
    for (int i = 0; i < 100; ++i) {
        EXPECT_GE(draw_count(Dist::lognormal, 3.0, 2.0, engine), 1.0);  // the lognormal's counts are at least 1
        EXPECT_GE(draw_count(Dist::normal, 1.0, 5.0, engine), 0.0);
    }
}

// Fitted values whose draws could not be counts give no limits, and say why.
TEST(Bootstrap, DrawsThatCannotBeCountsGiveNoLimits) {
    const EstimationState s = example_state(Dist::lognormal);
    const ModelData data = model_data(s);
    const FitCall call(kLibrary, data);
    const ParameterBounds bounds = parameter_bounds(data);
    auto estimates = [&](double b0, double e) {
        Parameters p;
        p.value.assign(static_cast<std::size_t>(data.np) + 2, 0.0);
        p.value.front() = b0;
        p.value.back() = e;
        p.scale.assign(p.value.size(), 1.0);
        p.lower = bounds.lower;
        p.upper = bounds.upper;
        return p;
    };
    const std::vector<int32_t> free{1, data.np + 2};
    // a spread beyond any count: refused before a draw
    BootstrapResult r = bootstrap_total(call, estimates(10, 1e300), free, s, 20, 1, Progress());
    EXPECT_FALSE(r.limits.ok());
    EXPECT_NE(r.limits.reason().find("cannot be drawn from: a ward of mean 10 has a standard deviation of 1E+301"),
              std::string::npos)
        << r.limits.reason();
    // a mean and spread within the limits whose draws reach beyond them
    r = bootstrap_total(call, estimates(2e9, 0.5), free, s, 20, 1, Progress());
    EXPECT_FALSE(r.limits.ok());
    EXPECT_TRUE(r.totals.empty());
    EXPECT_NE(r.limits.reason().find("for a surveyed ward, was beyond the largest count the model library takes (2147483520)"),
              std::string::npos)
        << r.limits.reason();
}

namespace {

// A stand-in library that reports a failed fit whenever the counts sum to a multiple of
// three, except on the data the estimate itself is fitted to.
int64_t g_own_sum = -1;
int32_t failing_fit(const valdmora_model* model, int32_t n, const int32_t* free_pos, const double* lower,
                    const double* upper, double* x, double* f, int64_t* evaluations) {
    int64_t sum = 0;
    for (int64_t i = 0; i < model->nobs; ++i) sum += model->y[i];
    const int32_t code = VALDMORA_FIT(model, n, free_pos, lower, upper, x, f, evaluations);
    return sum != g_own_sum && sum % 3 == 0 ? VALDMORA_FIT_FAILED : code;
}

}  // namespace

TEST(Bootstrap, RefitsThatFailAreCountedAndLeftOutOfTheLimits) {
    const EstimationState s = example_state(Dist::negbin);
    ClickInput in = example_input(Dist::negbin, {true, true, false, false, false}, {10, 0, 0, 0, 0, 1});
    in.request.bootstrap_reps = 300;
    in.request.bootstrap_seed = 7;
    ClickServices whole;
    whole.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, nullptr};
    const ClickResult all = run_estimating_click(in, s, whole);
    const Interval& all_boot = interval_of(all.estimate, IntervalKind::bootstrap);
    ASSERT_TRUE(all_boot.limits.ok()) << all_boot.limits.reason();
    ASSERT_TRUE(all_boot.monte_carlo.has_value());
    ASSERT_EQ(all_boot.monte_carlo->failed, 0);
    const BootstrapResult all_direct = direct_bootstrap(all.estimate, whole.library, 300, 7);
    ASSERT_EQ(all_direct.failed, 0);
    g_own_sum = 0;
    for (float c : s.surveyed_count.values()) g_own_sum += static_cast<int64_t>(std::nearbyint(c));
    ClickServices failing;
    failing.library = {failing_fit, VALDMORA_OBJECTIVE, nullptr};
    const ClickResult some = run_estimating_click(in, s, failing);
    const Interval& some_boot = interval_of(some.estimate, IntervalKind::bootstrap);
    ASSERT_TRUE(some_boot.limits.ok()) << some_boot.limits.reason();
    ASSERT_TRUE(some_boot.monte_carlo.has_value());
    const MonteCarlo& mc = *some_boot.monte_carlo;
    EXPECT_EQ(mc.reps, 300);
    // about a third fail, and the click counts them
    EXPECT_GT(mc.failed, 50);
    EXPECT_LT(mc.failed, 150);
    // the same run on its own gives the click's failures and limits, and its totals: each
    // replicate draws alike either way, so the totals that count are those of the whole run
    // less the failed ones
    const BootstrapResult b = direct_bootstrap(some.estimate, failing.library, 300, 7);
    EXPECT_EQ(b.failed, mc.failed);
    EXPECT_EQ(static_cast<int>(b.totals.size()) + b.failed, 300);
    EXPECT_TRUE(std::includes(all_direct.totals.begin(), all_direct.totals.end(), b.totals.begin(), b.totals.end()));
    ASSERT_TRUE(b.limits.ok()) << b.limits.reason();
    EXPECT_EQ(b.limits->lower, some_boot.limits->lower);
    EXPECT_EQ(b.limits->upper, some_boot.limits->upper);
    EXPECT_EQ(b.limits->lower, quantile(b.totals, 0.025));
    EXPECT_EQ(b.limits->upper, quantile(b.totals, 0.975));
    EXPECT_NE(some.interval_text.find(std::to_string(mc.failed)), std::string::npos) << some.interval_text;
}
