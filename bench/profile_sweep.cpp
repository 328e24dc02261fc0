// SPDX-License-Identifier: GPL-3.0-or-later
// How often a likelihood profile point falls short of the constrained maximum: random
// surveys (many means on the floor at the profile's low end), each profile point checked
// against the best of many fits from random starts.
//
// Usage: profile_sweep [PROBLEMS [RANDOM_STARTS [each [RANGE]]]]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "estimation/click.h"
#include "estimation/profile.h"
#include "estimation/setup.h"
#include "testkit/survey.h"
#include "valdmora/modellib.h"

using namespace valdmora;

int main(int argc, char** argv) {
    const int problems = argc > 1 ? std::atoi(argv[1]) : 40;
    const int random_starts = argc > 2 ? std::atoi(argv[2]) : 60;
    std::mt19937 gen(2026);
    const ModelLibrary library{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    long short_points = 0, points = 0, evaluations = 0;
    double worst = 0.0;
    for (int t = 0; t < problems; ++t) {
        const Dist dist = kDistributions[static_cast<std::size_t>(t % 3)].dist;
        const int np = 1 + (t / 3) % 3;
        const long n = 20 + static_cast<long>(gen() % 80);
        std::vector<double> beta;
        for (int j = 0; j < np; ++j) beta.push_back((static_cast<double>(gen() % 1000) / 1000.0 - 0.2) * 0.04);
        const double e = dist == Dist::lognormal ? 0.2 + (gen() % 60) / 100.0
                         : dist == Dist::normal  ? 2.0 + (gen() % 100) / 10.0
                                                 : 0.2 + (gen() % 200) / 100.0;
        EstimationState s = testing::simulated_survey(n, 30, np, dist, 2.0 + (gen() % 50) / 10.0, beta, e, gen());
        if (dist == Dist::lognormal)
            for (float& c : s.surveyed_count.values()) c = std::max(c, 1.0f);
        ClickInput in;
        in.data_file = true;
        in.request.dist = dist;
        in.request.range_percent = argc > 4 ? std::atof(argv[4]) : 90.0;
        in.request.free = {true, false, false, false, false};
        for (int j = 1; j <= np; ++j) in.request.free[static_cast<std::size_t>(j)] = true;
        in.request.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10.0 : 1.0};
        ClickServices sv;
        sv.library = library;
        ClickResult r;
        try {
            r = run_estimating_click(in, s, sv);
        } catch (const std::exception&) {
            continue;
        }
        const FitSetup setup = set_up_fit(s, {0, 0, 0, 0, 0, 1}, in.request.free);
        const FitCall call(library, setup.data);
        ProfileInput pin;
        pin.estimates = setup.params;
        pin.estimates.value = r.estimate.par_value;
        for (int j = 1; j <= np; ++j) pin.free.push_back(j + 1);
        pin.free.push_back(np + 2);
        pin.pop_est = r.estimate.total.pop_est;
        pin.range_percent = in.request.range_percent;
        pin.max_ll = r.estimate.max_ll;
        pin.total_hat = r.estimate.profile_total_hat;
        pin.limits = false;
        const Profile prof = likelihood_profile(call, pin, Progress());
        evaluations += prof.evaluations;
        for (std::size_t k = 0; k < prof.points.size(); ++k) {
            const double total = prof.points[k].total;
            double best = prof.points[k].log_likelihood;
            std::vector<double> best_value;
            for (int start = 0; start < random_starts; ++start) {
                Parameters p = pin.estimates;
                for (int j = 1; j <= np; ++j)
                    p.value[static_cast<std::size_t>(j)] = (static_cast<double>(gen() % 2000) / 1000.0 - 1.0) * 0.1;
                p.value.back() = std::exp(std::uniform_real_distribution<double>(std::log(0.02), std::log(30.0))(gen));
                const FitOutcome f = call.fit(p, pin.free, total);
                if (f.finite && -f.objective > best) {
                    best = -f.objective;
                    best_value = f.value;
                }
            }
            ++points;
            const double gap = best - prof.points[k].log_likelihood;
            worst = std::max(worst, gap);
            if (gap > 1e-3) {
                ++short_points;
                if (argc > 3)
                    std::printf("problem %d dist %d np %d point %zu: %.4f short of %.4f; e %.4g vs %.4g, slope1 %.4g vs %.4g\n",
                                t, static_cast<int>(dist), np, k, gap, best, prof.points[k].value.back(), best_value.back(),
                                prof.points[k].value[1], best_value[1]);
            }
        }
    }
    std::printf("%ld profile points of %d problems, each against %d random starts: %ld short by more than 1e-3 "
                "(worst %.4g); %ld evaluations\n",
                points, problems, random_starts, short_points, worst, evaluations);
}
