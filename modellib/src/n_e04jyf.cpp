#include <algorithm>
#include <cmath>
#include <limits>

#include "minimizer.h"
#include "model.h"
#include "prepared_objective.h"
#include "valdmora/modellib.h"

using namespace valdmora::model;

namespace {

// What FUNCT1 does at each call, with the model data unpacked once for the whole fit.
struct FitContext {
    int32_t* model_ints;
    const PreparedObjective* objective;
};

// One counted evaluation, with the gradient when the minimizer asks for it.
double evaluate(int32_t n, const double* x, double* gradient, void* context) {
    auto* c = static_cast<FitContext*>(context);
    count_evaluation(c->model_ints);
    if (gradient) return (*c->objective)(n, c->model_ints + 1, x, gradient);
    return (*c->objective)(n, c->model_ints + 1, x);
}

// Each variable's step, the unit the search measures it in, from the data: the intercept
// and each slope move the linear predictor by about a quarter of the mean count, the extra
// parameter by half its start value. Slopes near 0 make relative steps meaningless, hence
// the data scale. With a fixed total the intercept follows the slopes
// (b0 = (T - sum S_j b_j) / M), so a slope moves each record's linear predictor by its
// distance from the M wards' mean instead.
double parameter_step(const Unpacked& d, int32_t position, double start) {
    double mean_count = 0.0;
    for (int32_t i = 0; i < d.nobs; ++i) mean_count += std::fabs(static_cast<double>(d.y[i]));
    if (d.nobs > 0) mean_count /= d.nobs;
    const double shift = std::max(1.0, 0.25 * mean_count);
    if (position == 1) return shift;
    if (position == d.np + 2) return 0.5 * std::max(std::fabs(start), 0.02);
    const int32_t j = position - 2;
    const bool fixed_total = d.fixed_total > 0.0 && d.wards > 0;
    const double centre = fixed_total ? static_cast<double>(d.x_sum[j]) / d.wards : 0.0;
    double spread = 0.0;
    for (int32_t i = 0; i < d.nobs; ++i) {
        const double dx = static_cast<double>(d.x[i + kMaxRecords * j]) - centre;
        spread += fixed_total ? dx * dx : std::fabs(dx);
    }
    if (d.nobs > 0) spread /= d.nobs;
    if (fixed_total) spread = std::sqrt(spread);
    return shift / std::max(1.0, spread);
}

}  // namespace

extern "C" void N_E04JYF(int32_t* n, int32_t* ibound, double* bl, double* bu, double* x, double* f,
                         int32_t* iw, int32_t* liw, double* w, int32_t* lw, int32_t* model_ints,
                         double* model_reals, int32_t* ifail) {
    (void)iw;
    (void)w;
    if (!ifail) return;
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
        !free_positions_valid(n_copy, model_ints, d.np) || (n_copy > 0 && !x)) {
        *ifail = VALDMORA_FIT_BAD_ARGS;
        return;
    }

    if (n_copy == 0) {
        int32_t zero = 0;
        FUNCT1(&zero, x, f, model_ints, model_reals);
    } else {
        constexpr double kInf = std::numeric_limits<double>::infinity();
        double lower[kMaxFree], upper[kMaxFree], step[kMaxFree];
        bool bounds_ok = ibound_copy >= 0 && ibound_copy <= 3 &&
                         ((ibound_copy != 0 && ibound_copy != 3) || (bl && bu));
        for (int32_t i = 0; bounds_ok && i < n_copy; ++i) {
            switch (ibound_copy) {
                case 0: lower[i] = bl[i]; upper[i] = bu[i]; break;
                case 1: lower[i] = -kInf; upper[i] = kInf; break;
                case 2: lower[i] = 0.0; upper[i] = kInf; break;
                default: lower[i] = bl[0]; upper[i] = bu[0]; break;
            }
            bounds_ok = !std::isnan(lower[i]) && !std::isnan(upper[i]) && lower[i] <= upper[i] &&
                        std::isfinite(x[i]);
            const int32_t k = model_ints[1 + i];
            const double c = std::fabs(d.scale[k - 1]);
            const double scale = std::isfinite(c) && c > 0.0 ? c : 1.0;
            step[i] = scale * parameter_step(d, k, x[i] / scale);
        }
        if (!bounds_ok) {
            *ifail = VALDMORA_FIT_BAD_ARGS;
            return;
        }
        const PreparedObjective prepared(d);
        FitContext context{model_ints, &prepared};
        const MinimizeResult r = minimize(n_copy, lower, upper, x, step, evaluate, &context);
        code = r.code;
        // the value reported is FUNCT1's own at the returned point
        if (std::isfinite(r.f)) {
            count_evaluation(model_ints);
            *f = objective(d, n_copy, model_ints + 1, x);
        } else {
            *f = r.f;
        }
    }

    *n = n_copy;
    *ibound = ibound_copy;
    if (liw) *liw = liw_copy;
    if (lw) *lw = lw_copy;
    *ifail = code;
}
