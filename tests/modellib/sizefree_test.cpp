// SPDX-License-Identifier: GPL-3.0-or-later
// The size-free entries against the 99-record ones (one implementation, so the same bits),
// beyond 99 records, with fractional predictor values, and refusing what cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "testkit/packed_model.h"
#include "valdmora/modellib.h"

using namespace valdmora::testing;

namespace {

// Column-major doubles with leading dimension nobs, as the size-free entries take them.
struct Columns {
    std::vector<int32_t> y;
    std::vector<double> x, x_sum;
    std::vector<double> value, scale;
    valdmora_model model(int32_t np, int32_t dist, double wards = 0.0, double fixed_total = 0.0) const {
        return {static_cast<int64_t>(y.size()), np, dist, y.data(), x.data(), x_sum.empty() ? nullptr : x_sum.data(),
                wards, value.data(), scale.data(), fixed_total};
    }
};

Columns columns(const Records& r, const std::vector<double>& values, const std::vector<int32_t>& x_sum = {}) {
    Columns c;
    c.y = r.y;
    const std::size_t n = r.y.size();
    c.x.resize(n * static_cast<std::size_t>(r.np));
    for (std::size_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < r.np; ++j) c.x[i + n * static_cast<std::size_t>(j)] = r.x[i][static_cast<std::size_t>(j)];
    for (int32_t s : x_sum) c.x_sum.push_back(s);
    c.value = values;
    c.scale.assign(values.size(), 1.0);
    return c;
}

struct OldFit {
    int32_t code = 1;
    double f = 0.0;
    std::vector<double> x;
    int32_t evaluations = 0;
};

OldFit old_fit(PackedModel p, const std::vector<double>& lower, const std::vector<double>& upper) {
    OldFit r;
    int32_t n = p.ints[0], ib = 0, liw = 20, lw = 500, iw[20];
    double bl[12] = {}, bu[12] = {}, x[12] = {}, w[500];
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = p.ints[1 + i] - 1;
        x[i] = p.reals[4 * k];
        bl[i] = lower[static_cast<std::size_t>(i)];
        bu[i] = upper[static_cast<std::size_t>(i)];
    }
    N_E04JYF(&n, &ib, bl, bu, x, &r.f, iw, &liw, w, &lw, p.ints.data(), p.reals.data(), &r.code);
    r.x.assign(x, x + n);
    r.evaluations = p.counter();
    return r;
}

}  // namespace

TEST(SizeFree, SameBitsAsThe99RecordEntries) {
    for (int32_t dist : {1, 2, 3}) {
        const double e = dist == 1 ? 0.3 : dist == 2 ? 6.0 : 1.0;
        const Records r = simulate(99, 3, 4.0, {0.01, 0.02, 0.015}, e, dist, 5);
        const std::vector<double> start{10, 0, 0, 0, dist == 1 ? 0.25 : dist == 2 ? 10.0 : 1.0};
        const std::vector<int32_t> free_pos{1, 2, 3, 4, 5};
        const std::vector<double> lower{-1000, -1000, -1000, -1000, 0.01}, upper{1000, 1000, 1000, 1000, 100};
        for (double total : {0.0, 2500.0}) {
            SCOPED_TRACE(::testing::Message() << "dist " << dist << " total " << total);
            const std::vector<int32_t> sums{30000, 25000, 41000};
            const OldFit old = old_fit(PackedModel::make(r, start, dist, free_pos, 50, sums, total), lower, upper);
            const Columns c = columns(r, start, sums);
            const valdmora_model m = c.model(3, dist, 50, total);
            std::vector<double> x = start;
            double f = 0.0;
            int64_t evaluations = 0;
            const int32_t code = VALDMORA_FIT(&m, 5, free_pos.data(), lower.data(), upper.data(), x.data(), &f, &evaluations);
            EXPECT_EQ(code, old.code);
            EXPECT_EQ(f, old.f);
            EXPECT_EQ(x, old.x);
            EXPECT_EQ(evaluations, old.evaluations);
            // and one evaluation gives FUNCT1's value at the same point
            PackedModel p = PackedModel::make(r, start, dist, free_pos, 50, sums, total);
            int32_t n = 5;
            double funct = 0.0;
            FUNCT1(&n, x.data(), &funct, p.ints.data(), p.reals.data());
            EXPECT_EQ(VALDMORA_OBJECTIVE(&m, 5, free_pos.data(), x.data()), funct);
        }
    }
}

TEST(SizeFree, FitsThousandsOfRecordsAndKeepsFractionalPredictors) {
    // 5,000 records whose second predictor is a share on 0..1: rounded to whole numbers it
    // would be 0 or 1 and its slope of 40 could not be recovered.
    Records r = simulate(5000, 2, 6.0, {0.02, 0.0}, 0.5, 3, 9);
    Columns c = columns(r, {10, 0, 0, 1.0});
    std::mt19937 gen(4);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    for (std::size_t i = 0; i < r.y.size(); ++i) {
        const double s = std::round(share(gen) * 100.0) / 100.0;
        c.x[i + r.y.size()] = s;
        const double m = 6.0 + 0.02 * c.x[i] + 40.0 * s;
        std::gamma_distribution<double> g(m / 0.5, 0.5);
        c.y[i] = std::poisson_distribution<int32_t>(g(gen))(gen);
    }
    const valdmora_model m = c.model(2, 3);
    const std::vector<int32_t> free_pos{1, 2, 3, 4};
    const std::vector<double> lower{-1000, -1000, -1000, 0.01}, upper{1000, 1000, 1000, 100};
    std::vector<double> x{10, 0, 0, 1.0};
    double f = 0.0;
    const int32_t code = VALDMORA_FIT(&m, 4, free_pos.data(), lower.data(), upper.data(), x.data(), &f, nullptr);
    EXPECT_TRUE(code == 0 || code == 5) << code;
    EXPECT_NEAR(x[1], 0.02, 0.002);
    EXPECT_NEAR(x[2], 40.0, 2.0);
    EXPECT_NEAR(x[3], 0.5, 0.1);
    EXPECT_EQ(f, VALDMORA_OBJECTIVE(&m, 4, free_pos.data(), x.data()));
}

TEST(SizeFree, RefusesWhatItCannotUse) {
    const Records r = simulate(10, 1, 4.0, {0.01}, 1.0, 3, 2);
    const Columns c = columns(r, {10, 0, 1.0});
    const std::vector<int32_t> free_pos{1, 3};
    const std::vector<double> lower{-1000, 0.01}, upper{1000, 100};
    std::vector<double> x{10, 1.0};
    double f = 0.0;
    auto fit_with = [&](valdmora_model m, int32_t n = 2) {
        std::vector<double> start = x;
        return VALDMORA_FIT(&m, n, free_pos.data(), lower.data(), upper.data(), start.data(), &f, nullptr);
    };
    valdmora_model m = c.model(1, 3);
    EXPECT_EQ(fit_with(m, 12), VALDMORA_FIT_BAD_ARGS);
    EXPECT_EQ(fit_with(m, -1), VALDMORA_FIT_BAD_ARGS);
    valdmora_model bad = m;
    bad.np = 5;
    EXPECT_EQ(fit_with(bad), VALDMORA_FIT_BAD_ARGS);
    bad = m;
    bad.nobs = -1;
    EXPECT_EQ(fit_with(bad), VALDMORA_FIT_BAD_ARGS);
    bad = m;
    bad.y = nullptr;
    EXPECT_EQ(fit_with(bad), VALDMORA_FIT_BAD_ARGS);
    bad = m;
    bad.fixed_total = 100.0;  // a total needs the sums
    EXPECT_EQ(fit_with(bad), VALDMORA_FIT_BAD_ARGS);
    EXPECT_EQ(VALDMORA_FIT(nullptr, 2, free_pos.data(), lower.data(), upper.data(), x.data(), &f, nullptr),
              VALDMORA_FIT_BAD_ARGS);
    const std::vector<int32_t> outside{1, 4};
    EXPECT_TRUE(std::isnan(VALDMORA_OBJECTIVE(&m, 2, outside.data(), x.data())));
    const std::vector<double> reversed{2000, 0.01};  // above its upper bound
    EXPECT_EQ(VALDMORA_FIT(&m, 2, free_pos.data(), reversed.data(), upper.data(), x.data(), &f, nullptr),
              VALDMORA_FIT_BAD_ARGS);
    // no free variable: one evaluation at the held values
    int64_t evaluations = 0;
    EXPECT_EQ(VALDMORA_FIT(&m, 0, nullptr, nullptr, nullptr, nullptr, &f, &evaluations), VALDMORA_FIT_OK);
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(f, VALDMORA_OBJECTIVE(&m, 0, nullptr, nullptr));
    // the lognormal with a count below 1 has no value
    Columns zero = c;
    zero.y[3] = 0;
    const valdmora_model lognormal = zero.model(1, 1);
    EXPECT_EQ(VALDMORA_OBJECTIVE(&lognormal, 0, nullptr, nullptr), std::numeric_limits<double>::infinity());
    std::vector<double> start = x;
    EXPECT_EQ(VALDMORA_FIT(&lognormal, 2, free_pos.data(), lower.data(), upper.data(), start.data(), &f, nullptr),
              VALDMORA_FIT_START_NOT_FINITE);
    EXPECT_EQ(start, x);
}

TEST(SizeFree, RefusesADistributionCodeOtherThanOneToThree) {
    // The original entries read any code but 1 and 2 as the negative binomial, and keep
    // doing so; the size-free ones take 1, 2 and 3 only, so a stray code is never a model.
    const Records r = simulate(30, 1, 4.0, {0.01}, 1.0, 3, 5);
    const Columns c = columns(r, {4, 0.01, 1.0});
    const std::vector<int32_t> free_pos{1, 2, 3};
    const std::vector<double> lower{-1000, -1000, 0.01}, upper{1000, 1000, 100};
    const std::vector<int32_t> table = predictor_table(r);
    std::vector<double> wide(table.begin(), table.end());
    std::vector<int32_t> y = r.y;
    double b0 = 4.0, beta[1] = {0.01}, e = 1.0;
    int32_t nobs = 30, np = 1, negbin = 3;
    const double negbin_ll = LOGLIK(&nobs, &np, y.data(), const_cast<int32_t*>(table.data()), &b0, beta, &e, &negbin);
    for (int32_t code : {0, 4, -3, 255}) {
        SCOPED_TRACE(code);
        const valdmora_model m = c.model(1, code);
        std::vector<double> x{4, 0.01, 1.0};
        const std::vector<double> start = x;
        double f = 0.0;
        EXPECT_EQ(VALDMORA_FIT(&m, 3, free_pos.data(), lower.data(), upper.data(), x.data(), &f, nullptr),
                  VALDMORA_FIT_BAD_ARGS);
        EXPECT_EQ(VALDMORA_SEARCH(&m, 3, free_pos.data(), lower.data(), upper.data(), x.data(), &f, nullptr),
                  VALDMORA_FIT_BAD_ARGS);
        EXPECT_EQ(x, start);
        std::vector<double> h(9);
        EXPECT_EQ(VALDMORA_HESSIAN(&m, 3, free_pos.data(), x.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_BAD_ARGS);
        EXPECT_TRUE(std::isnan(VALDMORA_OBJECTIVE(&m, 3, free_pos.data(), x.data())));
        EXPECT_TRUE(std::isnan(VALDMORA_LOGLIK(30, 1, y.data(), wide.data(), 99, b0, beta, e, code)));
        int32_t old_code = code;
        EXPECT_EQ(LOGLIK(&nobs, &np, y.data(), const_cast<int32_t*>(table.data()), &b0, beta, &e, &old_code), negbin_ll);
    }
}

TEST(SizeFree, LoglikTakesAnyLeadingDimension) {
    const Records r = simulate(40, 2, 4.0, {0.01, 0.02}, 1.0, 3, 8);
    const std::vector<int32_t> table = predictor_table(r);  // column length 99
    std::vector<double> wide(table.begin(), table.end());
    int32_t nobs = 40, np = 2, dist = 3;
    std::vector<int32_t> y = r.y;
    double b0 = 3.0, beta[2] = {0.012, 0.018}, e = 0.7;
    const double old = LOGLIK(&nobs, &np, y.data(), const_cast<int32_t*>(table.data()), &b0, beta, &e, &dist);
    EXPECT_EQ(VALDMORA_LOGLIK(40, 2, y.data(), wide.data(), 99, b0, beta, e, dist), old);
    EXPECT_TRUE(std::isnan(VALDMORA_LOGLIK(40, 2, y.data(), wide.data(), 39, b0, beta, e, dist)));
    EXPECT_TRUE(std::isnan(VALDMORA_LOGLIK(40, 5, y.data(), wide.data(), 99, b0, beta, e, dist)));
    EXPECT_EQ(VALDMORA_LOGLIK(0, 2, nullptr, nullptr, 0, b0, beta, e, dist), 0.0);
}
