// SPDX-License-Identifier: GPL-3.0-or-later
#include "dispersion_checks.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "cycle/number_format.h"
#include "model_draw.h"
#include "parallel.h"
#include "residuals.h"
#include "setup.h"
#include "simulation.h"
#include "valdmora/floored_mean.h"

namespace valdmora {
namespace {

// VoM - 1 this small is the Poisson limit to far below the search's tolerance.
constexpr double kPoissonLimit = 1e-7;

std::vector<double> fitted_means(const ModelData& d, const std::vector<double>& value) {
    const auto n = static_cast<std::size_t>(d.nobs());
    std::vector<double> m(n);
    for (std::size_t i = 0; i < n; ++i) {
        double h = value[0];
        for (int j = 0; j < d.np; ++j) h += d.x[i + n * static_cast<std::size_t>(j)] * value[static_cast<std::size_t>(1 + j)];
        m[i] = floored_mean(h);
    }
    return m;
}

// in the reader's decimals: the window shows these beside its own numbers
std::string rounded(double v, const NumberFormat& fmt) {
    return with_locale_decimal(shortest_number(std::round(v * 1000.0) / 1000.0), fmt);
}

}  // namespace

double poisson_log_likelihood(const std::vector<int32_t>& y, const std::vector<double>& m) {
    double ll = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double yd = static_cast<double>(y[i]);
        ll += (yd > 0.0 ? yd * std::log(m[i]) : 0.0) - m[i] - std::lgamma(yd + 1.0);
    }
    return ll;
}

PoissonLimitTest poisson_limit_test(const FitCall& call, const Parameters& fitted, const std::vector<int32_t>& free,
                                    const NumberFormat& fmt) {
    PoissonLimitTest t;
    const ModelData& d = call.data();
    if (!distribution(d.dist).whole_counts) {
        t.reason = "the test is for the negative binomial";
        return t;
    }
    const auto extra = static_cast<std::size_t>(d.np + 1);
    t.negbin_log_lik = -call.objective(fitted.value, fitted.scale);
    // the same coefficients free, VoM - 1 held at the limit
    std::vector<int32_t> coefficients;
    for (int32_t k : free)
        if (k != d.np + 2) coefficients.push_back(k);
    Parameters start = fitted;
    start.value[extra] = kPoissonLimit;
    // from the negative binomial's estimates the Poisson optimum is near: Newton's method
    // with the exact second derivatives first, the fit where it cannot
    FitOutcome f;
    if (!coefficients.empty()) {
        f = call.newton(start, coefficients);
        if (!(f.accepted() && f.finite)) f = call.fit(start, coefficients);
    }
    std::vector<double> value = coefficients.empty() ? start.value : f.value;
    if (!coefficients.empty() && !(f.accepted() && f.finite)) {
        t.reason = "the Poisson fit did not converge";
        return t;
    }
    t.poisson_value = value;
    t.poisson_log_lik = poisson_log_likelihood(d.y, fitted_means(d, value));
    t.statistic = std::max(0.0, 2.0 * (t.negbin_log_lik - t.poisson_log_lik));
    // P(chi2(1) > x) = erfc(sqrt(x / 2)); the bound halves it
    t.p_value = 0.5 * std::erfc(std::sqrt(t.statistic / 2.0));
    t.available = true;
    const std::string figures = "(likelihood-ratio test against the Poisson limit: " + rounded(t.statistic, fmt) +
                                (t.p_value < 0.001 ? std::string(", p < 0.001") : ", p = " + rounded(t.p_value, fmt)) + ")";
    t.sentence = t.p_value < 0.05
                     ? "The counts vary more than Poisson counts would " + figures +
                           ": the negative binomial's extra variance is needed, and a Poisson model would give "
                           "limits that are too narrow."
                     : "The counts vary no more than Poisson counts would " + figures +
                           ": the data give no evidence of extra variance, so VoM - 1 is poorly determined near 0; "
                           "the limits hold either way.";
    return t;
}

SimulatedDispersion simulated_dispersion_test(const EstimationState& s, const std::vector<double>& value, long k,
                                              int sets, uint64_t seed, bool two_threads,
                                              const NumberFormat& fmt) {
    SimulatedDispersion t;
    const long n = s.n_surveyed;
    if (n - k < 1) {
        t.reason = "there are no more surveyed wards than free parameters";
        return t;
    }
    const Dist dist = s.err_dist;
    const double e = value[static_cast<std::size_t>(s.n_pred + 1)];
    const auto size = static_cast<std::size_t>(n);
    std::vector<double> m(size), inverse_sd(size);
    for (long i = 1; i <= n; ++i) {
        double h = value[0];
        for (int j = 1; j <= s.n_pred; ++j) h += value[static_cast<std::size_t>(j)] * s.surveyed_x(j, i);
        const auto w = static_cast<std::size_t>(i - 1);
        m[w] = floored_mean(h);
        const std::string problem = draw_problem(m[w], e, dist, NumberFormat{});
        if (!problem.empty()) {
            t.reason = "the fitted model cannot be drawn from: " + problem;
            return t;
        }
        inverse_sd[w] = 1.0 / std::sqrt(distribution(dist).variance(m[w], e));
    }
    const double df = static_cast<double>(n - k);
    double observed = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        const double r = (std::nearbyint(static_cast<double>(s.surveyed_count.values()[i])) - m[i]) * inverse_sd[i];
        observed += r * r;
    }
    t.observed = observed / df;
    if (!std::isfinite(t.observed)) {
        t.reason = "the dispersion statistic is not a finite number";
        return t;
    }
    // Ward after ward, each data set's draw from the data set's own stream of the seed: a
    // stream is read in ward order whichever lane holds it, so one thread or two give the
    // same statistics; and a ward's negative binomial is tabled once for all its draws.
    const ModelDraw draw(dist, e);
    const auto count = static_cast<std::size_t>(std::max(sets, 0));
    std::vector<FastRandom> streams;
    streams.reserve(count);
    for (std::size_t b = 0; b < count; ++b) streams.emplace_back(seed, b);
    std::vector<double> simulated(count, 0.0);
    const int lanes = two_threads && count > 1 && static_cast<double>(n) * sets >= 5000.0 ? 2 : 1;
    // a draw that cannot be a count ends the test
    std::atomic<bool> bad_draw{false};
    parallel_for(lanes, lanes == 2, [&](int lane) {
        const std::size_t first = count * static_cast<std::size_t>(lane) / static_cast<std::size_t>(lanes);
        const std::size_t last = count * static_cast<std::size_t>(lane + 1) / static_cast<std::size_t>(lanes);
        NegbinTable table;
        for (std::size_t i = 0; i < size; ++i) {
            const bool tabled = dist == Dist::negbin && table.reset(m[i], e);
            for (std::size_t b = first; b < last; ++b) {
                // whole counts, as the fit sees them
                const double y = tabled ? table.draw(streams[b].uniform()) : std::nearbyint(draw(m[i], streams[b]));
                if (!count_can_be_taken(y)) bad_draw = true;
                const double r = (y - m[i]) * inverse_sd[i];
                simulated[b] += r * r;
            }
        }
    });
    if (bad_draw) {
        t.reason = "a data set drawn from the fitted model held a count the model library cannot take";
        return t;
    }
    for (double& sim : simulated) sim /= df;
    int above = 0, below = 0;
    for (double sim : simulated) {
        above += sim >= t.observed;
        below += sim <= t.observed;
    }
    t.sets = sets;
    t.share_above = static_cast<double>(above) / sets;
    t.p_value = std::min(1.0, 2.0 * std::min(above + 1, below + 1) / static_cast<double>(sets + 1));
    t.available = true;
    const std::string figures = "(dispersion " + rounded(t.observed, fmt) + "; as large or larger in " +
                                rounded(100.0 * t.share_above, fmt) + " % of " + std::to_string(sets) +
                                " data sets simulated from the fitted model, p = " + rounded(t.p_value, fmt) + ")";
    t.sentence = t.p_value >= 0.05 ? "The counts spread as the fitted model says they should " + figures + "."
                 : t.share_above < 0.5
                     ? "The counts spread more than the fitted model allows " + figures +
                           ": its limits are likely too narrow; try the negative binomial or more predictors."
                     : "The counts spread less than the fitted model expects " + figures +
                           ": its limits are likely too wide.";
    return t;
}

DispersionChecks dispersion_checks(const EstimationState& s, const std::vector<double>& value,
                                   const std::vector<double>& lower, const std::vector<double>& upper,
                                   const std::vector<int32_t>& free, const ModelLibrary& library, uint64_t seed,
                                   const NumberFormat& fmt) {
    DispersionChecks c;
    if (distribution(s.err_dist).whole_counts) {
        const ModelData data = model_data(s);
        Parameters fitted;
        fitted.value = value;
        fitted.scale.assign(value.size(), 1.0);
        fitted.lower = lower;
        fitted.upper = upper;
        c.poisson = poisson_limit_test(FitCall(library, data), fitted, free, fmt);
    } else {
        c.poisson.reason = "the test is for the negative binomial";
    }
    c.simulated = simulated_dispersion_test(s, value, static_cast<long>(free.size()), 500, seed, true, fmt);
    return c;
}

}  // namespace valdmora
