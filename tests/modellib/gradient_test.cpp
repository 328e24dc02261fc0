// The prepared objective's value against FUNCT1's, and its gradient against central
// differences of that value: every distribution, free and fixed totals, means on both
// pieces of the floor, scaled variables, and counts on every arithmetic path.
#include <gtest/gtest.h>

#include <cmath>
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
