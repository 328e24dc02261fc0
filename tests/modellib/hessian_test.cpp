// SPDX-License-Identifier: GPL-3.0-or-later
// The exact second derivatives against differences of the objective itself, on
// real-sized predictors (populations in thousands, slopes of 1e-4), with some means on the
// floor, with a fixed total and with scale factors; and the arguments it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "valdmora/modellib.h"

namespace {

struct Survey {
    std::vector<int32_t> y;
    std::vector<double> x;  // population, then last year's count, column after column
    std::vector<double> x_sum{412345.0, 1880.0};
    std::vector<double> value, scale;
    valdmora_model model(int32_t dist, double fixed_total = 0.0) const {
        return {static_cast<int64_t>(y.size()), 2, dist, y.data(), x.data(), x_sum.data(), 90.0, value.data(),
                scale.data(), fixed_total};
    }
};

// 60 wards; at the values below a few wards' linear predictors fall under 2, on the floor.
Survey survey() {
    Survey s;
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> pop(300, 9000), last(0, 60);
    const int n = 60;
    s.x.resize(2 * n);
    for (int i = 0; i < n; ++i) {
        // the first few are small wards, whose means sit on the floor
        s.x[i] = i < 4 ? 250.0 + 50.0 * i : pop(gen);
        s.x[n + i] = i < 4 ? i : last(gen);
        const double m = -1.5 + 0.0042 * s.x[i] + 0.45 * s.x[n + i];
        s.y.push_back(std::max(1, static_cast<int>(std::lround(m * (0.6 + 0.8 * (i % 5) / 4.0)))));
    }
    s.value = {-1.5, 0.0042, 0.45, 1.7};
    s.scale = {1.0, 1.0, 1.0, 1.0};
    return s;
}

double objective(const valdmora_model& m, const std::vector<int32_t>& pos, std::vector<double> x) {
    return VALDMORA_OBJECTIVE(&m, static_cast<int32_t>(pos.size()), pos.data(), x.data());
}

// Fourth-order central differences of the objective, each step relative to its variable.
double second_difference(const valdmora_model& m, const std::vector<int32_t>& pos, const std::vector<double>& x,
                         std::size_t a, std::size_t b, double relative_step) {
    const double ha = relative_step * std::fabs(x[a]), hb = relative_step * std::fabs(x[b]);
    auto f = [&](double da, double db) {
        std::vector<double> p = x;
        p[a] += da;
        p[b] += db;
        return objective(m, pos, p);
    };
    if (a == b) {
        return (-f(2 * ha, 0) + 16 * f(ha, 0) - 30 * f(0, 0) + 16 * f(-ha, 0) - f(-2 * ha, 0)) / (12 * ha * ha);
    }
    auto cross = [&](double s) { return f(s * ha, s * hb) - f(s * ha, -s * hb) - f(-s * ha, s * hb) + f(-s * ha, -s * hb); };
    return (16 * cross(1) - cross(2)) / (48 * ha * hb);
}

void expect_hessian_matches_differences(const valdmora_model& m, const std::vector<int32_t>& pos,
                                        const std::vector<double>& x, double relative_step = 1e-3) {
    const auto n = pos.size();
    std::vector<double> h(n * n), g(n);
    double f = 0.0;
    ASSERT_EQ(VALDMORA_HESSIAN(&m, static_cast<int32_t>(n), pos.data(), x.data(), &f, g.data(), h.data()),
              VALDMORA_FIT_OK);
    EXPECT_DOUBLE_EQ(f, objective(m, pos, x));
    for (std::size_t a = 0; a < n; ++a) {
        const double step = 1e-5 * std::fabs(x[a]);
        std::vector<double> up = x, down = x;
        up[a] += step;
        down[a] -= step;
        EXPECT_NEAR(g[a], (objective(m, pos, up) - objective(m, pos, down)) / (2 * step),
                    1e-6 * (std::fabs(g[a]) + 1.0 / std::fabs(x[a])))
            << "gradient " << a;
        for (std::size_t b = 0; b < n; ++b) {
            EXPECT_DOUBLE_EQ(h[a + n * b], h[b + n * a]);
            const double diff = second_difference(m, pos, x, a, b, relative_step);
            const double scale = std::sqrt(std::fabs(h[a + n * a] * h[b + n * b]));
            EXPECT_NEAR(h[a + n * b], diff, 2e-6 * scale) << "entry " << a << "," << b << " dist " << m.dist;
        }
    }
}

}  // namespace

TEST(Hessian, EachDistributionMatchesDifferencesOnRealSizedPredictors) {
    const Survey s = survey();
    int on_floor = 0;
    for (std::size_t i = 0; i < s.y.size(); ++i)
        on_floor += s.value[0] + s.value[1] * s.x[i] + s.value[2] * s.x[s.y.size() + i] < 2.0;
    ASSERT_GT(on_floor, 0);
    for (int32_t dist : {1, 2, 3}) {
        const valdmora_model m = s.model(dist);
        expect_hessian_matches_differences(m, {1, 2, 3, 4}, s.value);
        // a subset of the positions, in another order
        expect_hessian_matches_differences(m, {4, 2}, {s.value[3], s.value[1]});
    }
}

TEST(Hessian, FixedTotalAndScaleFactors) {
    Survey s = survey();
    s.scale = {1.0, 1000.0, 1.0, 0.5};
    for (int32_t dist : {1, 2, 3}) {
        const valdmora_model m = s.model(dist, 3000.0);
        // with a fixed total the intercept follows the slopes (every mean clear of the floor
        // here: differences across its bend are no reference)
        expect_hessian_matches_differences(m, {2, 3, 4}, {s.value[1] * 1000.0, s.value[2], s.value[3] * 0.5});
        std::vector<double> h(4);
        const std::vector<int32_t> pos{1, 3};
        const std::vector<double> x{5.0, 0.45};
        ASSERT_EQ(VALDMORA_HESSIAN(&m, 2, pos.data(), x.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_OK);
        EXPECT_EQ(h[0], 0.0);
        EXPECT_EQ(h[1], 0.0);
    }
}

TEST(Hessian, LargeNegativeBinomialCountsUseTheSeries) {
    // counts beyond the direct sums: the series must agree with differences there too
    Survey s = survey();
    for (auto& y : s.y) y = y * 40 + 7;
    s.value = {20.0, 0.17, 18.0, 30.0};
    // larger steps: the objective is large here, and its roundoff would swamp small ones
    expect_hessian_matches_differences(s.model(3), {1, 2, 3, 4}, s.value, 1e-2);
}

// One negative binomial record, the intercept alone free and above the floor: the slope and
// curvature in the mean are sums over t < y of 1/(r + t) and 1/(r + t)^2 (r = m / e), here
// summed term by term in long double, against the series the library switches to, at
// sizes of r either side of where it does.
TEST(Hessian, NegativeBinomialCountTermsMatchTheirSumsTermByTerm) {
    const double e = 1.5;
    for (double m : {4.0, 14.0, 23.0, 60.0, 900.0})
        for (int32_t y : {9, 40, 400}) {
            SCOPED_TRACE(std::to_string(m) + " " + std::to_string(y));
            const double x_sum = 0.0;
            const double value[2] = {m, e}, scale[2] = {1.0, 1.0};
            const valdmora_model model{1, 0, 3, &y, nullptr, &x_sum, 10.0, value, scale, 0.0};
            const int32_t position = 1;
            double g = 0.0, h = 0.0;
            ASSERT_EQ(VALDMORA_HESSIAN(&model, 1, &position, &m, nullptr, &g, &h), VALDMORA_FIT_OK);
            const long double r = static_cast<long double>(m) / e;
            long double first = 0.0L, second = 0.0L;
            for (int32_t t = 0; t < y; ++t) {
                first += 1.0L / (r + t);
                second += 1.0L / ((r + t) * (r + t));
            }
            // -dl/dm = -(first - ln(1 + e)) / e, -d2l/dm2 = second / e^2
            const double slope = static_cast<double>(-(first - std::log1p(static_cast<long double>(e))) / e);
            const double curvature = static_cast<double>(second / (static_cast<long double>(e) * e));
            EXPECT_NEAR(g, slope, 1e-13 * std::fabs(static_cast<double>(first) / e));
            EXPECT_NEAR(h, curvature, 1e-13 * curvature);
        }
}

TEST(Hessian, RefusesWhatCannotBeUsed) {
    Survey s = survey();
    const valdmora_model m = s.model(3);
    std::vector<double> h(36, -7.0);
    const std::vector<double> x{1.0, 1.0};
    const int32_t twice[] = {2, 2}, outside[] = {1, 5}, fine[] = {1, 2};
    EXPECT_EQ(VALDMORA_HESSIAN(&m, 2, twice, x.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_BAD_ARGS);
    EXPECT_EQ(VALDMORA_HESSIAN(&m, 2, outside, x.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_BAD_ARGS);
    EXPECT_EQ(VALDMORA_HESSIAN(&m, 0, fine, x.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_BAD_ARGS);
    EXPECT_EQ(VALDMORA_HESSIAN(nullptr, 2, fine, x.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_BAD_ARGS);
    const std::vector<double> nan{std::nan(""), 1.0};
    EXPECT_EQ(VALDMORA_HESSIAN(&m, 2, fine, nan.data(), nullptr, nullptr, h.data()), VALDMORA_FIT_BAD_ARGS);
    EXPECT_EQ(h[0], -7.0);  // nothing written
    // a lognormal count below 1 has no likelihood
    s.y[3] = 0;
    const valdmora_model lognormal = s.model(1);
    EXPECT_EQ(VALDMORA_HESSIAN(&lognormal, 2, fine, x.data(), nullptr, nullptr, h.data()),
              VALDMORA_FIT_START_NOT_FINITE);
}
