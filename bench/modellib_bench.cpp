// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of one likelihood evaluation and of one complete fit at the library's full size:
// 99 records, 4 predictors in 100..1100, started from the window's defaults.
#include <benchmark/benchmark.h>

#include <vector>

#include "testkit/packed_model.h"
#include "valdmora/modellib.h"

using namespace valdmora::testing;

namespace {

const std::vector<double> kBeta{0.01, 0.02, 0.015, 0.03};  // mean count about 40 with b0 = 2

double default_extra(int32_t dist) { return dist == 1 ? 0.25 : dist == 2 ? 10.0 : 1.0; }
double true_extra(int32_t dist) { return dist == 1 ? 0.3 : dist == 2 ? 6.0 : 1.0; }

void BM_Loglik(benchmark::State& state) {
    auto dist = static_cast<int32_t>(state.range(0));
    const Records r = simulate(99, 4, 2.0, kBeta, true_extra(dist), dist, 1);
    auto table = predictor_table(r);
    std::vector<int32_t> y = r.y;
    int32_t nobs = 99, np = 4;
    double b0 = 2.0, e = true_extra(dist);
    std::vector<double> beta = kBeta;
    for (auto _ : state) {
        double ll = LOGLIK(&nobs, &np, y.data(), table.data(), &b0, beta.data(), &e, &dist);
        benchmark::DoNotOptimize(ll);
    }
}
BENCHMARK(BM_Loglik)->Arg(1)->Arg(2)->Arg(3)->ArgName("dist");

void BM_Fit(benchmark::State& state) {
    const auto dist = static_cast<int32_t>(state.range(0));
    double evaluations = 0, fits = 0, failed = 0;
    uint32_t seed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const Records r = simulate(99, 4, 2.0, kBeta, true_extra(dist), dist, 100 + seed++ % 20);
        PackedModel p = PackedModel::make(r, {10, 0, 0, 0, 0, default_extra(dist)}, dist, {1, 2, 3, 4, 5, 6});
        int32_t n = 6, ib = 0, liw = 20, lw = 500, code = 1, iw[20];
        double bl[12] = {-1000, -1000, -1000, -1000, -1000, 0.01};
        double bu[12] = {1000, 1000, 1000, 1000, 1000, 100};
        double x[12] = {10, 0, 0, 0, 0, default_extra(dist)}, f = 0, w[500];
        state.ResumeTiming();
        N_E04JYF(&n, &ib, bl, bu, x, &f, iw, &liw, w, &lw, p.ints.data(), p.reals.data(), &code);
        evaluations += p.counter();
        fits += 1;
        failed += (code != 0 && code != 5) ? 1 : 0;
    }
    state.counters["evals_per_fit"] = evaluations / fits;
    state.counters["failed_fits"] = failed;
}
BENCHMARK(BM_Fit)->Arg(1)->Arg(2)->Arg(3)->ArgName("dist")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
