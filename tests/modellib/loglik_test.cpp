// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "testkit/packed_model.h"
#include "model.h"
#include "valdmora/floored_mean.h"
#include "valdmora/modellib.h"

using valdmora::floored_mean;
using namespace valdmora::testing;

namespace {

// Independent transcription of the count likelihood, term by term.
double reference_loglik(const Records& r, double b0, const std::vector<double>& beta, double e, int dist) {
    double total = 0.0;
    for (std::size_t i = 0; i < r.y.size(); ++i) {
        double h = b0;
        for (int j = 0; j < r.np; ++j) h += r.x[i][j] * beta[j];
        const double m = floored_mean(h);
        const double y = r.y[i];
        if (dist == 1) {
            const double s = std::sqrt(std::log(1 + e * e));
            const double mu = std::log(m) - s * s / 2;
            total += -std::pow(std::log(y) - mu, 2) / (2 * s * s) - std::log(y * s);
        } else if (dist == 2) {
            total += -std::pow(y - m, 2) / (2 * e * e) - std::log(e);
        } else {
            const double p = 1 / (1 + e);
            const double size = p * m / (1 - p);
            double a = size + y - 1;
            int32_t k = r.y[i];
            total += RLOGCOMBIN(&a, &k) + size * std::log(p) + y * std::log(1 - p);
        }
    }
    return total;
}

double call_loglik(const Records& r, double b0, std::vector<double> beta, double e, int32_t dist) {
    auto table = predictor_table(r);
    int32_t nobs = static_cast<int32_t>(r.y.size()), np = r.np;
    std::vector<int32_t> y = r.y;
    if (beta.empty()) beta.push_back(0.0);
    if (y.empty()) y.push_back(0);
    return LOGLIK(&nobs, &np, y.data(), table.data(), &b0, beta.data(), &e, &dist);
}

}  // namespace

TEST(FlooredMean, PiecesMeetAtTwoAndStayAboveOne) {
    EXPECT_DOUBLE_EQ(floored_mean(2.0), 2.0);
    EXPECT_DOUBLE_EQ(floored_mean(1.0), 1.5);
    EXPECT_DOUBLE_EQ(floored_mean(-1.0), 1.25);
    EXPECT_DOUBLE_EQ(floored_mean(-1000.0), 1.0 + 1.0 / 1003.0);
    EXPECT_DOUBLE_EQ(floored_mean(57.5), 57.5);
    // equal slope on both sides of 2
    EXPECT_NEAR((floored_mean(2.0) - floored_mean(2.0 - 1e-7)) / 1e-7, 1.0, 1e-6);
}

TEST(Rlogcombin, DefiningValues) {
    double a = 4.0;
    int32_t k = 2;
    EXPECT_NEAR(RLOGCOMBIN(&a, &k), std::log(6.0), 1e-15);
    for (double av : {0.3, 7.25, 1e6}) {
        for (int32_t kv : {0, -3}) EXPECT_EQ(RLOGCOMBIN(&av, &kv), 0.0);
        int32_t one = 1;
        EXPECT_DOUBLE_EQ(RLOGCOMBIN(&av, &one), std::log(av));
    }
    EXPECT_TRUE(std::isnan(RLOGCOMBIN(nullptr, &k)));
}

TEST(Rlogcombin, ProductFormAgreesWithTheLoop) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> log_size(std::log(0.01), std::log(1e5));
    std::uniform_int_distribution<int32_t> count(0, 2000);
    for (int c = 0; c < 5000; ++c) {
        const double size = std::exp(log_size(gen));
        const int32_t y = count(gen);
        const double a = size + y - 1.0;
        const double loop = valdmora::model::rlogcombin_loop(a, y);
        const double product = valdmora::model::rlogcombin_product(a, y);
        // both forms carry rounding of order k ulps of the terms
        EXPECT_NEAR(product, loop, 1e-15 * (y + 1) * std::max(1.0, std::fabs(loop))) << "a=" << a << " k=" << y;
        // and both are the log of the generalised binomial coefficient
        const double gamma_form = std::lgamma(a + 1) - std::lgamma(a - y + 1) - std::lgamma(y + 1.0);
        EXPECT_NEAR(loop, gamma_form, 1e-9 * std::max(1.0, std::fabs(loop)));
    }
    // factors that are not positive or too large go through the loop itself
    EXPECT_TRUE(std::isnan(valdmora::model::rlogcombin_product(2.5, 5)));
    EXPECT_EQ(valdmora::model::rlogcombin_product(1e300, 3), valdmora::model::rlogcombin_loop(1e300, 3));
}

TEST(Rlogcombin, HugeCountsTakeTheGammaFormAndKeepTheLoopsEdges) {
    using valdmora::model::rlogcombin_loop;
    const int32_t big = valdmora::model::kLongCount + 1;
    const double a = big + 40.5;
    const double want = std::lgamma(a + 1) - std::lgamma(a - big + 1) - std::lgamma(big + 1.0);
    EXPECT_NEAR(rlogcombin_loop(a, big), want, 1e-12 * std::fabs(want));
    EXPECT_NEAR(valdmora::model::rlogcombin_product(a, big), want, 1e-12 * std::fabs(want));
    EXPECT_TRUE(std::isnan(rlogcombin_loop(big - 5.0, big)));        // a factor below zero
    EXPECT_EQ(rlogcombin_loop(big - 1.0, big), -INFINITY);          // a zero factor
    int32_t k = std::numeric_limits<int32_t>::max();
    double huge = 3e9;
    EXPECT_TRUE(std::isfinite(RLOGCOMBIN(&huge, &k)));  // at once, not after two billion steps
}

TEST(Loglik, MatchesIndependentReferenceForEveryDistribution) {
    for (int32_t dist : {1, 2, 3}) {
        for (uint32_t seed = 1; seed <= 20; ++seed) {
            const double e = dist == 1 ? 0.4 : dist == 2 ? 8.0 : 1.5;
            const std::vector<double> beta{0.01, 0.02, -0.005, 0.03};
            const Records r = simulate(10 + 4 * static_cast<int32_t>(seed), 1 + seed % 4, 3.0, beta, e, dist, seed);
            const double b0 = 1.0 + seed, ee = e * (0.5 + 0.05 * seed);
            const std::vector<double> b{0.012, 0.018, -0.004, 0.025};
            const double got = call_loglik(r, b0, b, ee, dist);
            const double want = reference_loglik(r, b0, b, ee, dist);
            EXPECT_NEAR(got, want, 1e-12 * std::fabs(want)) << "dist " << dist;
        }
    }
}

TEST(Loglik, EdgeCases) {
    Records none;
    none.np = 2;
    EXPECT_EQ(call_loglik(none, 5.0, {1, 1}, 0.3, 1), 0.0);

    // np = 0: every mean is b0
    Records flat;
    flat.np = 0;
    flat.y = {3, 7};
    flat.x = {{}, {}};
    const double e = 2.0, b0 = 5.0;
    const double want = -(4.0 + 4.0) / (2 * e * e) - 2 * std::log(e);
    EXPECT_NEAR(call_loglik(flat, b0, {}, e, 2), want, 1e-14);

    // negative binomial: y = 0 contributes r ln p = -(m / e) ln(1 + e); codes 0, 4, -1 are negative binomial
    Records zero;
    zero.np = 0;
    zero.y = {0};
    zero.x = {{}};
    for (int32_t dist : {3, 0, 4, -1})
        EXPECT_NEAR(call_loglik(zero, 6.0, {}, 0.5, dist), -(6.0 / 0.5) * std::log(1.5), 1e-12);

    // lognormal count below 1: -infinity, not NaN
    Records lz = flat;
    lz.y = {4, 0};
    EXPECT_EQ(call_loglik(lz, b0, {}, 0.3, 1), -std::numeric_limits<double>::infinity());
}

TEST(Loglik, SizesBeyondTheTablesAreRefusedWithoutReading) {
    int32_t y[1] = {1}, x[1] = {1}, dist = 2;
    double b0 = 1, beta[1] = {0}, e = 1;
    for (auto [nobs, np] : {std::pair{100, 1}, {-1, 1}, {1, 5}, {1, -1}}) {
        // the one-element arrays would be overrun if the sizes were believed
        EXPECT_TRUE(std::isnan(LOGLIK(&nobs, &np, y, x, &b0, beta, &e, &dist)));
    }
}
