// SPDX-License-Identifier: GPL-3.0-or-later
#include "minimizer.h"

#include <nlopt.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "valdmora/modellib.h"

namespace valdmora::model {
namespace {

// Evaluations allowed for one call, all runs together.
constexpr int kMaxEvaluations = 20000;
// Searches after the first that may still find a lower value before we give up confirming.
constexpr int kMaxRestarts = 4;
// Each variable is searched in units of its step; runs end when the point moves less than
// this many units.
constexpr double kTolerance = 1e-5;
// A confirming restart's trust region starts at this many units.
constexpr double kRestartStep = 1e-4;
// Corrections L-BFGS keeps. Its default is one per evaluation allowed (20,000), all of
// them zeroed at every start, which cost more than the search itself; no fit comes near
// this many iterations, so the search is the same.
constexpr unsigned kStoredCorrections = 1000;

struct Search {
    int32_t n_all;
    std::vector<int32_t> active;  // variables with room to move (lower < upper)
    std::vector<double> unit;     // the step of each active variable
    std::vector<double> point;    // full point handed to the objective
    std::vector<double> gradient; // full gradient from the objective
    const double* lower;
    const double* upper;
    Objective objective;
    void* context;
    double best_f = 0.0;
    std::vector<double> best_x;
    double penalty = 0.0;  // stands in for an infinite or NaN value
    long evaluations = 0;
};

// NLopt works on u = x / unit, so that every variable's step is 1.
double nlopt_objective(unsigned, const double* u, double* grad, void* data) {
    auto* s = static_cast<Search*>(data);
    // A search may step a hair outside the bounds: evaluate the clipped point instead.
    for (std::size_t i = 0; i < s->active.size(); ++i) {
        const int32_t k = s->active[i];
        s->point[k] = std::clamp(u[i] * s->unit[i], s->lower[k], s->upper[k]);
    }
    const double f = s->objective(s->n_all, s->point.data(), grad ? s->gradient.data() : nullptr, s->context);
    ++s->evaluations;
    const bool finite = std::isfinite(f);
    if (grad)
        for (std::size_t i = 0; i < s->active.size(); ++i)
            grad[i] = finite ? s->gradient[s->active[i]] * s->unit[i] : 0.0;
    if (!finite) return s->penalty;
    if (f < s->best_f) {
        s->best_f = f;
        s->best_x = s->point;
    }
    return f;
}

// One run of algorithm from the best point so far; step (in units) is the initial trust
// region of a derivative-free run.
nlopt_result run_once(Search& s, nlopt_algorithm algorithm, double step) {
    const auto m = static_cast<unsigned>(s.active.size());
    nlopt_opt opt = nlopt_create(algorithm, m);
    if (!opt) return NLOPT_OUT_OF_MEMORY;
    std::vector<double> u(m), lo(m), hi(m);
    for (unsigned i = 0; i < m; ++i) {
        const int32_t k = s.active[i];
        u[i] = s.best_x[k] / s.unit[i];
        lo[i] = s.lower[k] / s.unit[i];
        hi[i] = s.upper[k] / s.unit[i];
        u[i] = std::clamp(u[i], lo[i], hi[i]);
    }
    nlopt_result r = nlopt_set_lower_bounds(opt, lo.data());
    if (r > 0) r = nlopt_set_upper_bounds(opt, hi.data());
    if (r > 0) r = nlopt_set_min_objective(opt, nlopt_objective, &s);
    if (r > 0) r = nlopt_set_initial_step1(opt, step);
    if (r > 0) r = nlopt_set_xtol_abs1(opt, kTolerance);
    if (r > 0) r = nlopt_set_maxeval(opt, static_cast<int>(std::max(1L, kMaxEvaluations - s.evaluations)));
    if (r > 0 && algorithm == NLOPT_LD_LBFGS) r = nlopt_set_vector_storage(opt, kStoredCorrections);
    double f = 0.0;
    if (r > 0) r = nlopt_optimize(opt, u.data(), &f);
    nlopt_destroy(opt);
    return r;
}

}  // namespace

MinimizeResult minimize(int32_t n, const double* lower, const double* upper, double* x,
                        const double* step, Objective objective, void* context, bool confirm) {
    MinimizeResult result;
    Search s{.n_all = n,
             .active = {},
             .unit = {},
             .point = std::vector<double>(x, x + n),
             .gradient = std::vector<double>(static_cast<std::size_t>(n), 0.0),
             .lower = lower,
             .upper = upper,
             .objective = objective,
             .context = context,
             .best_x = {}};
    for (int32_t i = 0; i < n; ++i) {
        s.point[i] = std::clamp(x[i], lower[i], upper[i]);
        if (lower[i] < upper[i]) {
            double d = std::isfinite(step[i]) && step[i] > 0.0 ? step[i] : 1.0;
            if (std::isfinite(upper[i] - lower[i])) d = std::min(d, 0.25 * (upper[i] - lower[i]));
            s.active.push_back(i);
            s.unit.push_back(d);
        }
    }

    const double f0 = objective(n, s.point.data(), nullptr, context);
    s.evaluations = 1;
    result.evaluations = 1;
    result.f = f0;
    if (!std::isfinite(f0)) {
        result.code = VALDMORA_FIT_START_NOT_FINITE;
        return result;
    }
    s.best_f = f0;
    s.best_x = s.point;
    s.penalty = f0 + 1e3 * (1.0 + std::fabs(f0));

    if (s.active.empty()) {
        std::copy(s.best_x.begin(), s.best_x.end(), x);
        return result;
    }

    // L-BFGS on the gradient gets close in few evaluations. A derivative-free restart from
    // its result then confirms it: a line search that stalls, or the jump in curvature where
    // a mean meets its floor, shows as a restart that still finds a lower value, and the
    // search goes on from there.
    nlopt_result r = run_once(s, NLOPT_LD_LBFGS, 1.0);
    int32_t code = VALDMORA_FIT_UNCONFIRMED;
    if (!confirm) {
        // a stalled line search (NLopt's generic failure) is a failure here: nothing follows
        // to judge it
        code = r == NLOPT_MAXEVAL_REACHED                   ? VALDMORA_FIT_EVAL_LIMIT
               : r < 0 && r != NLOPT_ROUNDOFF_LIMITED ? VALDMORA_FIT_FAILED
                                                          : VALDMORA_FIT_UNCONFIRMED;
    }
    for (int restart = 0; confirm && restart < kMaxRestarts; ++restart) {
        if (r == NLOPT_MAXEVAL_REACHED) {
            code = VALDMORA_FIT_EVAL_LIMIT;
            break;
        }
        // a stalled line search (NLOPT_FAILURE) is left to the confirmation to judge
        if (r < 0 && r != NLOPT_ROUNDOFF_LIMITED && r != NLOPT_FAILURE) {
            code = VALDMORA_FIT_FAILED;
            break;
        }
        const double before = s.best_f;
        r = run_once(s, NLOPT_LN_BOBYQA, r == NLOPT_FAILURE ? 1.0 : kRestartStep);
        if (s.best_f >= before - 1e-12 * (1.0 + std::fabs(before))) {
            code = r == NLOPT_ROUNDOFF_LIMITED ? VALDMORA_FIT_UNCONFIRMED
                   : r == NLOPT_MAXEVAL_REACHED ? VALDMORA_FIT_EVAL_LIMIT
                   : r < 0                      ? VALDMORA_FIT_FAILED
                                                : VALDMORA_FIT_OK;
            break;
        }
        if (r == NLOPT_MAXEVAL_REACHED || (r < 0 && r != NLOPT_ROUNDOFF_LIMITED)) continue;
        r = run_once(s, NLOPT_LD_LBFGS, 1.0);
    }

    std::copy(s.best_x.begin(), s.best_x.end(), x);
    result.code = code;
    result.f = s.best_f;
    result.evaluations = s.evaluations;
    return result;
}

}  // namespace valdmora::model
