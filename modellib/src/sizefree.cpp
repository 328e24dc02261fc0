// SPDX-License-Identifier: GPL-3.0-or-later
// The size-free entries: the same likelihood, search and failure codes as the 99-record
// entries, over arrays of any length that the caller owns.
#include <cmath>
#include <limits>

#include "model.h"
#include "valdmora/modellib.h"

namespace {

using valdmora::model::Model;

// The model behind a valdmora_model, or false when its sizes or arrays cannot be used.
bool model_of(const valdmora_model* m, Model& out) {
    using namespace valdmora::model;
    if (!m || m->nobs < 0 || m->np < 0 || m->np > kMaxPredictors || !m->value || !m->scale) return false;
    if (!dist_code_valid(m->dist)) return false;
    if (m->nobs > 0 && (!m->y || (m->np > 0 && !m->x))) return false;
    if (m->fixed_total > 0.0 && m->np > 0 && !m->x_sum) return false;
    out.nobs = m->nobs;
    out.np = m->np;
    out.dist = m->dist;
    out.y = m->y;
    out.x = m->x;
    out.ldx = m->nobs;
    out.x_sum = m->x_sum;
    out.wards = m->wards;
    out.value = m->value;
    out.scale = m->scale;
    out.fixed_total = m->fixed_total;
    return true;
}

}  // namespace

extern "C" double VALDMORA_OBJECTIVE(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                     const double* x) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    return valdmora::model::guarded(kNaN, [&] {
        Model d;
        if (!model_of(model, d) || (n > 0 && (!free_pos || !x)) ||
            !valdmora::model::free_positions_valid(n, free_pos, d.np))
            return kNaN;
        return valdmora::model::objective(d, n, free_pos, x);
    });
}

namespace {

int32_t fit_or_search(const valdmora_model* model, int32_t n, const int32_t* free_pos, const double* lower,
                      const double* upper, double* x, double* f, int64_t* evaluations, bool confirm) {
    Model d;
    int64_t count = 0;
    if (evaluations) *evaluations = 0;
    if (!f || !model_of(model, d) || (n > 0 && (!free_pos || !x || !lower || !upper)) ||
        !valdmora::model::free_positions_valid(n, free_pos, d.np) ||
        !valdmora::model::bounds_valid(n, lower, upper, x))
        return VALDMORA_FIT_BAD_ARGS;
    // the start point comes back as it was when the library cannot finish
    double start[valdmora::model::kMaxFree];
    for (int32_t i = 0; i < n; ++i) start[i] = x[i];
    const int32_t code = valdmora::model::guarded(VALDMORA_FIT_NO_MEMORY, [&] {
        if (n == 0) {
            *f = valdmora::model::objective(d, 0, free_pos, x);
            count = 1;
            return VALDMORA_FIT_OK;
        }
        return valdmora::model::fit(d, n, free_pos, lower, upper, x, f, &count, confirm);
    });
    if (code == VALDMORA_FIT_NO_MEMORY) {
        for (int32_t i = 0; i < n; ++i) x[i] = start[i];
        *f = std::numeric_limits<double>::quiet_NaN();
    }
    if (evaluations) *evaluations = count;
    return code;
}

}  // namespace

extern "C" int32_t VALDMORA_FIT(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                const double* lower, const double* upper, double* x, double* f,
                                int64_t* evaluations) {
    return fit_or_search(model, n, free_pos, lower, upper, x, f, evaluations, true);
}

extern "C" int32_t VALDMORA_SEARCH(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                   const double* lower, const double* upper, double* x, double* f,
                                   int64_t* evaluations) {
    return fit_or_search(model, n, free_pos, lower, upper, x, f, evaluations, false);
}

extern "C" int32_t VALDMORA_HESSIAN(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                    const double* x, double* f, double* gradient, double* hessian) {
    using namespace valdmora::model;
    Model d;
    if (!model_of(model, d) || n < 1 || n > kMaxPositions || !free_pos || !x || !hessian ||
        !free_positions_valid(n, free_pos, d.np))
        return VALDMORA_FIT_BAD_ARGS;
    for (int32_t u = 0; u < n; ++u) {
        if (!std::isfinite(x[u])) return VALDMORA_FIT_BAD_ARGS;
        for (int32_t v = 0; v < u; ++v)
            if (free_pos[u] == free_pos[v]) return VALDMORA_FIT_BAD_ARGS;
    }
    return guarded(VALDMORA_FIT_NO_MEMORY, [&] {
        return objective_hessian(d, n, free_pos, x, f, gradient, hessian) ? VALDMORA_FIT_OK
                                                                           : VALDMORA_FIT_START_NOT_FINITE;
    });
}
