// SPDX-License-Identifier: GPL-3.0-or-later
// The objective's exact second derivatives, for the information matrix. Each record's log
// likelihood is l(m, e) with m = floored_mean(h) and h linear in the coefficients, so
//   d2l/da db = (l_mm m'^2 + l_m m'') z_a z_b,  d2l/da de = l_me m' z_a,  d2l/de2 = l_ee,
// z_a the record's regressor of coefficient a (1 for the intercept, x_j for slope j; with
// a fixed total the intercept follows the slopes and z_j = x_j - S_j / M). One call per
// estimate, so the records are taken one at a time, plainly.
#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "model.h"
#include "valdmora/floored_mean.h"
#include "valdmora/modellib.h"

namespace valdmora::model {
namespace {

// psi(a) - psi(b) and psi'(b) - psi'(a) for a >= b >= 16, from their asymptotic series:
// one logarithm (of a / b, which also spares the two logarithms' cancellation) and one
// division per argument.
void series_differences(double a, double b, double& first, double& second) {
    const double ia = 1.0 / a, ib = 1.0 / b;
    const double wa = ia * ia, wb = ib * ib;
    auto digamma_tail = [](double w) {
        return w * (1.0 / 12.0 - w * (1.0 / 120.0 - w * (1.0 / 252.0 - w * (1.0 / 240.0 - w / 132.0))));
    };
    auto trigamma = [](double i, double w) {
        return i + w / 2.0 + w * i * (1.0 / 6.0 - w * (1.0 / 30.0 - w * (1.0 / 42.0 - w * (1.0 / 30.0 - w * 5.0 / 66.0))));
    };
    first = std::log(a * ib) - 0.5 * ia + 0.5 * ib - digamma_tail(wa) + digamma_tail(wb);
    second = trigamma(ib, wb) - trigamma(ia, wa);
}

// The sums over t = 0..y-1 of 1/(r + t) and 1/(r + t)^2: the first two derivatives of
// ln Gamma(r + y) - ln Gamma(r), the negative binomial's count term, in r.
void count_term_slopes(double r, int32_t y, double& first, double& second) {
    // Terms one by one until r + t reaches 16, the rest as differences of the asymptotic
    // series (whose first omitted terms are below 1e-16 there); one by one
    // throughout for a few counts, or where r is so large that the differences would cancel.
    constexpr double kSeries = 16.0;
    first = second = 0.0;
    int32_t direct = y;
    if (y > 8 && r < 1e6) direct = std::min<int32_t>(y, static_cast<int32_t>(std::max(0.0, std::ceil(kSeries - r))));
    for (int32_t t = 0; t < direct; ++t) {
        const double q = 1.0 / (r + t);
        first += q;
        second += q * q;
    }
    if (y > direct) {
        double d1, d2;
        series_differences(r + y, r + direct, d1, d2);
        first += d1;
        second += d2;
    }
}

// One record's l_m, l_mm, l_e, l_ee and l_me.
struct RecordSlopes {
    double m = 0, mm = 0, e = 0, ee = 0, me = 0;
};

// What depends on e alone, worked out once for all records.
struct ExtraTerms {
    double e = 0.0;
    double v = 0.0;           // lognormal: ln(1 + e^2)
    double log1p_e = 0.0;     // negative binomial: ln(1 + e)
    double inv_e = 0.0, inv_1pe = 0.0;  // negative binomial: 1 / e, 1 / (1 + e)
};

RecordSlopes record_slopes(int32_t dist, double y, double m, const ExtraTerms& c) {
    RecordSlopes s;
    const double e = c.e;
    if (dist == 1) {
        // lognormal: l = -d^2 / (2 v) - ln v / 2 - ln y, d = ln y - ln m + v / 2, v = ln(1 + e^2)
        const double v = c.v;
        const double d = std::log(y) - std::log(m) + v / 2.0;
        const double l_v = -d / (2.0 * v) + d * d / (2.0 * v * v) - 1.0 / (2.0 * v);
        const double l_vv = -1.0 / (4.0 * v) + d / (v * v) - d * d / (v * v * v) + 1.0 / (2.0 * v * v);
        const double l_mv = (1.0 / (2.0 * v) - d / (v * v)) / m;
        const double v_e = 2.0 * e / (1.0 + e * e);
        const double v_ee = 2.0 * (1.0 - e * e) / ((1.0 + e * e) * (1.0 + e * e));
        s.m = d / (v * m);
        s.mm = -(1.0 + d) / (v * m * m);
        s.e = l_v * v_e;
        s.ee = l_vv * v_e * v_e + l_v * v_ee;
        s.me = l_mv * v_e;
    } else if (dist == 2) {
        // normal: l = -(y - m)^2 / (2 e^2) - ln e
        const double dev = y - m;
        s.m = dev / (e * e);
        s.mm = -1.0 / (e * e);
        s.e = dev * dev / (e * e * e) - 1.0 / e;
        s.ee = -3.0 * dev * dev / (e * e * e * e) + 1.0 / (e * e);
        s.me = -2.0 * dev / (e * e * e);
    } else {
        // negative binomial: l = lnG(r + y) - lnG(r) - ln y! - (r + y) ln(1 + e) + y ln e, r = m / e
        // (the reciprocals of e and 1 + e once for all records: a division costs a dozen
        // multiplications)
        const double ie = c.inv_e, ie2 = ie * ie, i1 = c.inv_1pe;
        const double r = m * ie;
        double d1 = 0.0, d2 = 0.0;
        if (y >= 1.0) count_term_slopes(r, static_cast<int32_t>(y), d1, d2);
        const double l_r = d1 - c.log1p_e;
        const double l_rr = -d2;
        const double l_re = -i1;  // at fixed r
        const double l_e = -(r + y) * i1 + y * ie;
        const double l_ee = (r + y) * (i1 * i1) - y * ie2;
        const double r_e = -m * ie2, r_ee = 2.0 * m * ie2 * ie;
        s.m = l_r * ie;
        s.mm = l_rr * ie2;
        s.e = l_r * r_e + l_e;
        s.ee = l_rr * r_e * r_e + 2.0 * l_re * r_e + l_r * r_ee + l_ee;
        s.me = (l_rr * r_e + l_re) * ie - l_r * ie2;
    }
    return s;
}

}  // namespace

// The Hessian and gradient of -log likelihood in the n variables (scale * value) at x.
// False when a value is not finite (a lognormal count below 1, a mean without a logarithm).
bool objective_hessian(const Model& d, int32_t n, const int32_t* positions, const double* x, double* f,
                       double* gradient, double* hessian) {
    const Parameters par = place_parameters(d, n, positions, x);
    const int32_t np = d.np;
    const int32_t nv = np + 2;  // by position: the intercept, the slopes, e
    double g[kMaxPositions] = {};
    double h[kMaxPositions][kMaxPositions] = {};
    const bool tied = d.fixed_total > 0.0;
    ExtraTerms c;
    c.e = par.e;
    c.v = std::log1p(par.e * par.e);
    c.log1p_e = std::log1p(par.e);
    c.inv_e = 1.0 / par.e;
    c.inv_1pe = 1.0 / (1.0 + par.e);
    // the tied intercept's shift of each regressor, once
    double shift[kMaxPredictors] = {};
    for (int32_t j = 0; j < np; ++j) shift[j] = tied ? d.x_sum[j] / d.wards : 0.0;
    // one loop per number of predictors, so that the sums' small loops unroll
    bool counts_usable = true;
    auto records = [&](auto predictors) {
        constexpr int32_t NP = decltype(predictors)::value;
        for (int64_t i = 0; i < d.nobs; ++i) {
            double lin = par.b0;
            for (int32_t j = 0; j < NP; ++j) lin += d.predictor(i, j) * par.beta[j];
            const double m = floored_mean(lin);
            const double m1 = lin >= 2.0 ? 1.0 : 1.0 / ((3.0 - lin) * (3.0 - lin));
            const double m2 = lin >= 2.0 ? 0.0 : 2.0 / ((3.0 - lin) * (3.0 - lin) * (3.0 - lin));
            const double y = static_cast<double>(d.y[i]);
            if (d.dist == 1 && y < 1.0) {
                counts_usable = false;
                return;
            }
            const RecordSlopes s = record_slopes(d.dist, y, m, c);
            double z[NP + 1];
            z[0] = tied ? 0.0 : 1.0;
            for (int32_t j = 0; j < NP; ++j) z[1 + j] = d.predictor(i, j) - shift[j];
            const double hh = s.mm * m1 * m1 + s.m * m2;
            const double gm = s.m * m1, em = s.me * m1;
            for (int32_t a = 0; a <= NP; ++a) {
                g[a] += gm * z[a];
                const double hz = hh * z[a];
                for (int32_t b = 0; b <= a; ++b) h[a][b] += hz * z[b];
                h[NP + 1][a] += em * z[a];
            }
            g[NP + 1] += s.e;
            h[NP + 1][NP + 1] += s.ee;
        }
    };
    switch (np) {
        case 0: records(std::integral_constant<int32_t, 0>()); break;
        case 1: records(std::integral_constant<int32_t, 1>()); break;
        case 2: records(std::integral_constant<int32_t, 2>()); break;
        case 3: records(std::integral_constant<int32_t, 3>()); break;
        default: records(std::integral_constant<int32_t, kMaxPredictors>()); break;
    }
    if (!counts_usable) return false;
    for (int32_t a = 0; a < nv; ++a)
        for (int32_t b = 0; b < a; ++b) h[b][a] = h[a][b];
    // the value only when asked: a Newton step already has it from its line search
    bool finite = true;
    if (f) {
        const double ll = loglik(d.nobs, np, d.y, d.x, d.ldx, par.b0, par.beta, par.e, d.dist);
        *f = -ll;
        finite = std::isfinite(ll);
    }
    for (int32_t u = 0; u < n; ++u) {
        const int32_t a = positions[u] - 1;
        if (gradient) gradient[u] = -g[a] / d.scale[a];
        for (int32_t v = 0; v < n; ++v) {
            const int32_t b = positions[v] - 1;
            const double value = -h[a][b] / (d.scale[a] * d.scale[b]);
            hessian[u + n * v] = value;
            finite = finite && std::isfinite(value);
        }
    }
    return finite;
}

}  // namespace valdmora::model

