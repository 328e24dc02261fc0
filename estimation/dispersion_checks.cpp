#include "dispersion_checks.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "cycle/number_format.h"
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

std::string rounded(double v) { return shortest_number(std::round(v * 1000.0) / 1000.0); }

}  // namespace

double poisson_log_likelihood(const std::vector<int32_t>& y, const std::vector<double>& m) {
    double ll = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double yd = static_cast<double>(y[i]);
        ll += (yd > 0.0 ? yd * std::log(m[i]) : 0.0) - m[i] - std::lgamma(yd + 1.0);
    }
    return ll;
}

PoissonLimitTest poisson_limit_test(const FitCall& call, const Parameters& fitted, const std::vector<int32_t>& free) {
    PoissonLimitTest t;
    const ModelData& d = call.data();
    if (d.dist == 1 || d.dist == 2) {
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
    const FitOutcome f = coefficients.empty() ? FitOutcome{} : call.fit(start, coefficients);
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
    const std::string figures = "(likelihood-ratio test against the Poisson limit: " + rounded(t.statistic) +
                                (t.p_value < 0.001 ? std::string(", p < 0.001") : ", p = " + rounded(t.p_value)) + ")";
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
                                              int sets, uint64_t seed) {
    SimulatedDispersion t;
    const long n = s.n_surveyed;
    if (n - k < 1) {
        t.reason = "there are no more surveyed wards than free parameters";
        return t;
    }
    const int dist = s.err_dist;
    const double e = value[static_cast<std::size_t>(s.n_pred + 1)];
    std::vector<double> m(static_cast<std::size_t>(n));
    for (long i = 1; i <= n; ++i) {
        double h = value[0];
        for (int j = 1; j <= s.n_pred; ++j) h += value[static_cast<std::size_t>(j)] * s.surveyed_x(j, i);
        m[static_cast<std::size_t>(i - 1)] = floored_mean(h);
        const std::string problem = draw_problem(m[static_cast<std::size_t>(i - 1)], e, dist, NumberFormat{});
        if (!problem.empty()) {
            t.reason = "the fitted model cannot be drawn from: " + problem;
            return t;
        }
    }
    auto statistic = [&](auto count_of) {
        double sum = 0.0;
        for (std::size_t i = 0; i < m.size(); ++i) {
            const double r = (count_of(i) - m[i]) / std::sqrt(count_variance(dist, m[i], e));
            sum += r * r;
        }
        return sum / static_cast<double>(n - k);
    };
    t.observed = statistic([&](std::size_t i) { return std::nearbyint(static_cast<double>(s.surveyed_count.values()[i])); });
    if (!std::isfinite(t.observed)) {
        t.reason = "the dispersion statistic is not a finite number";
        return t;
    }
    std::mt19937_64 engine(seed);
    int above = 0, below = 0;
    for (int b = 0; b < sets; ++b) {
        std::vector<double> y(m.size());
        // whole counts, as the fit sees them; a draw that cannot be one ends the test
        for (std::size_t i = 0; i < m.size(); ++i) {
            y[i] = std::nearbyint(exact_count(m[i], e, dist, engine));
            if (!count_can_be_taken(y[i])) {
                t.reason = "a data set drawn from the fitted model held a count the model library cannot take";
                return t;
            }
        }
        const double sim = statistic([&](std::size_t i) { return y[i]; });
        above += sim >= t.observed;
        below += sim <= t.observed;
    }
    t.sets = sets;
    t.share_above = static_cast<double>(above) / sets;
    t.p_value = std::min(1.0, 2.0 * std::min(above + 1, below + 1) / static_cast<double>(sets + 1));
    t.available = true;
    const std::string figures = "(dispersion " + rounded(t.observed) + "; as large or larger in " +
                                rounded(100.0 * t.share_above) + " % of " + std::to_string(sets) +
                                " data sets simulated from the fitted model, p = " + rounded(t.p_value) + ")";
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
                                   const std::vector<int32_t>& free, const ModelLibrary& library, uint64_t seed) {
    DispersionChecks c;
    if (s.err_dist == 3) {
        const ModelData data = model_data(s);
        Parameters fitted;
        fitted.value = value;
        fitted.scale.assign(value.size(), 1.0);
        fitted.lower = lower;
        fitted.upper = upper;
        c.poisson = poisson_limit_test(FitCall(library, data), fitted, free);
    } else {
        c.poisson.reason = "the test is for the negative binomial";
    }
    c.simulated = simulated_dispersion_test(s, value, static_cast<long>(free.size()), 500, seed);
    return c;
}

}  // namespace valdmora
