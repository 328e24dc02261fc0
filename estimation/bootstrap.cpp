// SPDX-License-Identifier: GPL-3.0-or-later
#include "bootstrap.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "cycle/count_file.h"
#include "cycle/number_format.h"
#include "model_draw.h"
#include "parallel.h"
#include "simulation.h"
#include "valdmora/floored_mean.h"

namespace valdmora {

double quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return std::nan("");
    const double h = (static_cast<double>(sorted.size()) - 1.0) * p;
    const auto lo = static_cast<std::size_t>(std::floor(h));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

double quantile_error(const std::vector<double>& sorted, double p) {
    if (sorted.size() < 2) return std::nan("");
    const double b = static_cast<double>(sorted.size());
    const double sd = std::sqrt(b * p * (1.0 - p));
    const double lo = std::clamp(b * p - sd, 0.0, b - 1.0), hi = std::clamp(b * p + sd, 0.0, b - 1.0);
    return (sorted[static_cast<std::size_t>(std::ceil(hi))] - sorted[static_cast<std::size_t>(std::floor(lo))]) / 2.0;
}

namespace {

// A draw as a count: the lognormal's held at 1, the normal's at 0.
double rounded(Dist dist, double y) {
    switch (dist) {
    case Dist::lognormal:
        return std::max(1.0, std::round(y));
    case Dist::normal:
        return std::max(0.0, std::round(y));
    case Dist::negbin:
        break;
    }
    return y;
}

double linear_predictor(const std::vector<double>& value, const std::vector<double>& x, std::size_t i, std::size_t n,
                        int np) {
    double h = value[0];
    for (int j = 0; j < np; ++j) h += x[i + n * static_cast<std::size_t>(j)] * value[static_cast<std::size_t>(1 + j)];
    return h;
}

}  // namespace

double draw_count(Dist dist, double m, double e, FastRandom& random) {
    return rounded(dist, ModelDraw(dist, e)(m, random));
}

BootstrapResult bootstrap_total(const FitCall& call, const Parameters& estimates, const std::vector<int32_t>& free,
                                const EstimationState& s, int reps, uint64_t seed, const Progress& progress,
                                long ward) {
    BootstrapResult out;
    out.reps = reps;
    const ModelData& data = call.data();
    const int np = data.np;
    const auto n = static_cast<std::size_t>(data.nobs());
    const auto m = static_cast<std::size_t>(s.n_unsurveyed);
    if (m == 0) {
        out.limits = Available<Limits>::why_not("there is no unsurveyed ward");
        return out;
    }
    // the unsurveyed wards' predictor values, column after column like the surveyed ones
    std::vector<double> ux(m * static_cast<std::size_t>(np));
    for (int j = 1; j <= np; ++j) {
        const std::vector<float>& row = s.unsurveyed_x.row_values(j);
        for (std::size_t i = 0; i < m; ++i) ux[i + m * static_cast<std::size_t>(j - 1)] = row[i];
    }
    const double e_hat = estimates.value.back();
    std::vector<double> fitted(n);
    for (std::size_t i = 0; i < n; ++i) {
        fitted[i] = floored_mean(linear_predictor(estimates.value, data.x, i, n, np));
        // the surveyed wards' draws go to the model library
        const std::string problem = draw_problem(fitted[i], e_hat, data.dist, NumberFormat{});
        if (!problem.empty()) {
            out.limits = Available<Limits>::why_not("the fitted model cannot be drawn from: " + problem);
            return out;
        }
    }

    std::vector<double> totals(static_cast<std::size_t>(reps), std::nan(""));
    progress.stage("bootstrap", reps);
    // one copy of the records per lane; only the counts change between replicates
    ModelData lanes[2] = {data, data};
    std::atomic<int> next{0};
    // A draw that cannot be a count stops every lane: no limits are made of the rest.
    std::atomic<bool> bad_draw{false};
    parallel_for(2, data.nobs() * static_cast<long>(reps) >= 2000, [&](int lane) {
        ModelData& d = lanes[lane];
        const FitCall refit(call.library(), d);
        const ModelDraw surveyed(data.dist, e_hat);
        for (int r = next++; r < reps && !bad_draw; r = next++) {
            progress.check_cancel();
            // the replicate's own stream: the same draws whichever lane takes it
            FastRandom random(seed, static_cast<uint64_t>(r));
            bool drawn = true;
            for (std::size_t i = 0; i < n && drawn; ++i) {
                const double y = rounded(data.dist, surveyed(fitted[i], random));
                drawn = count_can_be_taken(y);
                d.y[i] = drawn ? static_cast<int32_t>(y) : 0;
            }
            if (!drawn) {
                bad_draw = true;
                break;
            }
            // each refit starts at the estimates, close to its optimum: Newton's full steps
            // with the exact second derivatives take two or three; where they cannot, Newton
            // with its line search, and where that cannot, the fit
            FitOutcome f = refit.newton_steps(estimates, free);
            if (!(f.accepted() && f.finite)) f = refit.newton(estimates, free);
            if (!(f.accepted() && f.finite)) f = refit.fit(estimates, free);
            if (f.accepted() && f.finite) {
                const double e = f.value.back();
                const ModelDraw unsurveyed(data.dist, e);
                double total = 0.0;
                if (ward > 0) {
                    const auto w = static_cast<std::size_t>(ward - 1);
                    total = rounded(data.dist, unsurveyed(floored_mean(linear_predictor(f.value, ux, w, m, np)), random));
                } else if (unsurveyed.sums_exactly()) {
                    double mean = 0.0;
                    for (std::size_t w = 0; w < m; ++w) mean += floored_mean(linear_predictor(f.value, ux, w, m, np));
                    total = unsurveyed(mean, random);
                } else {
                    for (std::size_t w = 0; w < m; ++w)
                        total += rounded(data.dist, unsurveyed(floored_mean(linear_predictor(f.value, ux, w, m, np)), random));
                }
                // the unsurveyed wards' draws are only summed: any finite number will do
                if (!std::isfinite(total)) {
                    bad_draw = true;
                    break;
                }
                totals[static_cast<std::size_t>(r)] = total;
            }
            progress.step();
        }
    });
    if (bad_draw) {
        out.limits = Available<Limits>::why_not(
            "a draw from a fitted model was not a finite number or, for a surveyed ward, was beyond the largest count "
            "the model library takes (" + general_number(kMaxCount, NumberFormat{}) + ")");
        return out;
    }
    for (double t : totals)
        if (std::isnan(t))
            ++out.failed;
        else
            out.totals.push_back(t);
    std::sort(out.totals.begin(), out.totals.end());
    if (out.totals.size() < 2) {
        out.limits = Available<Limits>::why_not("fewer than two refits gave a usable fit");
        return out;
    }
    out.limits = Available<Limits>::of({quantile(out.totals, 0.025), quantile(out.totals, 0.975)});
    out.lower_error = quantile_error(out.totals, 0.025);
    out.upper_error = quantile_error(out.totals, 0.975);
    return out;
}

}  // namespace valdmora
