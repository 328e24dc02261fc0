// SPDX-License-Identifier: GPL-3.0-or-later
#include "residuals.h"

#include "cycle/atomic_file.h"
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

namespace {

// Each surveyed ward's count, fitted mean, Pearson and (when asked) quantile residual, in
// ward order, to row(ward, y, m, pearson, q); returns the sum of the squared Pearson
// residuals. The quantile residuals' jitter is drawn in ward order, so every caller that
// asks for them sees the same ones.
template <class Row>
double each_residual(const EstimationState& s, const std::vector<double>& value, uint64_t seed, bool quantiles,
                     Row&& row) {
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
        if (quantiles) {
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
        }
        row(i, y, m, pearson, q);
        sum2 += pearson * pearson;
    }
    return sum2;
}

double per_degree_of_freedom(double sum2, long n, long k) {
    const long df = n - k;
    return df > 0 ? sum2 / static_cast<double>(df) : std::nan("");
}

std::string csv_row(const std::string& ward, double y, double m, double pearson, double q) {
    return CsvRow().text(ward).number(y).number(m).number(pearson).number(q).line();
}

constexpr const char* kCsvHeader = "ward,count,fitted,pearson,quantile\n";

}  // namespace

Residuals model_residuals(const EstimationState& s, const std::vector<double>& value, long k, uint64_t seed) {
    Residuals out;
    out.k = k;
    const double sum2 = each_residual(s, value, seed, true, [&](long i, double y, double m, double pearson, double q) {
        out.ward.push_back(s.surveyed_name(i));
        out.count.push_back(y);
        out.fitted.push_back(m);
        out.pearson.push_back(pearson);
        out.quantile.push_back(q);
    });
    out.dispersion = per_degree_of_freedom(sum2, s.n_surveyed, k);
    return out;
}

double pearson_dispersion(const EstimationState& s, const std::vector<double>& value, long k) {
    const double sum2 = each_residual(s, value, 0, false, [](long, double, double, double, double) {});
    return per_degree_of_freedom(sum2, s.n_surveyed, k);
}

std::string write_residuals_csv(const std::string& path, const EstimationState& s, const std::vector<double>& value,
                                uint64_t seed) {
    AtomicFile file;
    std::string error = file.open(path);
    if (!error.empty()) return error;
    std::string chunk = kCsvHeader;
    constexpr std::size_t kChunk = 1 << 16;
    chunk.reserve(kChunk + 256);
    each_residual(s, value, seed, true, [&](long i, double y, double m, double pearson, double q) {
        if (!error.empty()) return;
        chunk += csv_row(s.surveyed_name(i), y, m, pearson, q);
        if (chunk.size() >= kChunk) {
            error = file.write(chunk);
            chunk.clear();
        }
    });
    if (error.empty()) error = file.write(chunk);
    return error.empty() ? file.commit() : error;
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
    std::string out = kCsvHeader;
    for (std::size_t i = 0; i < r.ward.size(); ++i) out += csv_row(r.ward[i], r.count[i], r.fitted[i], r.pearson[i], r.quantile[i]);
    return out;
}

}  // namespace valdmora
