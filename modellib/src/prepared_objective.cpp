#include "prepared_objective.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "valdmora/floored_mean.h"

namespace valdmora::model {
namespace {

// psi(v) for v >= 32 from its asymptotic series; the terms left off are below 1e-17 of it.
double digamma_large(double v) {
    const double w = 1.0 / (v * v);
    return std::log(v) - 0.5 / v -
           w * (1.0 / 12.0 - w * (1.0 / 120.0 - w * (1.0 / 252.0 - w * (1.0 / 240.0 - w / 132.0))));
}

// 1/a + 1/(a - 1) + ... + 1/(a - k + 1), the slope of the falling product's logarithm,
// where the chunked products below cannot be used.
double falling_reciprocals(double a, int32_t k) {
    constexpr int32_t kDirect = 32;
    const double low = a - (k - 1);
    // the product has no logarithm there either
    if (!(low > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    double sum = 0.0;
    for (int32_t i = 0; i < std::min(k, kDirect); ++i) sum += 1.0 / (low + i);
    // the rest as psi(a + 1) - psi(low + kDirect)
    if (k > kDirect) sum += digamma_large(a + 1.0) - digamma_large(low + kDirect);
    return sum;
}

// ln of a (a - 1) ... (a - k + 1) from running products in four chains, folded into one
// logarithm per 62 factors; the defining loop where a factor could be out of range. With
// slope, also its derivative in a, from the products' own derivatives (D' = D f + P).
template <bool Slope>
double log_falling_product(double a, int32_t k, double* slope) {
    if (k < 1) {
        if constexpr (Slope) *slope = 0.0;
        return 0.0;
    }
    if (k > kLongCount || !(a - static_cast<double>(k - 1) > 1e-100) || !(a < 1e4)) {
        if constexpr (Slope) *slope = falling_reciprocals(a, k);
        if (k > kLongCount) return rlogcombin_gamma(a, k) + log_gamma(static_cast<double>(k) + 1.0);
        double sum = 0.0;
        for (int32_t i = 0; i < k; ++i) sum += std::log(a - i);
        return sum;
    }
    double sum = 0.0, reciprocals = 0.0;
    for (int32_t start = 0; start < k; start += 62) {
        const int32_t end = std::min(k, start + 62);
        // four independent chains: the multiplications overlap instead of waiting in line
        double p0 = 1.0, p1 = 1.0, p2 = 1.0, p3 = 1.0, an = a - start;
        double q0 = 0.0, q1 = 0.0, q2 = 0.0, q3 = 0.0;
        int32_t i = start;
        for (; i + 3 < end; i += 4) {
            if constexpr (Slope) {
                q0 = q0 * an + p0;
                q1 = q1 * (an - 1.0) + p1;
                q2 = q2 * (an - 2.0) + p2;
                q3 = q3 * (an - 3.0) + p3;
            }
            p0 *= an;
            p1 *= an - 1.0;
            p2 *= an - 2.0;
            p3 *= an - 3.0;
            an -= 4.0;
        }
        for (; i < end; ++i) {
            if constexpr (Slope) q0 = q0 * an + p0;
            p0 *= an;
            an -= 1.0;
        }
        sum += std::log((p0 * p1) * (p2 * p3));
        if constexpr (Slope) reciprocals += (q0 / p0 + q1 / p1) + (q2 / p2 + q3 / p3);
    }
    if constexpr (Slope) *slope = reciprocals;
    return sum;
}

}  // namespace

PreparedObjective::PreparedObjective(const Model& d)
    : d_(d), log_y_(static_cast<std::size_t>(d.nobs)), log_factorial_(static_cast<std::size_t>(d.nobs)) {
    for (int64_t i = 0; i < d.nobs; ++i) {
        const int32_t y = d.y[i];
        if (y < 1) any_count_below_one_ = true;
        log_y_[static_cast<std::size_t>(i)] = y >= 1 ? std::log(static_cast<double>(y)) : 0.0;
        log_factorial_[static_cast<std::size_t>(i)] = y >= 1 ? log_gamma(static_cast<double>(y) + 1.0) : 0.0;
    }
}

double PreparedObjective::operator()(int32_t n, const int32_t* positions, const double* x) const {
    return evaluate<false>(n, positions, x, nullptr);
}

double PreparedObjective::operator()(int32_t n, const int32_t* positions, const double* x,
                                     double* gradient) const {
    return evaluate<true>(n, positions, x, gradient);
}

// The log likelihood is a sum of terms l(m_i, e) with m_i = floored_mean(h_i) and h_i
// linear in the coefficients, so its gradient is the sum of dl/dm_i times dm/dh times the
// record's regressors, plus dl/de.
template <bool Gradient>
double PreparedObjective::evaluate(int32_t n, const int32_t* positions, const double* x,
                                   double* gradient) const {
    const Model& d = d_;
    const Parameters par = place_parameters(d, n, positions, x);
    const double b0 = par.b0, e = par.e;
    const double* beta = par.beta;
    double slope_e = 0.0;  // dl/de
    // dl/dh summed over the records, alone and times each predictor; each sum runs over
    // the records in order
    double sum_h = 0.0;
    double sum_hx[kMaxPredictors] = {};
    auto add_slope = [&](int64_t i, double slope_h) {
        sum_h += slope_h;
        for (int32_t j = 0; j < d.np; ++j) sum_hx[j] += slope_h * d.predictor(i, j);
    };
    auto mean = [&](int64_t i, double& dm_dh) {
        double h = b0;
        for (int32_t j = 0; j < d.np; ++j) h += d.predictor(i, j) * beta[j];
        if constexpr (Gradient) dm_dh = h >= 2.0 ? 1.0 : 1.0 / ((3.0 - h) * (3.0 - h));
        return floored_mean(h);
    };

    double total = 0.0;
    double dm_dh = 1.0;
    if (d.dist == 1) {
        if (any_count_below_one_) return std::numeric_limits<double>::infinity();
        const double v = std::log(1.0 + e * e);  // s squared
        const double s = std::sqrt(v);
        const double log_s = std::log(s);
        for (int64_t i = 0; i < d.nobs; ++i) {
            const double m = mean(i, dm_dh);
            const double mu = std::log(m) - s * s / 2.0;
            const double dev = log_y_[static_cast<std::size_t>(i)] - mu;
            total += -(dev * dev) / (2.0 * s * s) - (log_y_[static_cast<std::size_t>(i)] + log_s);
            if constexpr (Gradient) {
                add_slope(i, dev / (v * m) * dm_dh);
                slope_e += -dev / (2.0 * v) + dev * dev / (2.0 * v * v) - 0.5 / v;
            }
        }
        if constexpr (Gradient) slope_e *= 2.0 * e / (1.0 + e * e);
    } else if (d.dist == 2) {
        const double log_e = std::log(e);
        for (int64_t i = 0; i < d.nobs; ++i) {
            const double dev = static_cast<double>(d.y[i]) - mean(i, dm_dh);
            total += -(dev * dev) / (2.0 * e * e) - log_e;
            if constexpr (Gradient) {
                add_slope(i, dev / (e * e) * dm_dh);
                slope_e += dev * dev / (e * e * e) - 1.0 / e;
            }
        }
    } else {
        const double p = 1.0 / (1.0 + e);
        const double log_p = std::log(p);
        const double log_q = std::log(1.0 - p);
        for (int64_t i = 0; i < d.nobs; ++i) {
            const double m = mean(i, dm_dh);
            const double r = p * m / (1.0 - p);
            const double yd = static_cast<double>(d.y[i]);
            double reciprocals = 0.0;
            const double log_comb =
                d.y[i] >= 1 ? log_falling_product<Gradient>(r + yd - 1.0, d.y[i], &reciprocals) - log_factorial_[static_cast<std::size_t>(i)]
                            : 0.0;
            total += log_comb + r * log_p + yd * log_q;
            if constexpr (Gradient) {
                // r = m / e: dl/dr = sum of 1/(r + t) + ln p
                const double dl_dr = reciprocals + log_p;
                add_slope(i, dl_dr / e * dm_dh);
                slope_e += -dl_dr * r / e - r / (1.0 + e) + yd / (e * (1.0 + e));
            }
        }
    }

    if constexpr (Gradient) {
        // dl/d(value) at each position, then per variable x = scale * value
        double by_position[kMaxPositions] = {};
        for (int32_t j = 0; j < d.np; ++j) by_position[1 + j] = sum_hx[j];
        if (d.fixed_total > 0.0) {
            // b0 = (T - sum S_j b_j) / M follows the slopes and no longer moves by itself
            for (int32_t j = 0; j < d.np; ++j) by_position[1 + j] -= sum_h * d.x_sum[j] / d.wards;
        } else {
            by_position[0] = sum_h;
        }
        by_position[d.np + 1] = slope_e;
        for (int32_t i = 0; i < n; ++i) {
            const int32_t k = positions[i] - 1;
            gradient[i] = -by_position[k] / d.scale[k];
        }
    }
    return -total;
}

}  // namespace valdmora::model
