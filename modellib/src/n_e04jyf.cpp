// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cmath>
#include <limits>

#include "minimizer.h"
#include "model.h"
#include "prepared_objective.h"
#include "valdmora/modellib.h"

namespace valdmora::model {
namespace {

// The prepared objective, with or without its gradient.
double evaluate(int32_t n, const double* x, double* gradient, void* context) {
    auto* c = static_cast<std::pair<const PreparedObjective*, const int32_t*>*>(context);
    if (gradient) return (*c->first)(n, c->second, x, gradient);
    return (*c->first)(n, c->second, x);
}

// Each variable's step, the unit the search measures it in, from the data: the intercept
// and each slope move the linear predictor by about a quarter of the mean count, the extra
// parameter by half its start value. Slopes near 0 make relative steps meaningless, hence
// the data scale. With a fixed total the intercept follows the slopes
// (b0 = (T - sum S_j b_j) / M), so a slope moves each record's linear predictor by its
// distance from the M wards' mean instead.
double parameter_step(const Model& d, int32_t position, double start) {
    double mean_count = 0.0;
    for (int64_t i = 0; i < d.nobs; ++i) mean_count += std::fabs(static_cast<double>(d.y[i]));
    if (d.nobs > 0) mean_count /= static_cast<double>(d.nobs);
    const double shift = std::max(1.0, 0.25 * mean_count);
    if (position == 1) return shift;
    if (position == d.np + 2) return 0.5 * std::max(std::fabs(start), 0.02);
    const int32_t j = position - 2;
    const bool fixed_total = d.fixed_total > 0.0 && d.wards > 0;
    const double centre = fixed_total ? d.x_sum[j] / d.wards : 0.0;
    double spread = 0.0;
    for (int64_t i = 0; i < d.nobs; ++i) {
        const double dx = d.predictor(i, j) - centre;
        spread += fixed_total ? dx * dx : std::fabs(dx);
    }
    if (d.nobs > 0) spread /= static_cast<double>(d.nobs);
    if (fixed_total) spread = std::sqrt(spread);
    return shift / std::max(1.0, spread);
}

}  // namespace

bool bounds_valid(int32_t n, const double* lower, const double* upper, const double* x) {
    for (int32_t i = 0; i < n; ++i)
        if (std::isnan(lower[i]) || std::isnan(upper[i]) || lower[i] > upper[i] || !std::isfinite(x[i])) return false;
    return true;
}

int32_t fit(const Model& d, int32_t n, const int32_t* positions, const double* lower, const double* upper,
            double* x, double* f, int64_t* evaluations, bool confirm) {
    double step[kMaxFree];
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = positions[i];
        const double c = std::fabs(d.scale[k - 1]);
        const double scale = std::isfinite(c) && c > 0.0 ? c : 1.0;
        step[i] = scale * parameter_step(d, k, x[i] / scale);
    }
    const PreparedObjective prepared(d);
    std::pair<const PreparedObjective*, const int32_t*> context{&prepared, positions};
    const MinimizeResult r = minimize(n, lower, upper, x, step, evaluate, &context, confirm);
    *evaluations = r.evaluations;
    // the value reported is the objective's own at the returned point
    if (std::isfinite(r.f)) {
        *f = objective(d, n, positions, x);
        ++*evaluations;
    } else {
        *f = r.f;
    }
    return r.code;
}

}  // namespace valdmora::model

using namespace valdmora::model;

namespace {

void n_e04jyf(int32_t* n, int32_t* ibound, double* bl, double* bu, double* x, double* f, int32_t* liw,
              int32_t* lw, int32_t* model_ints, double* model_reals, int32_t* ifail) {
    if (!n || !ibound || !f || !model_ints || !model_reals) {
        *ifail = VALDMORA_FIT_BAD_ARGS;
        return;
    }
    const int32_t n_copy = *n;
    const int32_t ibound_copy = *ibound;
    const int32_t liw_copy = liw ? *liw : 0;
    const int32_t lw_copy = lw ? *lw : 0;
    int32_t code = *ifail;

    Unpacked d;
    if (n_copy < 0 || n_copy > kMaxFree || !unpack(model_ints, model_reals, d) ||
        !free_positions_valid(n_copy, model_ints + 1, d.np) || (n_copy > 0 && !x)) {
        *ifail = VALDMORA_FIT_BAD_ARGS;
        return;
    }

    if (n_copy == 0) {
        int32_t zero = 0;
        FUNCT1(&zero, x, f, model_ints, model_reals);
    } else {
        constexpr double kInf = std::numeric_limits<double>::infinity();
        double lower[kMaxFree], upper[kMaxFree];
        const bool mode_ok = ibound_copy >= 0 && ibound_copy <= 3 && ((ibound_copy != 0 && ibound_copy != 3) || (bl && bu));
        for (int32_t i = 0; mode_ok && i < n_copy; ++i) {
            switch (ibound_copy) {
                case 0: lower[i] = bl[i]; upper[i] = bu[i]; break;
                case 1: lower[i] = -kInf; upper[i] = kInf; break;
                case 2: lower[i] = 0.0; upper[i] = kInf; break;
                default: lower[i] = bl[0]; upper[i] = bu[0]; break;
            }
        }
        if (!mode_ok || !bounds_valid(n_copy, lower, upper, x)) {
            *ifail = VALDMORA_FIT_BAD_ARGS;
            return;
        }
        int64_t evaluations = 0;
        // a failure inside (memory that cannot be had) is the minimizer's own failure
        code = fit(d.view(), n_copy, model_ints + 1, lower, upper, x, f, &evaluations);
        count_evaluations(model_ints, evaluations);
    }

    *n = n_copy;
    *ibound = ibound_copy;
    if (liw) *liw = liw_copy;
    if (lw) *lw = lw_copy;
    *ifail = code;
}

}  // namespace

extern "C" void VALDMORA_ORIGINAL N_E04JYF(int32_t* n, int32_t* ibound, double* bl, double* bu, double* x, double* f,
                         int32_t* iw, int32_t* liw, double* w, int32_t* lw, int32_t* model_ints,
                         double* model_reals, int32_t* ifail) {
    (void)iw;
    (void)w;
    if (!ifail) return;
    // a failure inside (memory that cannot be had) is the minimizer's own failure, never an
    // exception in a C caller
    const bool done = guarded(false, [&] {
        n_e04jyf(n, ibound, bl, bu, x, f, liw, lw, model_ints, model_reals, ifail);
        return true;
    });
    if (!done) *ifail = VALDMORA_FIT_FAILED;
}
