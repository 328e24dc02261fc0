// One whole estimating click (fit, covariance, 21 profile fits, both files) at 99 surveyed
// wards with 4 predictors all free, and one simulate-and-estimate click at the defaults.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "estimation/click.h"
#include "support/packed_model.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const std::vector<double> kBeta{0.01, 0.02, 0.015, 0.03};  // mean count about 47 with b0 = 2

struct Setup {
    EstimationState state;
    ClickInput in;
    ClickServices services;
};

Setup file_click(int option) {
    Setup s;
    form_load(s.state);
    const double e = option == 0 ? 0.3 : option == 1 ? 6.0 : 1.0;
    const auto r = testing::simulate(99, 4, 2.0, kBeta, e, option + 1, 1);
    auto& st = s.state;
    st.data_read = -1;
    st.n_pred = 4;
    st.n_surveyed = 99;
    st.n_unsurveyed = 50;
    st.err_dist = static_cast<int16_t>(option + 1);
    for (int i = 1; i <= 99; ++i) {
        st.surveyed_name(i) = "S" + std::to_string(i);
        st.surveyed_count(i) = static_cast<float>(r.y[i - 1]);
        for (int j = 1; j <= 4; ++j) st.surveyed_x(j, i) = static_cast<float>(r.x[i - 1][j - 1]);
    }
    for (int i = 1; i <= 50; ++i) {
        st.unsurveyed_name(i) = "U" + std::to_string(i);
        for (int j = 1; j <= 4; ++j) {
            st.unsurveyed_x(j, i) = static_cast<float>(100 + (i * 37 + j * 101) % 1000);
            st.unsurveyed_x_sum(j) += st.unsurveyed_x(j, i);
        }
    }
    s.in.data_path = "counts.txt";
    s.in.err_option = option;
    s.in.beta_checked = {true, true, true, true, true};
    s.in.beta_text = {"10", "0", "0", "0", "0", option == 0 ? "0.25" : option == 1 ? "10" : "1"};
    s.in.output_dir = std::filesystem::temp_directory_path().string();
    s.services.fit = N_E04JYF;
    return s;
}

void BM_EstimatingClick(benchmark::State& state) {
    Setup s = file_click(static_cast<int>(state.range(0)));
    Evaluations e;
    for (auto _ : state) {
        ClickResult r = run_estimating_click(s.in, s.state, s.services);
        e = r.evaluations;
        benchmark::DoNotOptimize(r.pop_est);
    }
    state.counters["fit_evals"] = static_cast<double>(e.fit);
    state.counters["cov_evals"] = static_cast<double>(e.covariance);
    state.counters["profile_evals_per_fit"] = static_cast<double>(e.profile) / 21.0;
}
BENCHMARK(BM_EstimatingClick)->Arg(0)->Arg(1)->Arg(2)->ArgName("option")->Unit(benchmark::kMillisecond);

void BM_SimulateAndEstimate(benchmark::State& state) {
    Setup s;
    form_load(s.state);
    s.state.n_pred = 4;
    s.state.beta_entered(0) = 10.0;
    s.state.beta_entered(1) = 0.02;
    s.state.beta_entered(5) = 0.25;
    s.in.data_path = "";
    s.in.err_option = 0;
    s.in.output_dir = std::filesystem::temp_directory_path().string();
    s.in.beta_checked = {true, false, false, false, false};
    s.services.fit = N_E04JYF;
    MersenneUniform u(1);
    s.services.random = &u;
    s.services.reseed_from_clock = false;
    for (auto _ : state) {
        ClickResult r = run_estimating_click(s.in, s.state, s.services);
        s.in.beta_text = r.beta_text;
        s.state = std::move(r.state);
        if (s.state.n_sims > 30000) s.state.n_sims = 0;
    }
}
BENCHMARK(BM_SimulateAndEstimate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
