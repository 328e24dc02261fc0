// SPDX-License-Identifier: GPL-3.0-or-later
// Fits 600 random problems from the window's defaults and polishes each result with a slow
// derivative-free search, to see how often a fit stops short of its optimum or lands in
// another basin. Prints one line per problem (with --each) and a summary.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "testkit/packed_model.h"
#include "testkit/slow_polish.h"
#include "valdmora/modellib.h"

using valdmora::testing::PackedModel;
using valdmora::testing::Records;
using valdmora::testing::slow_polish;

int main(int argc, char** argv) {
    const bool each = argc > 1 && std::strcmp(argv[1], "--each") == 0;
    std::mt19937 gen(42);
    long evaluations = 0;
    int codes[6] = {}, basin = 0, short_stop = 0, slight = 0;
    for (int t = 0; t < 600; ++t) {
        const int32_t dist = 1 + t % 3;
        const int32_t np = 1 + (t / 3) % 4;
        const auto nobs = static_cast<int32_t>(8 + gen() % 92);
        std::vector<double> beta;
        for (int32_t j = 0; j < np; ++j) beta.push_back((static_cast<double>(gen() % 1000) / 1000.0 - 0.3) * 0.05);
        const double b0 = static_cast<double>(gen() % 200) / 10.0 - 5.0;
        const double e = dist == 1   ? 0.1 + static_cast<double>(gen() % 100) / 100.0
                         : dist == 2 ? 1.0 + static_cast<double>(gen() % 200) / 10.0
                                     : 0.05 + static_cast<double>(gen() % 300) / 100.0;
        Records r = valdmora::testing::simulate(nobs, np, b0, beta, e, dist, gen());
        if (dist == 1)
            for (auto& y : r.y) y = std::max(y, 1);

        // odd problems fix the total over 30 wards at 0.5..1.5 times the truth, from near the truth
        std::vector<double> values(static_cast<std::size_t>(np) + 2, 0.0);
        values[0] = 10.0;
        values[static_cast<std::size_t>(np) + 1] = dist == 1 ? 0.25 : dist == 2 ? 10.0 : 1.0;
        std::vector<int32_t> free_pos;
        for (int32_t k = 1; k <= np + 2; ++k) free_pos.push_back(k);
        const bool fixed = t % 2 == 1;
        std::vector<int32_t> x_sum(static_cast<std::size_t>(np), 0);
        double total = 0.0;
        if (fixed) {
            for (auto& s : x_sum) s = 30 * 600;
            const double h = b0 + 600.0 * std::accumulate(beta.begin(), beta.end(), 0.0);
            total = 30.0 * std::max(2.0, h) * (0.5 + static_cast<double>(gen() % 100) / 100.0);
            free_pos.erase(free_pos.begin());
            values[0] = 0.0;
            for (int32_t j = 0; j < np; ++j) values[static_cast<std::size_t>(j) + 1] = 1.1 * beta[static_cast<std::size_t>(j)];
            values[static_cast<std::size_t>(np) + 1] = e;
        }
        PackedModel p = PackedModel::make(r, values, dist, free_pos, fixed ? 30 : 0, x_sum, total);

        auto n = static_cast<int32_t>(free_pos.size());
        int32_t ibound = 0, liw = 20, lw = 500, ifail = 1, iw[20] = {};
        double bl[12], bu[12], x[12], f = 0.0, w[500] = {};
        for (int32_t i = 0; i < n; ++i) {
            const int32_t k = free_pos[static_cast<std::size_t>(i)] - 1;
            x[i] = values[static_cast<std::size_t>(k)];
            bl[i] = k == np + 1 ? 0.01 : -1000.0;
            bu[i] = k == np + 1 ? 100.0 : 1000.0;
        }
        N_E04JYF(&n, &ibound, bl, bu, x, &f, iw, &liw, w, &lw, p.ints.data(), p.reals.data(), &ifail);
        evaluations += p.counter();
        ++codes[ifail >= 0 && ifail <= 5 ? ifail : 4];
        const double gain = f - std::min(f, slow_polish(p, n, bl, bu, std::vector<double>(x, x + n)));
        if (gain > 1e-2) ++basin;
        else if (gain > 1e-6) ++short_stop;
        else if (gain > 1e-9) ++slight;
        if (each)
            std::printf("%d dist=%d np=%d fixed=%d code=%d evals=%d f=%.10f polish_gain=%.3g\n", t, dist, np,
                        fixed ? 1 : 0, ifail, p.counter(), f, gain);
    }
    std::printf("600 problems: codes 0..5 = %d %d %d %d %d %d; %ld evaluations\n", codes[0], codes[1], codes[2],
                codes[3], codes[4], codes[5], evaluations);
    std::printf("a slow polish gains > 1e-2: %d, 1e-6..1e-2: %d, 1e-9..1e-6: %d\n", basin, short_stop, slight);
}
