#include <algorithm>
#include <cmath>
#include <limits>

#include "model.h"
#include "valdmora/floored_mean.h"
#include "valdmora/modellib.h"

namespace valdmora::model {

double rlogcombin_loop(double a, int32_t k) {
    if (k > kLongCount) return rlogcombin_gamma(a, k);
    double sum = 0.0;
    for (int32_t i = 0; i < k; ++i) sum += std::log(a - i) - std::log(static_cast<double>(k - i));
    return sum;
}

double rlogcombin_gamma(double a, int32_t k) {
    if (k < 1) return 0.0;
    const double smallest = a - (static_cast<double>(k) - 1.0);
    // as the loop: a factor below zero gives no logarithm, a zero factor minus infinity
    if (std::isnan(smallest) || smallest < 0.0) return std::numeric_limits<double>::quiet_NaN();
    if (smallest == 0.0) return -std::numeric_limits<double>::infinity();
    return log_gamma(a + 1.0) - log_gamma(smallest) - log_gamma(static_cast<double>(k) + 1.0);
}

double log_gamma(double v) {
#if defined(__GLIBC__)
    int sign = 0;
    return lgamma_r(v, &sign);  // std::lgamma sets the global signgam
#else
    return std::lgamma(v);
#endif
}

double rlogcombin_product(double a, int32_t k) {
    if (k < 1) return 0.0;
    if (k > kLongCount) return rlogcombin_gamma(a, k);
    // Every factor a - i must be positive and below 1e15; only the last can be below 1.
    const double smallest = a - static_cast<double>(k - 1);
    if (!(smallest > 1e-100) || !(a < 1e15)) return rlogcombin_loop(a, k);
    // Factors are at most max(a, k), so a run of `chunk` of them stays below 1e250.
    const double largest = std::max(a, static_cast<double>(k));
    const int32_t chunk = largest < 1e4 ? 62 : 16;
    double sum = 0.0;
    for (int32_t start = 0; start < k; start += chunk) {
        const int32_t end = std::min(k, start + chunk);
        // Two independent chains of products keep the multiplier busy. Stepping the
        // factors down by 2 is exact (a - i and k - i are whole steps below a < 2^53).
        double num0 = 1.0, num1 = 1.0, den0 = 1.0, den1 = 1.0;
        double an = a - start, kn = static_cast<double>(k - start);
        int32_t i = start;
        for (; i + 1 < end; i += 2) {
            num0 *= an;
            num1 *= an - 1.0;
            den0 *= kn;
            den1 *= kn - 1.0;
            an -= 2.0;
            kn -= 2.0;
        }
        if (i < end) {
            num0 *= an;
            den0 *= kn;
        }
        sum += std::log((num0 * num1) / (den0 * den1));
    }
    return sum;
}

double loglik(int64_t nobs, int32_t np, const int32_t* y, const double* x, int64_t ldx, double b0,
              const double* beta, double e, int32_t dist) {
    double total = 0.0;
    if (dist == 1) {
        // lognormal with mean m and coefficient of variation e
        const double s = std::sqrt(std::log(1.0 + e * e));
        for (int64_t i = 0; i < nobs; ++i) {
            if (y[i] < 1) return -std::numeric_limits<double>::infinity();
            double h = b0;
            for (int32_t j = 0; j < np; ++j) h += x[i + ldx * j] * beta[j];
            const double m = floored_mean(h);
            const double mu = std::log(m) - s * s / 2.0;
            const double yd = static_cast<double>(y[i]);
            const double d = std::log(yd) - mu;
            total += -(d * d) / (2.0 * s * s) - std::log(yd * s);
        }
    } else if (dist == 2) {
        // normal with mean m and standard deviation e
        const double log_e = std::log(e);
        for (int64_t i = 0; i < nobs; ++i) {
            double h = b0;
            for (int32_t j = 0; j < np; ++j) h += x[i + ldx * j] * beta[j];
            const double d = static_cast<double>(y[i]) - floored_mean(h);
            total += -(d * d) / (2.0 * e * e) - log_e;
        }
    } else {
        // negative binomial with mean m and variance (1 + e) m: size r, success probability p
        const double p = 1.0 / (1.0 + e);
        const double log_p = std::log(p);
        const double log_q = std::log(1.0 - p);
        for (int64_t i = 0; i < nobs; ++i) {
            double h = b0;
            for (int32_t j = 0; j < np; ++j) h += x[i + ldx * j] * beta[j];
            const double r = p * floored_mean(h) / (1.0 - p);
            const double yd = static_cast<double>(y[i]);
            total += rlogcombin_product(r + yd - 1.0, y[i]) + r * log_p + yd * log_q;
        }
    }
    return total;
}

}  // namespace valdmora::model

using namespace valdmora::model;

extern "C" double VALDMORA_LOGLIK(int64_t nobs, int32_t np, const int32_t* y, const double* x, int64_t ldx,
                                  double b0, const double* beta, double e, int32_t dist) {
    if (nobs < 0 || np < 0 || np > kMaxPredictors || (np > 0 && (ldx < nobs || !beta)))
        return std::numeric_limits<double>::quiet_NaN();
    if (nobs > 0 && (!y || (np > 0 && !x))) return std::numeric_limits<double>::quiet_NaN();
    return loglik(nobs, np, y, x, ldx, b0, beta, e, dist);
}

extern "C" double LOGLIK(int32_t* nobs, int32_t* np, int32_t* y, int32_t* x, double* b0,
                         double* beta, double* e, int32_t* dist) {
    if (!nobs || !np || !b0 || !e || !dist) return std::numeric_limits<double>::quiet_NaN();
    if (*nobs < 0 || *nobs > kMaxRecords || *np < 0 || *np > kMaxPredictors)
        return std::numeric_limits<double>::quiet_NaN();
    if ((*nobs > 0 && !y) || (*nobs > 0 && *np > 0 && !x) || (*np > 0 && !beta))
        return std::numeric_limits<double>::quiet_NaN();
    // the whole numbers of the table are exact as doubles
    double table[kMaxRecords * kMaxPredictors];
    for (int32_t j = 0; j < *np; ++j)
        for (int32_t i = 0; i < *nobs; ++i) table[i + kMaxRecords * j] = x[i + kMaxRecords * j];
    return loglik(*nobs, *np, y, table, kMaxRecords, *b0, beta, *e, *dist);
}

extern "C" double RLOGCOMBIN(double* a, int32_t* k) {
    if (!a || !k) return std::numeric_limits<double>::quiet_NaN();
    return rlogcombin_loop(*a, *k);
}
