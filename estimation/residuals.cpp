#include "residuals.h"

#include "cycle/csv.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <unsupported/Eigen/SpecialFunctions>

#include "valdmora/floored_mean.h"

namespace valdmora {

namespace {

// P(Y <= y) for the negative binomial with size r and success probability p: I_p(r, y + 1).
double negbin_cdf(double y, double r, double p) {
    if (y < 0.0) return 0.0;
    return Eigen::numext::betainc(r, y + 1.0, p);
}

double normal_quantile(double u) { return Eigen::numext::ndtri(u); }

}  // namespace

Residuals model_residuals(const EstimationState& s, const std::vector<double>& value, long k, uint64_t seed) {
    Residuals out;
    out.k = k;
    const int np = s.n_pred;
    const double e = value[static_cast<std::size_t>(np + 1)];
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    double sum2 = 0.0;
    for (long i = 1; i <= s.n_surveyed; ++i) {
        double h = value[0];
        for (int j = 1; j <= np; ++j) h += value[static_cast<std::size_t>(j)] * s.surveyed_x(j, i);
        const double m = floored_mean(h);
        const double y = std::nearbyint(static_cast<double>(s.surveyed_count(i)));
        const double pearson = (y - m) / std::sqrt(distribution(s.err_dist).variance(m, e));
        double q = 0.0;
        switch (s.err_dist) {
        case Dist::lognormal: {
            const double s2 = std::log(1.0 + e * e);
            q = (std::log(y) - (std::log(m) - s2 / 2.0)) / std::sqrt(s2);
            break;
        }
        case Dist::normal:
            q = (y - m) / e;
            break;
        case Dist::negbin: {
            // a discrete CDF: a uniform draw between its steps makes the residual continuous
            const double p = 1.0 / (1.0 + e), r = m / e;
            const double lo = negbin_cdf(y - 1.0, r, p), hi = negbin_cdf(y, r, p);
            const double u = lo + uniform(engine) * (hi - lo);
            q = normal_quantile(std::clamp(u, 1e-300, 1.0 - 1e-16));
            break;
        }
        }
        out.ward.push_back(s.surveyed_name(i));
        out.count.push_back(y);
        out.fitted.push_back(m);
        out.pearson.push_back(pearson);
        out.quantile.push_back(q);
        sum2 += pearson * pearson;
    }
    const long df = s.n_surveyed - k;
    out.dispersion = df > 0 ? sum2 / static_cast<double>(df) : std::nan("");
    return out;
}

ScatterChartData pearson_chart(const Residuals& r) {
    ScatterChartData c;
    c.x.assign(r.fitted.begin(), r.fitted.end());
    c.y.assign(r.pearson.begin(), r.pearson.end());
    c.x_title = "fitted mean";
    c.y_title = "Pearson residual";
    c.reference = ScatterChartData::Reference::Zero;
    return c;
}

ScatterChartData quantile_chart(const Residuals& r) {
    // each ward at the normal quantile of its rank, so that the key's colours follow it
    const std::size_t n = r.quantile.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return r.quantile[a] < r.quantile[b]; });
    ScatterChartData c;
    c.x.resize(n);
    c.y.resize(n);
    for (std::size_t rank = 0; rank < n; ++rank) {
        const std::size_t i = order[rank];
        c.x[i] = static_cast<float>(Eigen::numext::ndtri((static_cast<double>(rank) + 0.5) / static_cast<double>(n)));
        c.y[i] = static_cast<float>(r.quantile[i]);
    }
    c.x_title = "normal quantile";
    c.y_title = "quantile residual";
    c.reference = ScatterChartData::Reference::Identity;
    return c;
}

std::string residuals_csv(const Residuals& r) {
    std::string out = "ward,count,fitted,pearson,quantile\n";
    for (std::size_t i = 0; i < r.ward.size(); ++i)
        out += CsvRow().text(r.ward[i]).number(r.count[i]).number(r.fitted[i]).number(r.pearson[i]).number(r.quantile[i]).line();
    return out;
}

}  // namespace valdmora
