// SPDX-License-Identifier: GPL-3.0-or-later
// One whole estimating click (fit, covariance, 21 profile fits and the profile-likelihood
// limits, both files written) at 99 surveyed wards with 4 predictors all free, and one
// simulate-and-estimate click at the defaults.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "cycle/atomic_file.h"
#include "estimation/click.h"
#include "estimation/model_table.h"
#include "testkit/survey.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const std::vector<double> kBeta{0.01, 0.02, 0.015, 0.03};  // mean count about 47 with b0 = 2

struct Setup {
    EstimationState state;
    ClickInput in;
    ClickServices services;
};

Setup file_click(Dist dist) {
    Setup s;
    const double e = dist == Dist::lognormal ? 0.3 : dist == Dist::normal ? 6.0 : 1.0;
    s.state = testing::simulated_survey(99, 50, 4, dist, 2.0, kBeta, e, 1);
    // the unsurveyed wards as the click has always been measured on
    for (int j = 0; j <= 4; ++j) s.state.unsurveyed_x_sum(j) = 0.0;
    for (int i = 1; i <= 50; ++i)
        for (int j = 1; j <= 4; ++j) {
            s.state.unsurveyed_x(j, i) = static_cast<float>(100 + (i * 37 + j * 101) % 1000);
            s.state.unsurveyed_x_sum(j) += s.state.unsurveyed_x(j, i);
        }
    s.in.data_file = true;
    s.in.request.dist = dist;
    s.in.request.free = {true, true, true, true, true};
    s.in.request.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10.0 : 1.0};
    s.services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    return s;
}

void write_files(const ClickResult& r) {
    const auto dir = std::filesystem::temp_directory_path();
    for (const OutputFile& f : r.files) write_file_atomically((dir / ("valdmora_bench_" + f.name)).string(), f.content);
}

void BM_EstimatingClick(benchmark::State& state) {
    Setup s = file_click(static_cast<Dist>(state.range(0)));
    Evaluations e;
    for (auto _ : state) {
        ClickResult r = run_estimating_click(s.in, s.state, s.services);
        write_files(r);
        e = r.estimate.evaluations;
        benchmark::DoNotOptimize(r.estimate.total.pop_est);
    }
    state.counters["fit_evals"] = static_cast<double>(e.fit);
    state.counters["cov_evals"] = static_cast<double>(e.covariance);
    state.counters["profile_evals"] = static_cast<double>(e.profile);
    state.counters["limit_evals"] = static_cast<double>(e.profile_limits);
}
BENCHMARK(BM_EstimatingClick)->Arg(1)->Arg(2)->Arg(3)->ArgName("dist")->Unit(benchmark::kMillisecond);

// The table of models: 16 subsets of four predictors under three distributions, each fit
// with its covariance and limits, at 99 surveyed wards.
void BM_CompareModels(benchmark::State& state) {
    const Setup s = file_click(Dist::negbin);
    for (auto _ : state) {
        const ModelTable t = compare_models(s.state, {"a", "b", "c", "d"}, s.services, {});
        benchmark::DoNotOptimize(t.rows.front().aicc);
    }
}
BENCHMARK(BM_CompareModels)->Unit(benchmark::kMillisecond);

void BM_SimulateAndEstimate(benchmark::State& state) {
    Setup s;
    form_load(s.state);
    s.state.n_pred = 4;
    s.state.beta_entered(0) = 10.0;
    s.state.beta_entered(1) = 0.02;
    s.state.beta_entered(5) = 0.25;
    s.in.simulate = true;  // the path empty: each click draws anew from the true values
    s.in.request.free = {true, false, false, false, false};
    s.services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    MersenneUniform u(1);
    s.services.random = &u;
    s.services.reseed_from_clock = false;
    for (auto _ : state) {
        ClickResult r = run_estimating_click(s.in, s.state, s.services);
        write_files(r);
        s.state = std::move(r.estimate.state);
        if (s.state.n_sims > 30000) s.state.n_sims = 0;
    }
}
BENCHMARK(BM_SimulateAndEstimate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
