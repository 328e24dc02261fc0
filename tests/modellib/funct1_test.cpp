// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "testkit/packed_model.h"
#include "valdmora/modellib.h"

using namespace valdmora::testing;

namespace {

Records small_records() {
    Records r;
    r.np = 2;
    r.y = {12, 30, 7, 19};
    r.x = {{100, 3}, {340, 5}, {80, 1}, {200, 4}};
    return r;
}

double loglik_at(const Records& r, double b0, std::vector<double> beta, double e, int32_t dist) {
    auto table = predictor_table(r);
    int32_t nobs = static_cast<int32_t>(r.y.size()), np = r.np;
    std::vector<int32_t> y = r.y;
    return LOGLIK(&nobs, &np, y.data(), table.data(), &b0, beta.data(), &e, &dist);
}

struct Call {
    int32_t n = 0, ibound = 0, liw = 20, lw = 500, ifail = 1;
    double bl[12] = {}, bu[12] = {}, x[12] = {}, f = 0.0;
    int32_t iw[20] = {};
    double w[500] = {};

    void run(PackedModel& p) {
        N_E04JYF(&n, &ibound, bl, bu, x, &f, iw, &liw, w, &lw, p.ints.data(), p.reals.data(), &ifail);
    }
};

}  // namespace

TEST(Evaluate, NoFreeVariableEvaluatesOnceAndKeepsCodeAndVariables) {
    const Records r = small_records();
    for (int32_t dist : {1, 2, 3}) {
        PackedModel p = PackedModel::make(r, {4.0, 0.05, 1.5, 0.8}, dist, {1, 4});
        p.ints[999] = 41;
        Call c;
        c.ifail = 7;
        c.x[0] = 123.0;
        c.run(p);
        EXPECT_DOUBLE_EQ(c.f, -loglik_at(r, 4.0, {0.05, 1.5}, 0.8, dist));
        EXPECT_EQ(c.ifail, 7);
        EXPECT_EQ(c.x[0], 123.0);
        EXPECT_EQ(c.n, 0);
        EXPECT_EQ(c.liw, 20);
        EXPECT_EQ(p.counter(), 42);
    }
}

TEST(Evaluate, FixedTotalReplacesTheIntercept) {
    const Records r = small_records();
    const std::vector<int32_t> x_sum{1500, 22};
    const double T = 400.0;
    const double b0 = (T - 1500 * 0.05 - 22 * 1.5) / 10.0;
    for (double ignored : {4.0, -900.0}) {
        PackedModel p = PackedModel::make(r, {ignored, 0.05, 1.5, 2.0}, 2, {}, 10, x_sum, T);
        Call c;
        c.run(p);
        EXPECT_DOUBLE_EQ(c.f, -loglik_at(r, b0, {0.05, 1.5}, 2.0, 2));
    }
    // zero or a negative total switches the rule off
    for (double off : {0.0, -5.0}) {
        PackedModel p = PackedModel::make(r, {4.0, 0.05, 1.5, 2.0}, 2, {}, 10, x_sum, off);
        Call c;
        c.run(p);
        EXPECT_DOUBLE_EQ(c.f, -loglik_at(r, 4.0, {0.05, 1.5}, 2.0, 2));
    }
}

TEST(Evaluate, VariablesAreDividedByTheirScale) {
    const Records r = small_records();
    // position 2 has scale 2: variable 3 makes the coefficient 1.5
    PackedModel p = PackedModel::make(r, {4.0, 99.0, 1.5, 2.0}, 2, {2}, 0, {}, 0.0, {1, 2, 1, 1});
    int32_t n = 1;
    double v[1] = {3.0}, f = 0;
    FUNCT1(&n, v, &f, p.ints.data(), p.reals.data());
    EXPECT_DOUBLE_EQ(f, -loglik_at(r, 4.0, {1.5, 1.5}, 2.0, 2));
    EXPECT_EQ(n, 1);
    EXPECT_EQ(p.counter(), 1);
}

TEST(Evaluate, CounterWrapsInsteadOfOverflowing) {
    PackedModel p = PackedModel::make(small_records(), {4, 0, 0, 1}, 3);
    p.ints[999] = std::numeric_limits<int32_t>::max();
    int32_t n = 0;
    double f = 0;
    FUNCT1(&n, nullptr, &f, p.ints.data(), p.reals.data());
    EXPECT_EQ(p.counter(), std::numeric_limits<int32_t>::min());
}

TEST(Evaluate, MalformedModelDataIsRefusedWithoutEvaluating) {
    const Records r = small_records();
    auto bad = [&](auto&& spoil, int32_t n) {
        PackedModel p = PackedModel::make(r, {4.0, 0.05, 1.5, 2.0}, 2, {1, 4});
        spoil(p);
        Call c;
        c.n = n;
        for (int i = 0; i < 12; ++i) {
            c.bl[i] = -1000;
            c.bu[i] = 1000;
            c.x[i] = 0.5;
        }
        c.run(p);
        EXPECT_EQ(c.ifail, VALDMORA_FIT_BAD_ARGS);
        EXPECT_EQ(p.counter(), 0) << "evaluated although the data were malformed";
        EXPECT_EQ(c.x[0], 0.5);
    };
    bad([](PackedModel& p) { p.ints[12] = 100; }, 2);   // more than 99 records
    bad([](PackedModel& p) { p.ints[12] = -1; }, 2);
    bad([](PackedModel& p) { p.ints[10] = 5; }, 2);     // more than 4 predictors
    bad([](PackedModel& p) { p.ints[12] = 100; }, 0);   // also when only evaluating
    bad([](PackedModel& p) { p.ints[2] = 5; }, 2);      // position beyond np + 2 = 4
    bad([](PackedModel& p) { p.ints[1] = 0; }, 2);
    bad([](PackedModel&) {}, 12);                       // more than 11 variables
    bad([](PackedModel&) {}, -1);
}

TEST(Evaluate, Funct1RefusesMalformedDataWithNaN) {
    PackedModel p = PackedModel::make(small_records(), {4, 0, 0, 1}, 3);
    p.ints[10] = 9;
    int32_t n = 0;
    double f = 0;
    FUNCT1(&n, nullptr, &f, p.ints.data(), p.reals.data());
    EXPECT_TRUE(std::isnan(f));
    FUNCT1(&n, nullptr, &f, nullptr, p.reals.data());
    EXPECT_TRUE(std::isnan(f));
}
