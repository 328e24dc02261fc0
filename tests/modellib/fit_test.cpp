// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <nlopt.h>

#include <cmath>
#include <vector>

#include "testkit/packed_model.h"
#include "testkit/slow_polish.h"
#include "valdmora/modellib.h"

using namespace valdmora::testing;

namespace {

struct Fit {
    int32_t n = 0, ibound = 0, liw = 20, lw = 500, ifail = 1;
    double bl[12] = {}, bu[12] = {}, x[12] = {}, f = 0.0;
    int32_t iw[20] = {};
    double w[500] = {};
};

// Fits the free positions from the start values held in the packed data, with the
// window's bounds: +-1000 for coefficients, 0.01..100 for the extra parameter.
Fit fit(PackedModel& p) {
    Fit r;
    r.n = p.ints[0];
    for (int32_t i = 0; i < r.n; ++i) {
        const int32_t k = p.ints[1 + i] - 1;
        r.x[i] = p.reals[4 * k] * p.reals[4 * k + 1];
        r.bl[i] = p.reals[4 * k + 2] * p.reals[4 * k + 1];
        r.bu[i] = p.reals[4 * k + 3] * p.reals[4 * k + 1];
    }
    N_E04JYF(&r.n, &r.ibound, r.bl, r.bu, r.x, &r.f, r.iw, &r.liw, r.w, &r.lw, p.ints.data(),
             p.reals.data(), &r.ifail);
    return r;
}

double reference_optimum(const PackedModel& p, const Fit& from) {
    return slow_polish(p, from.n, from.bl, from.bu, std::vector<double>(from.x, from.x + from.n));
}

struct Case {
    int32_t dist;
    double e_true, e_start;
};

}  // namespace

// 99 wards and 4 predictors in 100..1100, started from the window's defaults. The noise
// is low enough for the slopes to be recovered closely.
TEST(Fit, RecoversSimulatedParametersForEachDistribution) {
    const std::vector<double> beta{0.01, 0.02, 0.015, 0.03};
    for (Case c : {Case{1, 0.1, 0.25}, Case{2, 3.0, 10.0}, Case{3, 0.3, 1.0}}) {
        for (uint32_t seed : {11u, 12u, 13u}) {
            const Records r = simulate(99, 4, 5.0, beta, c.e_true, c.dist, seed);
            PackedModel p = PackedModel::make(r, {10, 0, 0, 0, 0, c.e_start}, c.dist, {1, 2, 3, 4, 5, 6});
            const Fit f = fit(p);
            SCOPED_TRACE(::testing::Message() << "dist " << c.dist << " seed " << seed);
            EXPECT_TRUE(f.ifail == 0 || f.ifail == 5) << "code " << f.ifail;
            for (int i = 0; i < f.n; ++i) {
                EXPECT_GE(f.x[i], f.bl[i]);
                EXPECT_LE(f.x[i], f.bu[i]);
            }
            // the objective at the returned point is the value reported
            PackedModel q = p;
            EXPECT_EQ(funct1_objective(6, f.x, nullptr, &q), f.f);
            // within 1e-8 of what a slow polish from our point finds
            const double best = reference_optimum(p, f);
            EXPECT_LE(f.f, best + 1e-8 * std::fabs(best));
            for (int j = 0; j < 4; ++j) EXPECT_NEAR(f.x[1 + j], beta[j], 0.004) << "slope " << j;
            // the negative binomial's extra parameter is poorly determined near Poisson data
            EXPECT_NEAR(f.x[5], c.e_true, c.dist == 3 ? 0.6 : 0.5 * c.e_true);
            EXPECT_GT(p.counter(), 20);
        }
    }
}

// Counts with many expected means on the floor (h < 2), where the objective's curvature
// jumps: the gradient search must still end at the optimum, for each distribution and
// with the total fixed.
TEST(Fit, MeansOnTheFloorStillReachTheOptimum) {
    for (int32_t dist : {1, 2, 3}) {
        for (uint32_t seed : {21u, 22u}) {
            SCOPED_TRACE(::testing::Message() << "dist " << dist << " seed " << seed);
            const Records r = simulate(60, 2, -8.0, {0.01, 0.012}, dist == 1 ? 0.4 : dist == 2 ? 2.0 : 0.5, dist, seed);
            PackedModel p = PackedModel::make(r, {10, 0, 0, dist == 1 ? 0.25 : dist == 2 ? 10 : 1}, dist, {1, 2, 3, 4});
            const Fit f = fit(p);
            EXPECT_TRUE(f.ifail == 0 || f.ifail == 5) << "code " << f.ifail;
            EXPECT_LE(f.f, reference_optimum(p, f) + 1e-8 * std::fabs(f.f));

            PackedModel q = PackedModel::make(r, {0, 0.01, 0.012, f.x[3]}, dist, {2, 3, 4}, 20, {12000, 13000}, 120.0);
            const Fit g = fit(q);
            EXPECT_TRUE(g.ifail == 0 || g.ifail == 5) << "code " << g.ifail;
            EXPECT_LE(g.f, reference_optimum(q, g) + 1e-8 * std::fabs(g.f));
        }
    }
}

TEST(Fit, BindingBoundsAreRespected) {
    const Records r = simulate(60, 2, 5.0, {0.02, 0.03}, 0.5, 3, 5);
    PackedModel p = PackedModel::make(r, {10, 0, 0, 1.0}, 3, {2, 3, 4});
    p.reals[4 * 1 + 3] = 0.01;  // slope 1 may not exceed 0.01 although the data want 0.02
    p.reals[4 * 3 + 2] = 2.0;   // the extra parameter may not fall below 2
    const Fit f = fit(p);
    EXPECT_TRUE(f.ifail == 0 || f.ifail == 5);
    EXPECT_LE(f.x[0], 0.01);
    EXPECT_NEAR(f.x[0], 0.01, 1e-9);
    EXPECT_GE(f.x[2], 2.0);
}

TEST(Fit, FixedTotalFitLeavesTheInterceptOut) {
    const Records r = simulate(40, 2, 5.0, {0.02, 0.03}, 0.3, 1, 9);
    // 10 unsurveyed wards with predictor sums 6000 and 5000: a total of 400 at b0 = 5
    PackedModel p = PackedModel::make(r, {5, 0.02, 0.03, 0.3}, 1, {2, 3, 4}, 10, {6000, 5000}, 400.0);
    const Fit f = fit(p);
    EXPECT_TRUE(f.ifail == 0 || f.ifail == 5);
    EXPECT_LE(f.f, reference_optimum(p, f) + 1e-8);
}

TEST(Fit, OneFreeVariableAndStartOutsideTheBounds) {
    const Records r = simulate(30, 1, 5.0, {0.03}, 5.0, 2, 3);
    PackedModel p = PackedModel::make(r, {5, 0.03, 500.0}, 2, {3});  // start above the upper bound 100
    const Fit f = fit(p);
    EXPECT_TRUE(f.ifail == 0 || f.ifail == 5);
    EXPECT_LE(f.x[0], 100.0);
    EXPECT_NEAR(f.x[0], 5.0, 2.5);
}

TEST(Fit, FailuresComeBackAsCodes) {
    Records r = simulate(30, 1, 5.0, {0.03}, 0.3, 1, 4);
    {
        // a lognormal count of 0 has no finite likelihood anywhere
        Records z = r;
        z.y[3] = 0;
        PackedModel p = PackedModel::make(z, {5, 0.03, 0.3}, 1, {1, 3});
        const Fit f = fit(p);
        EXPECT_EQ(f.ifail, VALDMORA_FIT_START_NOT_FINITE);
        EXPECT_EQ(f.x[0], 5.0);
    }
    {
        PackedModel p = PackedModel::make(r, {5, 0.03, 0.3}, 1, {1, 3});
        p.reals[2] = 10;  // lower bound above upper bound
        p.reals[3] = -10;
        EXPECT_EQ(fit(p).ifail, VALDMORA_FIT_BAD_ARGS);
    }
    {
        PackedModel p = PackedModel::make(r, {5, 0.03, 0.3}, 1, {1, 3});
        Fit f = fit(p);
        int32_t n = 2, ib = 7, liw = 20, lw = 500, code = 1;  // unknown bounds mode
        N_E04JYF(&n, &ib, f.bl, f.bu, f.x, &f.f, f.iw, &liw, f.w, &lw, p.ints.data(), p.reals.data(), &code);
        EXPECT_EQ(code, VALDMORA_FIT_BAD_ARGS);
        N_E04JYF(&n, &ib, f.bl, f.bu, f.x, &f.f, f.iw, &liw, f.w, &lw, p.ints.data(), p.reals.data(), nullptr);
    }
}

TEST(Fit, AVariableHeldByEqualBoundsStaysAndTheOthersFit) {
    const Records r = simulate(60, 2, 5.0, {0.02, 0.03}, 0.5, 3, 5);
    PackedModel p = PackedModel::make(r, {10, 0.025, 0, 1.0}, 3, {1, 2, 3, 4});
    p.reals[4 * 1 + 2] = p.reals[4 * 1 + 3] = 0.025;  // slope 1 held at 0.025, its start
    const Fit f = fit(p);
    EXPECT_TRUE(f.ifail == 0 || f.ifail == 5) << f.ifail;
    EXPECT_EQ(f.x[1], 0.025 * p.reals[4 * 1 + 1]);
    EXPECT_TRUE(std::isfinite(f.f));
    EXPECT_LE(f.f, reference_optimum(p, f) + 1e-8);
    // held at a value away from the start: the start is moved onto it
    PackedModel q = PackedModel::make(r, {10, 0.05, 0, 1.0}, 3, {1, 2, 3, 4});
    q.reals[4 * 1 + 2] = q.reals[4 * 1 + 3] = 0.01;
    const Fit g = fit(q);
    EXPECT_TRUE(g.ifail == 0 || g.ifail == 5) << g.ifail;
    EXPECT_DOUBLE_EQ(g.x[1], 0.01 * q.reals[4 * 1 + 1]);
}
