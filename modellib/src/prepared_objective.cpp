// SPDX-License-Identifier: GPL-3.0-or-later
#include "prepared_objective.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "valdmora/floored_mean.h"
#include "vector_log.h"

namespace valdmora::model {
double digamma_large(double v) {
    const double w = 1.0 / (v * v);
    return std::log(v) - 0.5 / v -
           w * (1.0 / 12.0 - w * (1.0 / 120.0 - w * (1.0 / 252.0 - w * (1.0 / 240.0 - w / 132.0))));
}

namespace {

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

}  // namespace

// a (a - 1) ... (a - k + 1) from running products in four chains: the logarithm of every
// full run of factors in *log_sum, and the product of the last run returned, for its
// logarithm to be taken with the other records'. Where a factor could be out of range the
// defining loop (or the gamma form) gives the whole logarithm in *log_sum and 1 is
// returned. With slope, also the derivative of the logarithm in a, from the products' own
// derivatives (D' = D f + P): the full runs' part in *slope, and the last run's as
// *slope_numerator over the product returned, divided with the other records'.
template <bool Slope>
double falling_product(double a, int32_t k, double* log_sum, double* slope, double* slope_numerator) {
    *log_sum = 0.0;
    if constexpr (Slope) *slope_numerator = 0.0;
    if (k < 1) {
        if constexpr (Slope) *slope = 0.0;
        return 1.0;
    }
    const double low = a - static_cast<double>(k - 1);
    // The gamma form, which also says at once what a factor at or below 0 makes of the
    // logarithm (minus infinity, or not a number), where the loop took k steps to.
    if (k > kLongCount || !(low > 0.0)) {
        if constexpr (Slope) *slope = falling_reciprocals(a, k);
        *log_sum = rlogcombin_gamma(a, k) + log_gamma(static_cast<double>(k) + 1.0);
        return 1.0;
    }
    // A last factor too small for the products (only a lone factor can be: a whole step
    // above it is 1 or more) by the defining loop.
    if (low <= 1e-100) {
        if constexpr (Slope) *slope = falling_reciprocals(a, k);
        double sum = 0.0;
        for (int32_t i = 0; i < k; ++i) sum += std::log(a - i);
        *log_sum = sum;
        return 1.0;
    }
    // Factors too large for the products differ by less than a billionth of their size (k is
    // at most kLongCount): k ln a and the series of sum ln(1 - i / a), whose third term is
    // below rounding, in one step.
    if (!(a < 1e15)) {
        const double n = k, s1 = n * (n - 1.0) / 2.0, s2 = (n - 1.0) * n * (2.0 * n - 1.0) / 6.0;
        *log_sum = n * std::log(a) - s1 / a - s2 / (2.0 * a * a);
        // and sum 1 / (a - i) as sum (i / a)^j / a, which digamma differences would lose
        if constexpr (Slope) *slope = (n + s1 / a + s2 / (a * a)) / a;
        return 1.0;
    }
    // Runs of 62 factors below 1e4 stay below 1e248, runs of 16 below 1e15 below 1e240: the
    // larger factors of large counts are multiplied too, not taken a logarithm each, which
    // held a fit on counts of a few hundred thousand for minutes.
    const int32_t run = a < 1e4 ? 62 : 16;
    double reciprocals = 0.0, last = 1.0;
    for (int32_t start = 0; start < k; start += run) {
        const int32_t end = std::min(k, start + run);
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
        const double p01 = p0 * p1, p23 = p2 * p3;
        const double product = p01 * p23;
        // the four chains' sum of q / p as one fraction
        const double numerator = (q0 * p1 + q1 * p0) * p23 + (q2 * p3 + q3 * p2) * p01;
        if (end < k) {
            *log_sum += std::log(product);
            if constexpr (Slope) reciprocals += numerator / product;
        } else {
            last = product;
            if constexpr (Slope) *slope_numerator = numerator;
        }
    }
    if constexpr (Slope) *slope = reciprocals;
    return last;
}

#if VALDMORA_FOUR_LANES

bool falling_products_fit_lanes(const double* a, const int32_t* k) {
    for (int l = 0; l < 4; ++l)
        if (k[l] >= 1 && (k[l] > kLongCount || !(a[l] - static_cast<double>(k[l] - 1) > 1e-100) || !(a[l] < 1e4)))
            return false;
    return true;
}

bool four_lanes_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

// The same chains, runs, tails and combination as falling_product, a lane per record.
template <bool Slope>
__attribute__((target("avx2"))) void falling_products4(const double* a, const int32_t* k, double* log_sum,
                                                       double* slope, double* slope_numerator, double* last) {
    const int32_t longest = std::max(std::max(k[0], k[1]), std::max(k[2], k[3]));
    double reciprocals[4] = {};
    for (int l = 0; l < 4; ++l) {
        log_sum[l] = 0.0;
        last[l] = 1.0;
        if constexpr (Slope) slope_numerator[l] = 0.0;
    }
    const Lanes av = {a[0], a[1], a[2], a[3]};
    const Lanes one = {1.0, 1.0, 1.0, 1.0}, zero = {};
    for (int32_t start = 0; start < longest; start += 62) {
        int32_t end[4];
        for (int l = 0; l < 4; ++l) end[l] = std::min(k[l], start + 62);
        const Lanes endv = {static_cast<double>(end[0]), static_cast<double>(end[1]), static_cast<double>(end[2]),
                            static_cast<double>(end[3])};
        const int32_t run_end = std::min(longest, start + 62);
        Lanes p0 = one, p1 = one, p2 = one, p3 = one, q0 = zero, q1 = zero, q2 = zero, q3 = zero;
        Lanes an = av - static_cast<double>(start);
        // a lane whose run is shorter multiplies by 1 and adds nothing: exact no-ops
        for (int32_t t = start; t + 3 < run_end; t += 4) {
            const auto active = static_cast<double>(t) + 3.0 < endv;
            const Lanes f0 = active ? an : one, f1 = active ? an - 1.0 : one;
            const Lanes f2 = active ? an - 2.0 : one, f3 = active ? an - 3.0 : one;
            if constexpr (Slope) {
                q0 = q0 * f0 + (active ? p0 : zero);
                q1 = q1 * f1 + (active ? p1 : zero);
                q2 = q2 * f2 + (active ? p2 : zero);
                q3 = q3 * f3 + (active ? p3 : zero);
            }
            p0 *= f0;
            p1 *= f1;
            p2 *= f2;
            p3 *= f3;
            an -= 4.0;
        }
        for (int l = 0; l < 4; ++l) {
            if (end[l] <= start) continue;  // this lane's factors ended in an earlier run
            double r0 = p0[l], r1 = p1[l], r2 = p2[l], r3 = p3[l];
            double s0 = q0[l], s1 = q1[l], s2 = q2[l], s3 = q3[l];
            int32_t i = start + 4 * ((end[l] - start) / 4);
            double at = a[l] - static_cast<double>(i);  // exact, as the chains' own steps
            for (; i < end[l]; ++i) {
                if constexpr (Slope) s0 = s0 * at + r0;
                r0 *= at;
                at -= 1.0;
            }
            const double r01 = r0 * r1, r23 = r2 * r3;
            const double product = r01 * r23;
            const double numerator = (s0 * r1 + s1 * r0) * r23 + (s2 * r3 + s3 * r2) * r01;
            if (end[l] < k[l]) {
                log_sum[l] += std::log(product);
                if constexpr (Slope) reciprocals[l] += numerator / product;
            } else {
                last[l] = product;
                if constexpr (Slope) slope_numerator[l] = numerator;
            }
        }
    }
    if constexpr (Slope)
        for (int l = 0; l < 4; ++l) slope[l] = reciprocals[l];
}

template void falling_products4<true>(const double*, const int32_t*, double*, double*, double*, double*);
template void falling_products4<false>(const double*, const int32_t*, double*, double*, double*, double*);
#endif

template double falling_product<true>(double, int32_t, double*, double*, double*);
template double falling_product<false>(double, int32_t, double*, double*, double*);

namespace {

// Every record's floored mean and the floor's slope dm/dh, with the predictor columns
// and coefficients held in registers; the floor's division only where a mean is on it.
template <int NP>
bool means_of(const Model& d, std::size_t first, std::size_t n, double b0, const double* beta, double* m,
              double* dm_dh) {
    const double* col[kMaxPredictors > 0 ? kMaxPredictors : 1] = {};
    double b[kMaxPredictors] = {};
    for (int j = 0; j < NP; ++j) {
        col[j] = d.x + d.ldx * j + first;
        b[j] = beta[j];
    }
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) {
        double h = b0;
        for (int j = 0; j < NP; ++j) h += col[j][i] * b[j];
        if (h >= 2.0) {
            m[i] = h;
            dm_dh[i] = 1.0;
        } else {
            m[i] = floored_mean(h);
            dm_dh[i] = 1.0 / ((3.0 - h) * (3.0 - h));
        }
        finite = finite && std::isfinite(m[i]);
    }
    return finite;
}

// The sums over the records of dl/dh, alone and times each predictor, each in record order.
// Carried on from the sums given: a block of records adds its terms in record order.
template <int NP>
void slope_sums(const Model& d, std::size_t first, std::size_t n, const double* slope_h, double& sum_h,
                double* sum_hx) {
    const double* col[kMaxPredictors > 0 ? kMaxPredictors : 1] = {};
    for (int j = 0; j < NP; ++j) col[j] = d.x + d.ldx * j + first;
    double s = sum_h, sx[kMaxPredictors] = {};
    for (int j = 0; j < NP; ++j) sx[j] = sum_hx[j];
    for (std::size_t i = 0; i < n; ++i) {
        s += slope_h[i];
        for (int j = 0; j < NP; ++j) sx[j] += slope_h[i] * col[j][i];
    }
    sum_h = s;
    for (int j = 0; j < NP; ++j) sum_hx[j] = sx[j];
}

template <class F>
decltype(auto) by_predictors(int32_t np, F&& f) {
    switch (np) {
        case 0: return f(std::integral_constant<int, 0>());
        case 1: return f(std::integral_constant<int, 1>());
        case 2: return f(std::integral_constant<int, 2>());
        case 3: return f(std::integral_constant<int, 3>());
        default: return f(std::integral_constant<int, 4>());
    }
}

}  // namespace

PreparedObjective::PreparedObjective(const Model& d)
    : d_(d),
      log_y_(d.dist == 1 ? static_cast<std::size_t>(d.nobs) : 0),
      mean_(std::min(static_cast<std::size_t>(d.nobs), kBlock)),
      log_mean_(mean_.size()),
      slope_(mean_.size()),
      partial_(mean_.size()),
      reciprocals_(mean_.size()),
      slope_h_(mean_.size()) {
    // each distribution's own constants only: a profile prepares many searches
    std::vector<double> known_factorials(d.dist == 1 || d.dist == 2 ? 0 : 4096,
                                         std::numeric_limits<double>::quiet_NaN());
    for (int64_t i = 0; i < d.nobs; ++i) {
        const int32_t y = d.y[i];
        if (y < 1) any_count_below_one_ = true;
        if (d.dist == 1) {
            log_y_[static_cast<std::size_t>(i)] = y >= 1 ? std::log(static_cast<double>(y)) : 0.0;
            sum_log_y_ += log_y_[static_cast<std::size_t>(i)];
        } else if (d.dist != 2 && y >= 1) {
            // counts repeat: each small count's ln y! is worked out once
            double log_factorial;
            if (static_cast<std::size_t>(y) < known_factorials.size()) {
                double& known = known_factorials[static_cast<std::size_t>(y)];
                if (std::isnan(known)) known = log_gamma(static_cast<double>(y) + 1.0);
                log_factorial = known;
            } else {
                log_factorial = log_gamma(static_cast<double>(y) + 1.0);
            }
            sum_log_factorial_ += log_factorial;
        }
        sum_y_ += static_cast<double>(y);
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
    // dl/dh of each record, then summed over the records, alone and times each predictor
    double sum_h = 0.0;
    double sum_hx[kMaxPredictors] = {};
    const auto nobs = static_cast<std::size_t>(d.nobs);
    double* const m_of = mean_.data();
    double* const log_of = log_mean_.data();
    double* const floor_slope = slope_.data();
    double* const slope_h = slope_h_.data();
    // The records a block at a time, so that the scratch stays small however large the
    // survey; every sum runs on across the blocks in record order, and the blocks are whole
    // runs of four records, so that the value is the same as in one pass. In each block
    // every record's mean first, then all their logarithms at once.
    bool finite = true;
    auto means = [&](std::size_t first, std::size_t count) {
        finite = by_predictors(d.np, [&](auto np) { return means_of<np>(d, first, count, b0, beta, m_of, floor_slope); }) &&
                 finite;
    };
    auto logarithms = [&](const double* in, double* out, std::size_t count) {
        if (finite) {
            log_array(in, out, count);
        } else {
            for (std::size_t i = 0; i < count; ++i) out[i] = std::log(in[i]);
        }
    };
    auto slopes = [&](std::size_t first, std::size_t count) {
        if constexpr (Gradient)
            by_predictors(d.np, [&](auto np) { slope_sums<np>(d, first, count, slope_h, sum_h, sum_hx); });
    };

    double total = 0.0;
    if (d.dist == 1) {
        if (any_count_below_one_) return std::numeric_limits<double>::infinity();
        const double v = std::log(1.0 + e * e);  // s squared
        const double s = std::sqrt(v);
        const double log_s = std::log(s);
        // the sums the value and the slope in e need, then the terms from them
        double sum_dev = 0.0, sum_dev2 = 0.0;
        const double inv_v = 1.0 / v;
        for (std::size_t first = 0; first < nobs; first += kBlock) {
            const std::size_t count = std::min(kBlock, nobs - first);
            means(first, count);
            logarithms(m_of, log_of, count);
            const double* log_y = log_y_.data() + first;
            for (std::size_t i = 0; i < count; ++i) {
                const double dev = log_y[i] - (log_of[i] - v / 2.0);
                sum_dev += dev;
                sum_dev2 += dev * dev;
                if constexpr (Gradient) slope_h[i] = dev * inv_v / m_of[i] * floor_slope[i];
            }
            slopes(first, count);
        }
        const double records = static_cast<double>(nobs);
        total = -sum_dev2 / (2.0 * v) - (sum_log_y_ + records * log_s);
        if constexpr (Gradient)
            slope_e = (-sum_dev / (2.0 * v) + sum_dev2 / (2.0 * v * v) - records * 0.5 / v) * (2.0 * e / (1.0 + e * e));
    } else if (d.dist == 2) {
        const double log_e = std::log(e);
        const double inv_e2 = 1.0 / (e * e);
        double sum_dev2 = 0.0;
        for (std::size_t first = 0; first < nobs; first += kBlock) {
            const std::size_t count = std::min(kBlock, nobs - first);
            means(first, count);
            const int32_t* y = d.y + first;
            for (std::size_t i = 0; i < count; ++i) {
                const double dev = static_cast<double>(y[i]) - m_of[i];
                sum_dev2 += dev * dev;
                if constexpr (Gradient) slope_h[i] = dev * inv_e2 * floor_slope[i];
            }
            slopes(first, count);
        }
        const double records = static_cast<double>(nobs);
        total = -sum_dev2 / (2.0 * e * e) - records * log_e;
        if constexpr (Gradient) slope_e = sum_dev2 / (e * e * e) - records / e;
    } else {
        const double p = 1.0 / (1.0 + e);
        const double log_p = std::log(p);
        const double log_q = std::log(1.0 - p);
        // each record's falling product (the last run of its factors) before all their
        // logarithms at once; the runs before it are in partial, and the product's slope
        // in reciprocals
        double* const product = log_of;
        double* const partial = partial_.data();
        double* const reciprocals = reciprocals_.data();
        double* const numerator = slope_h_.data();  // free until the slopes are formed below
        double sum_r = 0.0, sum_comb = 0.0, sum_dl_dr_r = 0.0;
        const double inv_e = 1.0 / e;
#if VALDMORA_FOUR_LANES
        const bool lanes = four_lanes_available();
#endif
        for (std::size_t first = 0; first < nobs; first += kBlock) {
            const std::size_t count = std::min(kBlock, nobs - first);
            const int32_t* y = d.y + first;
            means(first, count);
            const auto one_record = [&](std::size_t i) {
                const double r = p * m_of[i] / (1.0 - p);
                const int32_t k = y[i];
                partial[i] = 0.0;
                reciprocals[i] = 0.0;
                numerator[i] = 0.0;
                product[i] = k >= 1 ? falling_product<Gradient>(r + static_cast<double>(k) - 1.0, k, &partial[i],
                                                                &reciprocals[i], &numerator[i])
                                    : 1.0;
            };
            // four records at a time where the machine can: one chain of products serves four
            std::size_t next = 0;
#if VALDMORA_FOUR_LANES
            for (; lanes && next + 4 <= count; next += 4) {
                const std::size_t i = next;
                double a[4];
                int32_t k[4];
                for (std::size_t l = 0; l < 4; ++l) {
                    k[l] = y[i + l];
                    a[l] = p * m_of[i + l] / (1.0 - p) + static_cast<double>(k[l]) - 1.0;
                }
                if (falling_products_fit_lanes(a, k)) {
                    falling_products4<Gradient>(a, k, partial + i, reciprocals + i, numerator + i, product + i);
                    if constexpr (!Gradient)
                        for (std::size_t l = 0; l < 4; ++l) reciprocals[i + l] = numerator[i + l] = 0.0;
                } else {
                    for (std::size_t l = 0; l < 4; ++l) one_record(i + l);
                }
            }
#endif
            for (; next < count; ++next) one_record(next);
            for (std::size_t i = 0; i < count; ++i) finite = finite && std::isfinite(product[i]) && product[i] > 0.0;
            // the divisions all together, several to an instruction
            if constexpr (Gradient)
                for (std::size_t i = 0; i < count; ++i) reciprocals[i] += numerator[i] / product[i];
            logarithms(product, product, count);
            // sums over the records, then the terms in e from them
            for (std::size_t i = 0; i < count; ++i) {
                const double r = p * m_of[i] / (1.0 - p);
                if (y[i] >= 1) sum_comb += partial[i] + product[i];
                sum_r += r;
                if constexpr (Gradient) {
                    // r = m / e: dl/dr = sum of 1/(r + t) + ln p
                    const double dl_dr = reciprocals[i] + log_p;
                    slope_h[i] = dl_dr * inv_e * floor_slope[i];
                    sum_dl_dr_r += dl_dr * r;
                }
            }
            slopes(first, count);
        }
        total = (sum_comb - sum_log_factorial_) + sum_r * log_p + sum_y_ * log_q;
        if constexpr (Gradient)
            slope_e = -sum_dl_dr_r / e - sum_r / (1.0 + e) + sum_y_ / (e * (1.0 + e));
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
