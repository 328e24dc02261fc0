// SPDX-License-Identifier: GPL-3.0-or-later
// Builds packed model data (model_ints / model_reals) for tests and benchmarks, and
// simulates counts from the three error distributions.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "valdmora/floored_mean.h"

namespace valdmora::testing {

struct Records {
    int32_t np = 0;
    std::vector<int32_t> y;
    std::vector<std::vector<int32_t>> x;  // x[i][j]: predictor j of record i
};

struct PackedModel {
    std::array<int32_t, 1000> ints{};
    std::array<double, 1000> reals{};
    int32_t np = 0;

    // values: the np + 2 parameter values (intercept, slopes, extra parameter).
    static PackedModel make(const Records& r, const std::vector<double>& values, int32_t dist,
                            const std::vector<int32_t>& free_pos = {}, int32_t wards = 0,
                            const std::vector<int32_t>& x_sum = {}, double fixed_total = 0.0,
                            const std::vector<double>& scale = {}) {
        PackedModel p;
        p.np = r.np;
        p.ints[0] = static_cast<int32_t>(free_pos.size());
        for (std::size_t i = 0; i < free_pos.size(); ++i) p.ints[1 + i] = free_pos[i];
        p.ints[10] = r.np;
        p.ints[11] = wards;
        p.ints[12] = static_cast<int32_t>(r.y.size());
        std::size_t at = 13;
        for (std::size_t i = 0; i < r.y.size(); ++i) {
            p.ints[at++] = r.y[i];
            for (int32_t j = 0; j < r.np; ++j) p.ints[at++] = r.x[i][j];
        }
        for (int32_t j = 0; j < r.np; ++j) p.ints[at++] = x_sum.empty() ? 0 : x_sum[j];
        p.ints[at] = dist;
        for (int32_t k = 0; k < r.np + 2; ++k) {
            p.reals[4 * k] = values[k];
            p.reals[4 * k + 1] = scale.empty() ? 1.0 : scale[k];
            p.reals[4 * k + 2] = k == r.np + 1 ? 0.01 : -1000.0;
            p.reals[4 * k + 3] = k == r.np + 1 ? 100.0 : 1000.0;
        }
        p.reals[4 * (r.np + 2)] = fixed_total;
        return p;
    }

    int32_t counter() const { return ints[999]; }
};

// The table layout LOGLIK takes: column length 99, column after column.
inline std::vector<int32_t> predictor_table(const Records& r) {
    std::vector<int32_t> t(99 * 4, 0);
    for (std::size_t i = 0; i < r.y.size(); ++i)
        for (int32_t j = 0; j < r.np; ++j) t[i + 99 * j] = r.x[i][j];
    return t;
}

// nobs records with np predictors uniform in 100..1100 and counts drawn from dist with
// parameters b0, beta, e.
inline Records simulate(int32_t nobs, int32_t np, double b0, const std::vector<double>& beta, double e,
                        int32_t dist, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int32_t> xs(100, 1100);
    Records r;
    r.np = np;
    for (int32_t i = 0; i < nobs; ++i) {
        std::vector<int32_t> row(np);
        double h = b0;
        for (int32_t j = 0; j < np; ++j) {
            row[j] = xs(gen);
            h += row[j] * beta[j];
        }
        const double m = floored_mean(h);
        double y = 0.0;
        if (dist == 1) {
            const double s2 = std::log(1.0 + e * e);
            y = std::lognormal_distribution<double>(std::log(m) - s2 / 2.0, std::sqrt(s2))(gen);
            y = std::max(1.0, std::round(y));
        } else if (dist == 2) {
            y = std::max(0.0, std::round(std::normal_distribution<double>(m, e)(gen)));
        } else {
            // gamma-Poisson mixture with size r = m / e: variance (1 + e) m
            const double size = m / e;
            const double lambda = std::gamma_distribution<double>(size, m / size)(gen);
            y = static_cast<double>(std::poisson_distribution<int32_t>(lambda)(gen));
        }
        r.y.push_back(static_cast<int32_t>(y));
        r.x.push_back(row);
    }
    return r;
}

}  // namespace valdmora::testing
