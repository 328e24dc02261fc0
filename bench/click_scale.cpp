// SPDX-License-Identifier: GPL-3.0-or-later
// One whole estimating click on a simulated survey of a given size, timed, with its
// evaluations per stage and the process's peak memory: run once per size and distribution
// (bench/scale.sh), so that each peak is that case's own.
//
// Usage: click_scale DIST SURVEYED [UNSURVEYED] (DIST 1 lognormal, 2 normal, 3 negative binomial: the
//        distribution's code)
//        click_scale compare SURVEYED: the table of models, four predictors, as many unsurveyed wards
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "cycle/atomic_file.h"
#include "estimation/click.h"
#include "estimation/model_table.h"
#include "testkit/survey.h"
#include "valdmora/modellib.h"

using namespace valdmora;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: click_scale DIST SURVEYED [UNSURVEYED]\n");
        return 2;
    }
    if (std::string(argv[1]) == "compare") {
        const long n = std::atol(argv[2]);
        const EstimationState state =
            testing::simulated_survey(n, n, 4, Dist::negbin, 2.0, {0.01, 0.02, 0.015, 0.03}, 1.0, 11);
        ClickServices services;
        services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
        const auto start = std::chrono::steady_clock::now();
        const ModelTable t = compare_models(state, {"a", "b", "c", "d"}, services, {});
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("compare %zu models, %ld+%ld wards: %.1f ms, peak %.1f MB\n", t.rows.size(), n, n, ms,
                    static_cast<double>(usage.ru_maxrss) / 1024.0);
        return 0;
    }
    if (std::string(argv[1]) == "bootstrap" && argc > 4) {
        // click_scale bootstrap DIST SURVEYED REPLICATES: the bootstrap alone, as many unsurveyed wards
        const std::optional<Dist> chosen = dist_of_code(std::atol(argv[2]));
        if (!chosen) {
            std::fprintf(stderr, "click_scale: no distribution of code %s\n", argv[2]);
            return 2;
        }
        const Dist dist = *chosen;
        const long n = std::atol(argv[3]);
        const int reps = std::atoi(argv[4]);
        const double e = dist == Dist::lognormal ? 0.3 : dist == Dist::normal ? 6.0 : 1.0;
        const EstimationState state = testing::simulated_survey(n, n, 3, dist, 2.0, {0.01, 0.02, 0.015}, e, 7);
        ClickInput in;
        in.data_file = true;
        in.request.dist = dist;
        in.request.free = {true, true, true, true, false};
        in.request.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10.0 : 1.0};
        in.request.profile = false;
        in.request.ward_predictions = false;  // they go with the files
        in.files = false;
        ClickServices services;
        services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
        const ClickResult fit = run_estimating_click(in, state, services);
        in.request.bootstrap_reps = reps;
        in.request.bootstrap_seed = 1;
        const auto start = std::chrono::steady_clock::now();
        const ClickResult r = run_estimating_click(in, state, services);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const Interval* boot = r.estimate.interval(IntervalKind::bootstrap);
        const bool limits = boot && boot->limits.ok();
        std::printf("bootstrap dist %d, %ld+%ld wards, %d replicates: %.0f ms with the click (the click alone %s), "
                    "%d failed, limits %.1f to %.1f\n",
                    static_cast<int>(dist), n, n, reps, ms, fit.estimate.fit_ok ? "fits" : "fails",
                    boot && boot->monte_carlo ? boot->monte_carlo->failed : -1, limits ? boot->limits->lower : 0.0,
                    limits ? boot->limits->upper : 0.0);
        return 0;
    }
    const std::optional<Dist> chosen = dist_of_code(std::atol(argv[1]));
    if (!chosen) {
        std::fprintf(stderr, "click_scale: no distribution of code %s\n", argv[1]);
        return 2;
    }
    const Dist dist = *chosen;
    const long surveyed = std::atol(argv[2]);
    const long unsurveyed = argc > 3 ? std::atol(argv[3]) : surveyed;
    const double e = dist == Dist::lognormal ? 0.3 : dist == Dist::normal ? 6.0 : 1.0;
    // three predictors, mean count about 29
    EstimationState state = testing::simulated_survey(surveyed, unsurveyed, 3, dist, 2.0, {0.01, 0.02, 0.015}, e, 7);
    ClickInput in;
    in.data_file = true;
    in.request.dist = dist;
    in.request.free = {true, true, true, true, false};
    in.request.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10.0 : 1.0};
    ClickServices services;
    services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    const auto dir = std::filesystem::temp_directory_path();

    const auto start = std::chrono::steady_clock::now();
    const ClickResult r = run_estimating_click(in, state, services);
    for (const OutputFile& f : r.files)
        if (!write_file_atomically((dir / ("valdmora_scale_" + f.name)).string(), f.content).empty()) return 1;
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("dist %d wards %ld+%ld: %.1f ms, code %d, evaluations fit %ld covariance %ld profile %ld limits %ld, "
                "peak %.1f MB\n",
                static_cast<int>(dist), surveyed, unsurveyed, ms, r.estimate.fail_code, r.estimate.evaluations.fit,
                r.estimate.evaluations.covariance, r.estimate.evaluations.profile, r.estimate.evaluations.profile_limits,
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
