// SPDX-License-Identifier: GPL-3.0-or-later
// The prepared objective's value against FUNCT1's, and its gradient against central
// differences of that value: every distribution, free and fixed totals, means on both
// pieces of the floor, scaled variables, and counts on every arithmetic path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "testkit/packed_model.h"
#include "model.h"
#include "prepared_objective.h"

using namespace valdmora::testing;
using valdmora::model::PreparedObjective;
using valdmora::model::Unpacked;

namespace {

struct Case {
    const char* what;
    int32_t dist;
    std::vector<double> values;  // intercept, slopes, extra parameter
    double fixed_total;
    std::vector<int32_t> counts;  // empty: simulated
};

void check(const Case& c) {
    SCOPED_TRACE(c.what);
    Records r = simulate(30, 2, 5.0, {0.01, 0.02}, c.dist == 1 ? 0.3 : c.dist == 2 ? 6.0 : 1.0, c.dist, 3);
    if (!c.counts.empty())
        for (std::size_t i = 0; i < r.y.size(); ++i) r.y[i] = c.counts[i % c.counts.size()];
    const std::vector<int32_t> free_pos{1, 2, 3, 4};
    const std::vector<double> scale{1.0, 100.0, 10.0, 2.0};
    PackedModel p = PackedModel::make(r, c.values, c.dist, free_pos, 40, {24000, 26000}, c.fixed_total, scale);
    Unpacked d;
    ASSERT_TRUE(valdmora::model::unpack(p.ints.data(), p.reals.data(), d));
    const PreparedObjective prepared(d.view());

    double x[4];
    for (int i = 0; i < 4; ++i) x[i] = c.values[static_cast<std::size_t>(i)] * scale[static_cast<std::size_t>(i)];
    double g[4];
    const double f = prepared(4, free_pos.data(), x, g);
    EXPECT_NEAR(f, valdmora::model::objective(d.view(), 4, free_pos.data(), x), 1e-11 * std::fabs(f));
    EXPECT_EQ(f, prepared(4, free_pos.data(), x));

    auto difference = [&](int i, double h) {
        double up[4], down[4];
        std::copy(x, x + 4, up);
        std::copy(x, x + 4, down);
        up[i] += h;
        down[i] -= h;
        return (prepared(4, free_pos.data(), up) - prepared(4, free_pos.data(), down)) / (2 * h);
    };
    for (int i = 0; i < 4; ++i) {
        const double h = 1e-4 * std::max(1.0, std::fabs(x[i]));
        // Richardson's extrapolation: the floor's curvature does not bias the comparison
        const double numeric = (4.0 * difference(i, h / 2) - difference(i, h)) / 3.0;
        // rounding in the differences grows with |f| / h (long sums of logarithms)
        EXPECT_NEAR(g[i], numeric, 1e-6 * (1.0 + std::fabs(numeric)) + 1e-13 * std::fabs(f) / h) << "variable " << i;
    }
    if (c.fixed_total > 0.0) {
        EXPECT_EQ(g[0], 0.0) << "the intercept follows the total";
    }
}

TEST(PreparedObjective, GradientMatchesDifferencesOfTheValue) {
    const std::vector<Case> cases{
        {"lognormal", 1, {5.0, 0.01, 0.02, 0.3}, 0.0, {}},
        {"lognormal, fixed total", 1, {5.0, 0.012, 0.018, 0.4}, 900.0, {}},
        {"lognormal, means on the floor", 1, {-30.0, 0.01, 0.02, 0.5}, 0.0, {}},
        {"normal", 2, {5.0, 0.01, 0.02, 6.0}, 0.0, {}},
        {"normal, fixed total", 2, {5.0, 0.011, 0.02, 4.0}, 1200.0, {}},
        {"normal, means on the floor", 2, {-25.0, 0.01, 0.02, 6.0}, 0.0, {}},
        {"negative binomial", 3, {5.0, 0.01, 0.02, 1.0}, 0.0, {}},
        {"negative binomial, fixed total", 3, {5.0, 0.01, 0.022, 0.7}, 1500.0, {}},
        {"negative binomial, means on the floor", 3, {-28.0, 0.01, 0.02, 2.0}, 0.0, {}},
        // zero counts, a long falling product, and factors beyond the chunked products' range
        {"negative binomial, zero and long counts", 3, {5.0, 0.01, 0.02, 1.5}, 0.0, {0, 1, 3, 70, 200}},
        {"negative binomial, large counts", 3, {5.0, 0.01, 0.02, 1.5}, 0.0, {12000, 40000, 9}},
        {"negative binomial, small extra parameter", 3, {5.0, 0.01, 0.02, 0.02}, 0.0, {}},
    };
    for (const Case& c : cases) check(c);
}

}  // namespace

// Every way falling_product takes (runs of 62 or 16 factors, a lone tiny factor, factors too
// large for products, factors at or below 0 said at once) gives the defining sums of ln(a - i)
// and 1 / (a - i), here in long double, to the rounding of a long sum.
TEST(FallingProduct, EveryRangeGivesTheDefiningSums) {
    struct Case {
        double a;
        int32_t k;
    };
    const int32_t longest = valdmora::model::kLongCount;
    for (const Case& c : {Case{250.5, 200}, Case{5e5 + 0.3, 500000}, Case{2e9, 1000}, Case{3e15, 1000},
                          Case{1e300, 3}, Case{1e-150, 1}, Case{longest + 0.5, longest}}) {
        SCOPED_TRACE(::testing::Message() << "a=" << c.a << " k=" << c.k);
        long double log_sum = 0.0L, slope = 0.0L;
        for (int32_t i = 0; i < c.k; ++i) {
            log_sum += std::log(static_cast<long double>(c.a) - i);
            slope += 1.0L / (static_cast<long double>(c.a) - i);
        }
        double ls = 0.0, sl = 0.0, nu = 0.0;
        const double last = valdmora::model::falling_product<true>(c.a, c.k, &ls, &sl, &nu);
        const double want = static_cast<double>(log_sum), want_slope = static_cast<double>(slope);
        EXPECT_NEAR(ls + std::log(last), want, 1e-13 * std::max(1.0, std::fabs(want)));
        EXPECT_NEAR(sl + nu / last, want_slope, 1e-12 * std::fabs(want_slope));
        double without = 0.0;
        EXPECT_EQ(valdmora::model::falling_product<false>(c.a, c.k, &without, &sl, &nu), last);
        EXPECT_EQ(without, ls);
    }
    double ls = 0.0, sl = 0.0, nu = 0.0;
    EXPECT_EQ(valdmora::model::falling_product<true>(longest - 1.0, longest, &ls, &sl, &nu), 1.0);
    EXPECT_EQ(ls, -INFINITY);  // a zero factor
    valdmora::model::falling_product<true>(longest - 2.5, longest, &ls, &sl, &nu);
    EXPECT_TRUE(std::isnan(ls));  // one below zero
    EXPECT_TRUE(std::isnan(sl));
}

#if VALDMORA_FOUR_LANES
// The four-lane products must be the record-at-a-time products to the bit, lane by lane,
// whatever the mix of lengths: runs of 62 that end in different lanes, tails of 0 to 3,
// zero and negative counts beside long ones.
TEST(FourLanes, ProductsAreThoseOfOneRecordAtATime) {
    if (!valdmora::model::four_lanes_available()) GTEST_SKIP() << "no AVX2 here";
    std::mt19937_64 random(17);
    std::uniform_int_distribution<int32_t> length(0, 200);
    std::uniform_real_distribution<double> size(0.01, 60.0);
    for (int round = 0; round < 2000; ++round) {
        int32_t k[4];
        double a[4];
        for (int l = 0; l < 4; ++l) {
            k[l] = round % 7 == 0 && l == 1 ? -3 : length(random);
            if (round % 5 == 0) k[l] = 60 + l;  // lanes ending one after another near a run's end
            a[l] = size(random) + k[l] - 1.0;
        }
        SCOPED_TRACE(::testing::Message() << "counts " << k[0] << " " << k[1] << " " << k[2] << " " << k[3]);
        ASSERT_TRUE(valdmora::model::falling_products_fit_lanes(a, k));
        double log_sum[4], slope[4], numerator[4], last[4];
        valdmora::model::falling_products4<true>(a, k, log_sum, slope, numerator, last);
        double comb[4];
        ASSERT_TRUE(valdmora::model::rlogcombin_products4(a, k, comb));
        for (int l = 0; l < 4; ++l) {
            double ls = 0.0, sl = 0.0, nu = 0.0;
            const double p = valdmora::model::falling_product<true>(a[l], k[l], &ls, &sl, &nu);
            EXPECT_EQ(last[l], p) << "lane " << l;
            EXPECT_EQ(log_sum[l], ls) << "lane " << l;
            EXPECT_EQ(slope[l], sl) << "lane " << l;
            EXPECT_EQ(numerator[l], nu) << "lane " << l;
            const double c = valdmora::model::rlogcombin_product(a[l], k[l]);
            EXPECT_EQ(std::memcmp(&comb[l], &c, sizeof c), 0) << "lane " << l << ": " << comb[l] << " vs " << c;
        }
    }
    // a lane the chunks cannot hold sends all four back to one at a time
    const double a[4] = {5.0, 2e4, 7.0, 9.0};
    const int32_t k[4] = {3, 4, 5, 6};
    double out[4];
    EXPECT_FALSE(valdmora::model::falling_products_fit_lanes(a, k));
    EXPECT_FALSE(valdmora::model::rlogcombin_products4(a, k, out));
}
#endif
