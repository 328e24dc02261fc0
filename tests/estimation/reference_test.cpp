// SPDX-License-Identifier: GPL-3.0-or-later
// The click's numbers against values derived outside the program (tests/reference, made
// by make_reference.R, make_realsize.R and make_ward_limits.R with R's lm, glmmTMB and
// numDeriv): 150 surveyed and 150 unsurveyed wards with a predictor on 0..1, 60 + 90 wards
// with populations in thousands, and each of 10 unsurveyed wards named in turn, each
// distribution; and the same total whatever a predictor's unit.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "cycle/count_file.h"
#include "estimation/click.h"
#include "estimation/estimate.h"
#include "estimation/profile.h"
#include "estimation/setup.h"
#include "testkit/intervals.h"
#include "testkit/reference_values.h"
#include "valdmora/modellib.h"

using namespace valdmora;
using valdmora::testing::limits_of;

namespace {

const ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};

std::map<std::string, double> reference_values(const std::string& file) {
    return valdmora::testing::reference_values(std::string(VALDMORA_REFERENCE_DIR) + "/" + file);
}

void expect_relative(double actual, double expected, double tolerance, const std::string& what) {
    EXPECT_NEAR(actual, expected, tolerance * std::fabs(expected)) << what;
}

struct Survey300 : ::testing::TestWithParam<int> {
    static inline std::map<std::string, double> ref = reference_values("survey300_values.txt");
    // the same fits' totals, covariance and limits from the exact information matrix
    static inline std::map<std::string, double> exact = reference_values("survey300_exact.txt");

    ClickResult click(EstimationState& s) {
        form_load(s);
        store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/survey300.txt"));
        s.err_dist = static_cast<Dist>(GetParam());
        ClickInput in;
        in.data_file = true;
        in.request.dist = static_cast<Dist>(GetParam());
        in.request.free = {true, true, true, true, false};
        in.request.start = {10, 0, 0, 0, 0, GetParam() == 1 ? 0.25 : GetParam() == 2 ? 10 : 1};
        ClickServices services;
        services.library = kLibrary;
        return run_estimating_click(in, s, services);
    }
    static std::string name() { return GetParam() == 1 ? "lognormal" : GetParam() == 2 ? "normal" : "negbin"; }
};

}  // namespace

TEST_P(Survey300, EstimatesTotalsAndLimitsAgreeWithAnIndependentFit) {
    EstimationState s;
    const ClickResult click_result = click(s);
    const EstimateResult& r = click_result.estimate;
    const std::string d = name() + ".";
    ASSERT_TRUE(r.fit_ok) << r.fail_code;
    expect_relative(r.max_ll, ref[d + "max_ll"], 1e-6, "max_ll");
    const char* keys[5] = {"b0", "beta1", "beta2", "beta3", "e"};
    for (std::size_t k = 0; k < 5; ++k) expect_relative(r.par_value[k], ref[d + keys[k]], 1e-6, keys[k]);
    // the boxes show the estimates rounded to four decimals
    for (std::size_t k = 0; k < 4; ++k)
        expect_relative(std::stod(box_text(r.values[k], NumberFormat{})), ref[d + keys[k] + "_r"], 1e-12,
                        std::string(keys[k]) + "_r");
    // every reported number from the estimates at full precision, not the boxes' rounding
    expect_relative(r.total.pop_est, exact[d + "T_hat"], 1e-7, "pop_est");
    ASSERT_TRUE(r.wald().ok()) << r.wald().reason();
    expect_relative(r.wald()->lower, exact[d + "pop_lower"], 1e-6, "pop_lower");
    expect_relative(r.wald()->upper, exact[d + "pop_upper"], 1e-6, "pop_upper");
    const Available<Limits>& delta = limits_of(r, IntervalKind::delta);
    ASSERT_TRUE(delta.ok()) << delta.reason();
    expect_relative(delta->lower, exact[d + "delta_lower_t"], 1e-6, "delta_lower");
    expect_relative(delta->upper, exact[d + "delta_upper_t"], 1e-6, "delta_upper");
    expect_relative(r.profile_total_hat, ref[d + "T_hat"], 1e-6, "T_hat");
    // standard errors from the exact information matrix
    ASSERT_TRUE(r.cov.ok()) << r.cov.reason();
    for (std::size_t k = 0; k < 5; ++k)
        expect_relative(std::sqrt((*r.cov)[k][k]), exact[d + "se." + std::to_string(k + 1)], 1e-5, "se " + std::to_string(k));
    const Available<Limits>& profile = limits_of(r, IntervalKind::profile);
    ASSERT_TRUE(profile.ok()) << profile.reason();
    expect_relative(profile->lower, ref[d + "profile_lower"], 1e-7, "profile_lower");
    expect_relative(profile->upper, ref[d + "profile_upper"], 1e-7, "profile_upper");
    // each unsurveyed ward's prediction (the ward data are held in single precision: a
    // share of 0.35 is 0.3499999940)
    EXPECT_TRUE(r.on_bound.empty());
}

// The constrained maximum at each reported limit lies the drop below the maximum.
TEST_P(Survey300, TheProfileAtItsLimitsIsTheDropBelowTheMaximum) {
    EstimationState s;
    const ClickResult click_result = click(s);
    const EstimateResult& r = click_result.estimate;
    const Available<Limits>& profile = limits_of(r, IntervalKind::profile);
    ASSERT_TRUE(profile.ok()) << profile.reason();
    const FitSetup setup = set_up_fit(r.state, {0, 0, 0, 0, 0, 1}, {true, true, true, true, false});
    const FitCall call(kLibrary, setup.data);
    Parameters p = setup.params;
    p.value = r.par_value;
    for (double limit : {profile->lower, profile->upper}) {
        const FitOutcome f = call.fit(p, {2, 3, 4, 5}, limit);
        ASSERT_TRUE(f.accepted());
        EXPECT_NEAR(-f.objective, r.max_ll - kProfileDrop, 1e-6) << limit;
    }
}

INSTANTIATE_TEST_SUITE_P(EachDistribution, Survey300, ::testing::Values(1, 2, 3));

TEST(Survey300Normal, ProfileLimitsMatchTheClosedForm) {
    // with RSS the residual sum of squares, c = (M, S) and v = c'(X'X)^-1 c the limits are
    // T +- sqrt(v RSS (exp(chi2 / n) - 1)); the reference holds them for the exact chi2
    const auto ref = reference_values("survey300_values.txt");
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/survey300.txt"));
    s.err_dist = Dist::normal;
    ClickInput in;
    in.data_file = true;
    in.request.dist = Dist::normal;
    in.request.free = {true, true, true, true, false};
    in.request.start = {10, 0, 0, 0, 0, 10};
    ClickServices services;
    services.library = kLibrary;
    const ClickResult r = run_estimating_click(in, s, services);
    const Available<Limits>& profile = limits_of(r.estimate, IntervalKind::profile);
    ASSERT_TRUE(profile.ok()) << profile.reason();
    expect_relative(profile->lower, ref.at("normal.profile_closed_lower"), 1e-7, "lower");
    expect_relative(profile->upper, ref.at("normal.profile_closed_upper"), 1e-7, "upper");
}

// 60 surveyed and 90 unsurveyed wards with populations in the thousands (slopes of 0.004),
// as given and with the population per 10 people: the same total and limits either way.
struct RealSize : ::testing::TestWithParam<int> {
    static inline std::map<std::string, double> ref = reference_values("realsize60_values.txt");

    static EstimateResult click(const std::string& file, int dist, double population_factor = 1.0) {
        EstimationState s;
        form_load(s);
        store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/" + file));
        if (population_factor != 1.0) {
            for (long i = 1; i <= s.n_surveyed; ++i) s.surveyed_x(1, i) = static_cast<float>(s.surveyed_x(1, i) * population_factor);
            s.unsurveyed_x_sum(1) = 0.0;
            for (long i = 1; i <= s.n_unsurveyed; ++i) {
                s.unsurveyed_x(1, i) = static_cast<float>(s.unsurveyed_x(1, i) * population_factor);
                s.unsurveyed_x_sum(1) += static_cast<double>(s.unsurveyed_x(1, i));
            }
        }
        s.err_dist = static_cast<Dist>(dist);
        ClickInput in;
        in.data_file = true;
        in.request.dist = static_cast<Dist>(dist);
        in.request.free = {true, true, true, false, false};
        in.request.start = {10, 0, 0, 0, 0, dist == 1 ? 0.3 : dist == 2 ? 10 : 1.5};
        ClickServices services;
        services.library = kLibrary;
        return run_estimating_click(in, s, services).estimate;
    }
    static std::string name() { return GetParam() == 1 ? "lognormal" : GetParam() == 2 ? "normal" : "negbin"; }
};

TEST_P(RealSize, StandardErrorsTotalsAndLimitsAgreeWithAnExactHessian) {
    const EstimateResult r = click("realsize60.txt", GetParam());
    const std::string d = name() + ".";
    ASSERT_TRUE(r.fit_ok) << r.fail_code;
    ASSERT_TRUE(r.cov.ok()) << r.cov.reason();
    expect_relative(r.max_ll, ref[d + "max_ll"], 1e-9, "max_ll");
    for (std::size_t k = 0; k < 4; ++k) {
        const std::string key = "se." + std::to_string(k + 1);
        expect_relative(std::sqrt((*r.cov)[k][k]), ref[d + key], 1e-4, key);
    }
    expect_relative((*r.cov)[0][1], ref[d + "cov.1.2"], 1e-4, "cov.1.2");
    expect_relative(r.total.pop_est, ref[d + "T_hat"], 1e-8, "total");
    ASSERT_TRUE(r.wald().ok()) << r.wald().reason();
    expect_relative(r.wald()->lower, ref[d + "pop_lower"], 1e-6, "pop_lower");
    expect_relative(r.wald()->upper, ref[d + "pop_upper"], 1e-6, "pop_upper");
    const Available<Limits>& delta = limits_of(r, IntervalKind::delta);
    ASSERT_TRUE(delta.ok()) << delta.reason();
    expect_relative(delta->lower, ref[d + "delta_lower_t"], 1e-6, "delta_lower");
    expect_relative(delta->upper, ref[d + "delta_upper_t"], 1e-6, "delta_upper");
    const Available<Limits>& profile = limits_of(r, IntervalKind::profile);
    ASSERT_TRUE(profile.ok()) << profile.reason();
    expect_relative(profile->lower, ref[d + "profile_lower"], 1e-7, "profile_lower");
    expect_relative(profile->upper, ref[d + "profile_upper"], 1e-7, "profile_upper");
}

TEST_P(RealSize, TheTotalDoesNotDependOnAPredictorsUnit) {
    const EstimateResult base = click("realsize60.txt", GetParam());
    const EstimateResult per10 = click("realsize60_per10.txt", GetParam());
    ASSERT_TRUE(base.wald().ok() && per10.wald().ok());
    const Available<Limits>& base_profile = limits_of(base, IntervalKind::profile);
    ASSERT_TRUE(base_profile.ok()) << base_profile.reason();
    for (const EstimateResult* r : {&per10}) {
        expect_relative(r->total.pop_est, base.total.pop_est, 1e-6, "total per 10");
        expect_relative(r->wald()->lower, base.wald()->lower, 1e-6, "lower per 10");
        expect_relative(r->wald()->upper, base.wald()->upper, 1e-6, "upper per 10");
        const Available<Limits>& profile = limits_of(*r, IntervalKind::profile);
        ASSERT_TRUE(profile.ok()) << profile.reason();
        expect_relative(profile->lower, base_profile->lower, 1e-6, "profile lower per 10");
        expect_relative(profile->upper, base_profile->upper, 1e-6, "profile upper per 10");
    }
    // per thousand people: a slope of about 4, and a box of four decimals that hides nothing
    // either way, so only the full-precision numbers can agree
    const EstimateResult per1000 = click("realsize60.txt", GetParam(), 1.0 / 1000.0);
    ASSERT_TRUE(per1000.wald().ok());
    expect_relative(per1000.total.pop_est, base.total.pop_est, 1e-6, "total per 1000");
    expect_relative(per1000.wald()->lower, base.wald()->lower, 1e-6, "lower per 1000");
    expect_relative(per1000.wald()->upper, base.wald()->upper, 1e-6, "upper per 1000");
    const Available<Limits>& base_delta = limits_of(base, IntervalKind::delta);
    const Available<Limits>& per1000_delta = limits_of(per1000, IntervalKind::delta);
    ASSERT_TRUE(base_delta.ok() && per1000_delta.ok());
    expect_relative(per1000_delta->upper, base_delta->upper, 1e-6, "delta upper per 1000");
}

// The engine's typed entry takes numbers, not box texts: a start given as a slope of 1e-4,
// which a box of four decimals cannot hold, and the numbers come out as the independent fit's.
TEST_P(RealSize, TheTypedEntryTakesAndGivesNumbersAsTheIndependentFit) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/realsize60.txt"));
    EstimateRequest q;
    q.dist = static_cast<Dist>(GetParam());
    q.start = {10.0, 1e-4, 0.0, 0.0, 0.0, GetParam() == 1 ? 0.3 : GetParam() == 2 ? 10.0 : 1.5};
    q.free = {true, true, true, false, false};
    q.bootstrap_reps = 0;
    ClickServices services;
    services.library = kLibrary;
    const EstimateResult e = run_estimate(q, s, services);
    const std::string d = name() + ".";
    ASSERT_TRUE(e.fit_ok) << e.fail_code;
    expect_relative(e.max_ll, ref[d + "max_ll"], 1e-9, "max_ll");
    ASSERT_TRUE(e.wald().ok()) << e.wald().reason();
    expect_relative(e.total.pop_est, ref[d + "T_hat"], 1e-8, "total");
    expect_relative(e.wald()->lower, ref[d + "pop_lower"], 1e-6, "pop_lower");
    expect_relative(e.wald()->upper, ref[d + "pop_upper"], 1e-6, "pop_upper");
    const Available<Limits>& delta = limits_of(e, IntervalKind::delta);
    ASSERT_TRUE(delta.ok()) << delta.reason();
    expect_relative(delta->upper, ref[d + "delta_upper_t"], 1e-6, "delta_upper");
    const Available<Limits>& profile = limits_of(e, IntervalKind::profile);
    ASSERT_TRUE(profile.ok()) << profile.reason();
    expect_relative(profile->lower, ref[d + "profile_lower"], 1e-7, "profile_lower");
    // the values by box are the fit's own, unrounded
    EXPECT_EQ(e.values[1], e.par_value[1]);
    EXPECT_EQ(e.state.pop_est, e.total.pop_est);
    EXPECT_EQ(static_cast<long>(e.ward_predictions.size()), s.n_unsurveyed);
}

TEST(TypedEntry, DataThatCannotCarryTheModelAreRefusedBeforeAnyFit) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/realsize60.txt"));
    ClickServices unbound;  // a fit would need the library: the refusal comes first
    EstimateRequest q;
    q.dist = Dist::normal;
    q.free = {true, true, true, false, false};
    EXPECT_THROW(run_estimate(q, s, unbound), UserError);  // the library is not bound
    s.n_surveyed = 3;
    try {
        run_estimate(q, s, unbound);
        FAIL() << "three wards carried four free parameters";
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("3 surveyed wards for 4 free parameters"), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(EachDistribution, RealSize, ::testing::Values(1, 2, 3));

// Newton's method with the exact second derivatives, as the bootstrap refits: from a start
// near the optimum it reaches the independent fit's maximum; where a step would leave the
// bounds it gives up, for the caller to fit instead.
TEST_P(RealSize, NewtonRefitsReachTheMaximumFromNearby) {
    const std::string d = name() + ".";
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/realsize60.txt"));
    s.err_dist = static_cast<Dist>(GetParam());
    const FitSetup setup = set_up_fit(s, {0, 0, 0, 0, 0, 1}, {true, true, true, false, false});
    const FitCall call(kLibrary, setup.data);
    Parameters start = setup.params;
    start.value = {ref[d + "b0"] * 1.05, ref[d + "beta1"] * 0.97, ref[d + "beta2"] * 1.03, ref[d + "e"] * 1.1};
    const FitOutcome f = call.newton(start, setup.free);
    ASSERT_EQ(f.code, VALDMORA_FIT_OK);
    EXPECT_NEAR(-f.objective, ref[d + "max_ll"], 1e-9 * std::fabs(ref[d + "max_ll"]));
    expect_relative(f.value[1], ref[d + "beta1"], 1e-6, "beta1");
    EXPECT_LT(f.evaluations, 30);
    // bounds that shut the optimum out
    Parameters fenced = start;
    fenced.upper[1] = ref[d + "beta1"] * 0.98;
    EXPECT_EQ(call.newton(fenced, setup.free).code, VALDMORA_FIT_FAILED);
}

// Each of the 10 unsurveyed wards of wards30.txt named in turn (populations in thousands,
// slopes of about 3e-4): its delta-method limits are those of its own expected count, with
// numDeriv's gradient of that count, and its Wald limits add its own count variance; none
// is the whole total's.
struct NamedWard : ::testing::TestWithParam<int> {
    static std::string name() { return GetParam() == 1 ? "lognormal" : GetParam() == 2 ? "normal" : "negbin"; }
};

TEST_P(NamedWard, LimitsAreTheWardsOwnAsAnIndependentGradientGivesThem) {
    const auto ref = reference_values("wards30_values.txt");
    ASSERT_FALSE(ref.empty());
    const std::string d = name() + ".";
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/wards30.txt"));
    ASSERT_EQ(s.n_unsurveyed, 10);
    ClickServices services;
    services.library = kLibrary;
    ClickInput in;
    in.data_file = true;
    in.files = false;
    in.request.dist = static_cast<Dist>(GetParam());
    in.request.free = {true, true, true, false, false};
    in.request.start = {10, 0, 0, 0, 0, GetParam() == 1 ? 0.25 : GetParam() == 2 ? 10 : 1};
    s.err_dist = in.request.dist;
    // the whole total, whose limits a ward's must not be
    const ClickResult all = run_estimating_click(in, s, services);
    const Available<Limits>& total_delta = limits_of(all.estimate, IntervalKind::delta);
    ASSERT_TRUE(total_delta.ok()) << total_delta.reason();
    expect_relative(total_delta->lower, ref.at(d + "delta_lower"), 1e-6, "total delta_lower");
    for (long w = 1; w <= s.n_unsurveyed; ++w) {
        const std::string ward = s.unsurveyed_name(w);
        const std::string k = d + ward + ".";
        SCOPED_TRACE(ward);
        in.request.ward = ward;
        const ClickResult r = run_estimating_click(in, s, services);
        const EstimateResult& e = r.estimate;
        ASSERT_TRUE(e.fit_ok) << e.fail_code;
        expect_relative(e.max_ll, ref.at(d + "max_ll"), 1e-9, "max_ll");
        ASSERT_TRUE(e.total.ward_named);
        expect_relative(e.total.pop_est, ref.at(k + "pred"), 1e-7, "prediction");
        const Available<Limits>& delta = limits_of(e, IntervalKind::delta);
        ASSERT_TRUE(delta.ok()) << delta.reason();
        expect_relative(delta->lower, ref.at(k + "delta_lower"), 1e-6, "delta_lower");
        expect_relative(delta->upper, ref.at(k + "delta_upper"), 1e-6, "delta_upper");
        ASSERT_TRUE(e.wald().ok()) << e.wald().reason();
        expect_relative(e.wald()->lower, ref.at(k + "wald_lower"), 1e-6, "wald_lower");
        expect_relative(e.wald()->upper, ref.at(k + "wald_upper"), 1e-6, "wald_upper");
    }
}

INSTANTIATE_TEST_SUITE_P(EachDistribution, NamedWard, ::testing::Values(1, 2, 3));
