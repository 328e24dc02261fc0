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
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};

// The shipped example data, read, with the distribution chosen.
EstimationState example_state(int16_t dist) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(VALDMORA_EXAMPLE_DATA));
    s.err_dist = dist;
    return s;
}

struct Example {
    EstimationState state;
    ClickResult result;
};

// The shipped example, lognormal, the constant and households free, from start values that
// send the old profile's fits into worse basins at the low end.
Example hard_profile() {
    Example e;
    e.state = example_state(1);
    ClickInput in;
    in.data_path = "counts.txt";
    in.beta_checked = {true, true, false, false, false};
    in.beta_text = {"9.8221", "0.04", "0", "5", "0", "0.4"};
    in.range_text = "100";
    ClickServices services;
    services.library = kLibrary;
    e.result = run_estimating_click(in, e.state, services);
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
    const ClickResult& r = e.result;
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
    EstimationState s = example_state(2);
    ClickInput in;
    in.data_path = "counts.txt";
    in.beta_text = {"10", "0", "0", "0", "0", "10"};
    ClickServices services;
    services.library = kLibrary;
    in.beta_checked = {false, true, false, false, false};
    EXPECT_NE(run_estimating_click(in, s, services).profile_limits.reason.find("constant is not free"),
              std::string::npos);
    in.beta_checked = {true, false, false, false, false};
    in.ward = "Elmdale";
    EXPECT_EQ(run_estimating_click(in, s, services).profile_limits.reason, "a ward is named");
    // a profile that stays within 1.92 of its maximum as the total goes to nothing: one
    // surveyed ward more than the free parameters, with a very wide spread
    in.ward.clear();
    EstimationState flat;
    form_load(flat);
    flat.err_dist = 2;
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
    if (!r.profile_limits.available) {
        EXPECT_NE(r.profile_limits.reason.find("does not fall 1.92"), std::string::npos) << r.profile_limits.reason;
    }
}

// Where the main fit stopped short of the maximum and a chart point lies above it, the
// limits still bracket the maximum: the same limits as from the true estimates.
TEST(Profile, LimitsCentreOnTheHighestPointWhenTheFitFellShort) {
    EstimationState s = example_state(2);
    ClickInput in;
    in.data_path = "counts.txt";
    in.beta_checked = {true, true, false, false, false};
    in.beta_text = {"10", "0", "0", "0", "0", "10"};
    ClickServices services;
    services.library = kLibrary;
    const ClickResult r = run_estimating_click(in, s, services);
    ASSERT_TRUE(r.profile_limits.available) << r.profile_limits.reason;

    const FitSetup setup = set_up_fit(s, {0, 0, 0, 0, 0, 1}, in.beta_checked);
    const FitCall call(kLibrary, setup.data);
    ProfileInput pin;
    pin.estimates = setup.params;
    pin.estimates.value = r.par_value;
    // a "fit" that stopped well short, at a total 30 % above the estimate's, beyond its limits
    pin.estimates.value[0] += 0.3 * r.profile_total_hat / setup.data.wards;
    pin.free = {2, 5};
    pin.pop_est = r.pop_est;
    pin.range_percent = 50.0;
    pin.total_hat = fixed_total_at(setup.data, pin.estimates.value);
    pin.max_ll = -call.objective(pin.estimates.value, pin.estimates.scale);
    const double at_estimates = -call.objective(r.par_value, pin.estimates.scale);
    ASSERT_LT(pin.max_ll, at_estimates - 2.0) << "the displaced point must lie below the level " << r.max_ll;
    const Profile prof = likelihood_profile(call, pin, Progress());
    EXPECT_TRUE(prof.higher_point);
    ASSERT_TRUE(prof.limits.available) << prof.limits.reason;
    EXPECT_NEAR(prof.limits.lower, r.profile_limits.lower, 1e-6 * r.profile_limits.lower);
    EXPECT_NEAR(prof.limits.upper, r.profile_limits.upper, 1e-6 * r.profile_limits.upper);
}

TEST(Bootstrap, TheSameSeedGivesTheSameLimits) {
    EstimationState s = example_state(3);
    ClickInput in;
    in.data_path = "counts.txt";
    in.beta_checked = {true, true, false, false, false};
    in.beta_text = {"10", "0", "0", "0", "0", "1"};
    in.bootstrap_reps = 200;
    in.bootstrap_seed = 42;
    ClickServices services;
    services.library = kLibrary;
    const ClickResult a = run_estimating_click(in, s, services);
    const ClickResult b = run_estimating_click(in, s, services);
    ASSERT_TRUE(a.bootstrap && a.bootstrap->available) << (a.bootstrap ? a.bootstrap->problem : "none");
    EXPECT_EQ(a.bootstrap->lower, b.bootstrap->lower);
    EXPECT_EQ(a.bootstrap->upper, b.bootstrap->upper);
    EXPECT_EQ(a.bootstrap->reps, 200);
    EXPECT_EQ(static_cast<int>(a.bootstrap->totals.size()) + a.bootstrap->failed, 200);
    EXPECT_LT(a.bootstrap->lower, a.pop_est);
    EXPECT_GT(a.bootstrap->upper, a.pop_est);
    EXPECT_NE(a.interval_text.find("bootstrap 95 % prediction limits"), std::string::npos) << a.interval_text;
    in.bootstrap_seed = 43;
    const ClickResult c = run_estimating_click(in, s, services);
    EXPECT_NE(c.bootstrap->lower, a.bootstrap->lower);
}

TEST(Bootstrap, QuantilesAndDraws) {
    const std::vector<double> sorted{1, 2, 3, 4, 5};
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.5), 3.0);
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.25), 2.0);
    EXPECT_DOUBLE_EQ(quantile(sorted, 0.1), 1.4);
    std::mt19937_64 engine(1);
    double sum = 0.0, sum2 = 0.0;
    const int n = 40000;
    for (int i = 0; i < n; ++i) {
        const double y = draw_count(3, 20.0, 1.5, engine);
        sum += y;
        sum2 += y * y;
    }
    // negative binomial: mean m, variance (1 + e) m
    EXPECT_NEAR(sum / n, 20.0, 0.2);
    EXPECT_NEAR(sum2 / n - (sum / n) * (sum / n), 50.0, 2.0);
    for (int i = 0; i < 100; ++i) {
        EXPECT_GE(draw_count(1, 3.0, 2.0, engine), 1.0);  // the lognormal's counts are at least 1
        EXPECT_GE(draw_count(2, 1.0, 5.0, engine), 0.0);
    }
}

// Fitted values whose draws could not be counts give no limits, and say why.
TEST(Bootstrap, DrawsThatCannotBeCountsGiveNoLimits) {
    const EstimationState s = example_state(1);
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
    EXPECT_FALSE(r.available);
    EXPECT_NE(r.problem.find("cannot be drawn from: a ward of mean 10 has a standard deviation of 1E+301"),
              std::string::npos)
        << r.problem;
    // a mean and spread within the limits whose draws reach beyond them
    r = bootstrap_total(call, estimates(2e9, 0.5), free, s, 20, 1, Progress());
    EXPECT_FALSE(r.available);
    EXPECT_TRUE(r.totals.empty());
    EXPECT_NE(r.problem.find("for a surveyed ward, was beyond the largest count the model library takes (2147483520)"), std::string::npos)
        << r.problem;
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
    const EstimationState s = example_state(3);
    ClickInput in;
    in.data_path = "counts.txt";
    in.beta_checked = {true, true, false, false, false};
    in.beta_text = {"10", "0", "0", "0", "0", "1"};
    in.bootstrap_reps = 300;
    in.bootstrap_seed = 7;
    ClickServices whole;
    whole.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, nullptr};
    const ClickResult all = run_estimating_click(in, s, whole);
    ASSERT_TRUE(all.bootstrap && all.bootstrap->available);
    ASSERT_EQ(all.bootstrap->failed, 0);
    g_own_sum = 0;
    for (float c : s.surveyed_count.values()) g_own_sum += static_cast<int64_t>(std::nearbyint(c));
    ClickServices failing;
    failing.library = {failing_fit, VALDMORA_OBJECTIVE, nullptr};
    const ClickResult some = run_estimating_click(in, s, failing);
    ASSERT_TRUE(some.bootstrap && some.bootstrap->available) << some.bootstrap->problem;
    const BootstrapResult& b = *some.bootstrap;
    // about a third fail; each replicate draws alike either way, so the totals that count
    // are those of the whole run less the failed ones
    EXPECT_GT(b.failed, 50);
    EXPECT_LT(b.failed, 150);
    EXPECT_EQ(static_cast<int>(b.totals.size()) + b.failed, 300);
    EXPECT_TRUE(std::includes(all.bootstrap->totals.begin(), all.bootstrap->totals.end(), b.totals.begin(),
                              b.totals.end()));
    EXPECT_EQ(b.lower, quantile(b.totals, 0.025));
    EXPECT_EQ(b.upper, quantile(b.totals, 0.975));
    EXPECT_NE(some.interval_text.find(std::to_string(b.failed)), std::string::npos) << some.interval_text;
}
