// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cmath>
#include <limits>

#include "model.h"
#include "vector_log.h"
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

#if VALDMORA_FOUR_LANES
bool rlogcombin_products4(const double* a, const int32_t* k, double* out) {
    int32_t longest = 0;
    for (int l = 0; l < 4; ++l) {
        if (k[l] < 1) continue;
        // the lanes must all take the chunked products with runs of 62
        if (k[l] > kLongCount || !(a[l] - static_cast<double>(k[l] - 1) > 1e-100) || !(a[l] < 1e15) ||
            !(std::max(a[l], static_cast<double>(k[l])) < 1e4))
            return false;
        longest = std::max(longest, k[l]);
    }
    const Lanes av = {a[0], a[1], a[2], a[3]};
    const Lanes kv = {static_cast<double>(k[0]), static_cast<double>(k[1]), static_cast<double>(k[2]),
                      static_cast<double>(k[3])};
    const Lanes one = {1.0, 1.0, 1.0, 1.0};
    double sum[4] = {};
    for (int32_t start = 0; start < longest; start += 62) {
        int32_t end[4];
        for (int l = 0; l < 4; ++l) end[l] = std::max(0, std::min(k[l], start + 62));
        const Lanes endv = {static_cast<double>(end[0]), static_cast<double>(end[1]), static_cast<double>(end[2]),
                            static_cast<double>(end[3])};
        const int32_t run_end = std::min(longest, start + 62);
        Lanes num0 = one, num1 = one, den0 = one, den1 = one;
        Lanes an = av - static_cast<double>(start), kn = kv - static_cast<double>(start);
        // a lane whose run is shorter multiplies by 1: exact no-ops
        for (int32_t t = start; t + 1 < run_end; t += 2) {
            const auto active = static_cast<double>(t) + 1.0 < endv;
            num0 *= active ? an : one;
            num1 *= active ? an - 1.0 : one;
            den0 *= active ? kn : one;
            den1 *= active ? kn - 1.0 : one;
            an -= 2.0;
            kn -= 2.0;
        }
        for (int l = 0; l < 4; ++l) {
            if (end[l] <= start) continue;
            double n0 = num0[l], d0 = den0[l];
            const int32_t i = start + 2 * ((end[l] - start) / 2);
            if (i < end[l]) {
                // exact, as the chains' own steps
                n0 *= a[l] - static_cast<double>(i);
                d0 *= static_cast<double>(k[l] - i);
            }
            sum[l] += std::log((n0 * num1[l]) / (d0 * den1[l]));
        }
    }
    for (int l = 0; l < 4; ++l) out[l] = sum[l];
    return true;
}
#endif

double loglik(int64_t nobs, int32_t np, const int32_t* y, const double* x, int64_t ldx, double b0,
              const double* beta, double e, int32_t dist) {
    double total = 0.0;
    if (dist == 1) {
        // lognormal with mean m and coefficient of variation e
        const double s = std::sqrt(std::log(1.0 + e * e));
        for (int64_t i = 0; i < nobs; ++i)
            if (y[i] < 1) return -std::numeric_limits<double>::infinity();
        const auto term = [s](double log_m, double log_y, double log_ys) {
            const double d = log_y - (log_m - s * s / 2.0);
            return -(d * d) / (2.0 * s * s) - log_ys;
        };
        // the three logarithms a record needs, a block of records at a time through the
        // vector logarithm: a large survey's covariance is thousands of such evaluations
        constexpr int64_t kBlock = 256;
        double m[kBlock], yd[kBlock], ys[kBlock], log_m[kBlock], log_y[kBlock], log_ys[kBlock];
        const bool vector_ok = s > 0.0 && s < std::numeric_limits<double>::infinity();
        for (int64_t start = 0; start < nobs; start += kBlock) {
            const int64_t len = std::min(kBlock, nobs - start);
            bool finite = vector_ok;
            for (int64_t k = 0; k < len; ++k) {
                const int64_t i = start + k;
                double h = b0;
                for (int32_t j = 0; j < np; ++j) h += x[i + ldx * j] * beta[j];
                m[k] = floored_mean(h);
                yd[k] = static_cast<double>(y[i]);
                ys[k] = yd[k] * s;
                finite = finite && m[k] < std::numeric_limits<double>::infinity();
            }
            if (finite) {
                const auto n = static_cast<std::size_t>(len);
                log_array(m, log_m, n);
                log_array(yd, log_y, n);
                log_array(ys, log_ys, n);
            } else {
                // the vector logarithm is only for finite positive values
                for (int64_t k = 0; k < len; ++k) {
                    log_m[k] = std::log(m[k]);
                    log_y[k] = std::log(yd[k]);
                    log_ys[k] = std::log(ys[k]);
                }
            }
            for (int64_t k = 0; k < len; ++k) total += term(log_m[k], log_y[k], log_ys[k]);
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
        int64_t next = 0;
#if VALDMORA_FOUR_LANES
        // four records' products at a time where the machine can
        if (four_lanes_available()) {
            for (; next + 4 <= nobs; next += 4) {
                double r[4], a[4], comb[4];
                for (int l = 0; l < 4; ++l) {
                    const int64_t i = next + l;
                    double h = b0;
                    for (int32_t j = 0; j < np; ++j) h += x[i + ldx * j] * beta[j];
                    r[l] = p * floored_mean(h) / (1.0 - p);
                    a[l] = r[l] + static_cast<double>(y[i]) - 1.0;
                }
                if (!rlogcombin_products4(a, y + next, comb))
                    for (int l = 0; l < 4; ++l) comb[l] = rlogcombin_product(a[l], y[next + l]);
                for (int l = 0; l < 4; ++l) {
                    const double yd = static_cast<double>(y[next + l]);
                    total += comb[l] + r[l] * log_p + yd * log_q;
                }
            }
        }
#endif
        for (int64_t i = next; i < nobs; ++i) {
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
    if (!dist_code_valid(dist)) return std::numeric_limits<double>::quiet_NaN();
    return guarded(std::numeric_limits<double>::quiet_NaN(), [&] { return loglik(nobs, np, y, x, ldx, b0, beta, e, dist); });
}

extern "C" double VALDMORA_ORIGINAL LOGLIK(int32_t* nobs, int32_t* np, int32_t* y, int32_t* x, double* b0,
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
    return guarded(std::numeric_limits<double>::quiet_NaN(),
                   [&] { return loglik(*nobs, *np, y, table, kMaxRecords, *b0, beta, *e, *dist); });
}

extern "C" double VALDMORA_ORIGINAL RLOGCOMBIN(double* a, int32_t* k) {
    if (!a || !k) return std::numeric_limits<double>::quiet_NaN();
    return guarded(std::numeric_limits<double>::quiet_NaN(), [&] { return rlogcombin_loop(*a, *k); });
}
