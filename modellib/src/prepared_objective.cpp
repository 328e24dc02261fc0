#include "prepared_objective.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "valdmora/floored_mean.h"

namespace valdmora::model {
namespace {

// ln of a (a - 1) ... (a - k + 1) from running products in two chains, folded into one
// logarithm per 62 factors; the defining loop where a factor could be out of range.
double log_falling_product(double a, int32_t k) {
    if (k < 1) return 0.0;
    if (k > kLongCount) return rlogcombin_gamma(a, k) + log_gamma(static_cast<double>(k) + 1.0);
    const double smallest = a - static_cast<double>(k - 1);
    if (!(smallest > 1e-100) || !(a < 1e4)) {
        double sum = 0.0;
        for (int32_t i = 0; i < k; ++i) sum += std::log(a - i);
        return sum;
    }
    double sum = 0.0;
    for (int32_t start = 0; start < k; start += 62) {
        const int32_t end = std::min(k, start + 62);
        // four independent chains: the multiplications overlap instead of waiting in line
        double p0 = 1.0, p1 = 1.0, p2 = 1.0, p3 = 1.0, an = a - start;
        int32_t i = start;
        for (; i + 3 < end; i += 4) {
            p0 *= an;
            p1 *= an - 1.0;
            p2 *= an - 2.0;
            p3 *= an - 3.0;
            an -= 4.0;
        }
        for (; i < end; ++i) {
            p0 *= an;
            an -= 1.0;
        }
        sum += std::log((p0 * p1) * (p2 * p3));
    }
    return sum;
}

}  // namespace

PreparedObjective::PreparedObjective(const Unpacked& d) : d_(d) {
    for (int32_t i = 0; i < d.nobs; ++i) {
        const int32_t y = d.y[i];
        if (y < 1) any_count_below_one_ = true;
        log_y_[i] = y >= 1 ? std::log(static_cast<double>(y)) : 0.0;
        log_factorial_[i] = y >= 1 ? log_gamma(static_cast<double>(y) + 1.0) : 0.0;
    }
}

double PreparedObjective::operator()(int32_t n, const int32_t* positions, const double* x) const {
    const Unpacked& d = d_;
    const Parameters par = place_parameters(d, n, positions, x);
    const double b0 = par.b0, e = par.e;
    const double* beta = par.beta;
    auto mean = [&](int32_t i) {
        double h = b0;
        for (int32_t j = 0; j < d.np; ++j) h += static_cast<double>(d.x[i + kMaxRecords * j]) * beta[j];
        return floored_mean(h);
    };

    double total = 0.0;
    if (d.dist == 1) {
        if (any_count_below_one_) return std::numeric_limits<double>::infinity();
        const double s = std::sqrt(std::log(1.0 + e * e));
        const double log_s = std::log(s);
        for (int32_t i = 0; i < d.nobs; ++i) {
            const double mu = std::log(mean(i)) - s * s / 2.0;
            const double dev = log_y_[i] - mu;
            total += -(dev * dev) / (2.0 * s * s) - (log_y_[i] + log_s);
        }
    } else if (d.dist == 2) {
        const double log_e = std::log(e);
        for (int32_t i = 0; i < d.nobs; ++i) {
            const double dev = static_cast<double>(d.y[i]) - mean(i);
            total += -(dev * dev) / (2.0 * e * e) - log_e;
        }
    } else {
        const double p = 1.0 / (1.0 + e);
        const double log_p = std::log(p);
        const double log_q = std::log(1.0 - p);
        for (int32_t i = 0; i < d.nobs; ++i) {
            const double r = p * mean(i) / (1.0 - p);
            const double yd = static_cast<double>(d.y[i]);
            const double log_comb = d.y[i] >= 1 ? log_falling_product(r + yd - 1.0, d.y[i]) - log_factorial_[i] : 0.0;
            total += log_comb + r * log_p + yd * log_q;
        }
    }
    return -total;
}

}  // namespace valdmora::model
