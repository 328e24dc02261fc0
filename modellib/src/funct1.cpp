// SPDX-License-Identifier: GPL-3.0-or-later
#include <cmath>
#include <cstdint>
#include <limits>

#include "model.h"
#include "valdmora/modellib.h"

namespace valdmora::model {

Model Unpacked::view() const {
    Model m;
    m.nobs = nobs;
    m.np = np;
    m.dist = dist;
    m.y = y;
    m.x = x;
    m.ldx = kMaxRecords;
    m.x_sum = x_sum;
    m.wards = static_cast<double>(wards);
    m.value = value;
    m.scale = scale;
    m.fixed_total = fixed_total;
    return m;
}

bool unpack(const int32_t* mi, const double* mr, Unpacked& out) {
    // mi[k - 1] is entry k
    out.np = mi[10];
    out.wards = mi[11];
    out.nobs = mi[12];
    if (out.np < 0 || out.np > kMaxPredictors || out.nobs < 0 || out.nobs > kMaxRecords) return false;
    // With these limits the packed data end by entry 13 + 99*5 + 4 + 1 = 513.
    int32_t at = 13;
    for (int32_t i = 0; i < out.nobs; ++i) {
        out.y[i] = mi[at++];
        for (int32_t j = 0; j < out.np; ++j) out.x[i + kMaxRecords * j] = mi[at++];
    }
    for (int32_t j = 0; j < out.np; ++j) out.x_sum[j] = mi[at++];
    out.dist = mi[at];

    const int32_t positions = out.np + 2;
    for (int32_t k = 0; k < positions; ++k) {
        out.value[k] = mr[4 * k];
        out.scale[k] = mr[4 * k + 1];
    }
    out.fixed_total = mr[4 * positions];
    return true;
}

bool free_positions_valid(int32_t n, const int32_t* positions, int32_t np) {
    if (n < 0 || n > kMaxFree) return false;
    for (int32_t i = 0; i < n; ++i)
        if (positions[i] < 1 || positions[i] > np + 2) return false;
    return true;
}

Parameters place_parameters(const Model& d, int32_t n, const int32_t* positions, const double* x) {
    double value[kMaxPositions] = {};
    for (int32_t k = 0; k < d.np + 2; ++k) value[k] = d.value[k];
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = positions[i] - 1;
        value[k] = x[i] / d.scale[k];
    }
    Parameters p;
    p.b0 = value[0];
    for (int32_t j = 0; j < d.np; ++j) p.beta[j] = value[1 + j];
    p.e = value[d.np + 1];
    if (d.fixed_total > 0.0) {
        // intercept for which the M wards' linear predictors add up to T
        double rest = d.fixed_total;
        for (int32_t j = 0; j < d.np; ++j) rest -= d.x_sum[j] * p.beta[j];
        p.b0 = rest / d.wards;
    }
    return p;
}

double objective(const Model& d, int32_t n, const int32_t* positions, const double* x) {
    const Parameters p = place_parameters(d, n, positions, x);
    return -loglik(d.nobs, d.np, d.y, d.x, d.ldx, p.b0, p.beta, p.e, d.dist);
}

void count_evaluations(int32_t* model_ints, int64_t evaluations) {
    model_ints[kCounterIndex] = static_cast<int32_t>(static_cast<uint32_t>(model_ints[kCounterIndex]) +
                                                     static_cast<uint32_t>(evaluations));
}

}  // namespace valdmora::model

using namespace valdmora::model;

namespace {

void funct1(int32_t* n, double* xc, double* fc, int32_t* model_ints, double* model_reals) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (!n || !model_ints || !model_reals) {
        *fc = kNaN;
        return;
    }
    count_evaluations(model_ints, 1);
    Unpacked d;
    if (!unpack(model_ints, model_reals, d) || !free_positions_valid(*n, model_ints + 1, d.np) ||
        (*n > 0 && !xc)) {
        *fc = kNaN;
        return;
    }
    *fc = objective(d.view(), *n, model_ints + 1, xc);
}

}  // namespace

extern "C" void VALDMORA_ORIGINAL FUNCT1(int32_t* n, double* xc, double* fc, int32_t* model_ints, double* model_reals) {
    if (!fc) return;
    // nothing thrown inside crosses into a C caller: a value that cannot be had is NaN
    const bool done = guarded(false, [&] {
        funct1(n, xc, fc, model_ints, model_reals);
        return true;
    });
    if (!done) *fc = std::numeric_limits<double>::quiet_NaN();
}
