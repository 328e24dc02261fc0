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
// Runs after the first that may still find a lower value before we give up confirming.
constexpr int kMaxRestarts = 4;
// The trust region ends at this fraction of each variable's initial step.
constexpr double kRelativeRhoEnd = 1e-5;
// A confirming restart starts from this fraction of the first run's steps.
constexpr double kRestartStep = 0.0001;

struct Search {
    int32_t n_all;
    std::vector<int32_t> active;  // variables with room to move (lower < upper)
    std::vector<double> point;    // full point handed to the objective
    const double* lower;
    const double* upper;
    Objective objective;
    void* context;
    double best_f;
    std::vector<double> best_x;
    double penalty;  // stands in for an infinite or NaN value
    long evaluations = 0;
};

double nlopt_objective(unsigned, const double* x, double*, void* data) {
    auto* s = static_cast<Search*>(data);
    // BOBYQA may step a hair outside the bounds: evaluate the clipped point instead.
    for (std::size_t i = 0; i < s->active.size(); ++i) {
        const int32_t k = s->active[i];
        s->point[k] = std::clamp(x[i], s->lower[k], s->upper[k]);
    }
    const double f = s->objective(s->n_all, s->point.data(), s->context);
    ++s->evaluations;
    if (!std::isfinite(f)) return s->penalty;
    if (f < s->best_f) {
        s->best_f = f;
        s->best_x = s->point;
    }
    return f;
}

// One BOBYQA run from the best point so far; the stopping tolerance comes from the
// first run's steps, so a restart with smaller steps ends at the same resolution.
nlopt_result run_once(Search& s, const std::vector<double>& lo, const std::vector<double>& hi,
                      const std::vector<double>& step, const std::vector<double>& first_step) {
    const auto m = static_cast<unsigned>(s.active.size());
    nlopt_opt opt = nlopt_create(NLOPT_LN_BOBYQA, m);
    if (!opt) return NLOPT_OUT_OF_MEMORY;
    std::vector<double> x(m), tol(m);
    for (unsigned i = 0; i < m; ++i) {
        x[i] = s.best_x[s.active[i]];
        tol[i] = first_step[i] * kRelativeRhoEnd;
    }
    nlopt_result r = nlopt_set_lower_bounds(opt, lo.data());
    if (r > 0) r = nlopt_set_upper_bounds(opt, hi.data());
    if (r > 0) r = nlopt_set_min_objective(opt, nlopt_objective, &s);
    if (r > 0) r = nlopt_set_initial_step(opt, step.data());
    if (r > 0) r = nlopt_set_xtol_abs(opt, tol.data());
    if (r > 0) r = nlopt_set_maxeval(opt, static_cast<int>(std::max(1L, kMaxEvaluations - s.evaluations)));
    double f = 0.0;
    if (r > 0) r = nlopt_optimize(opt, x.data(), &f);
    nlopt_destroy(opt);
    return r;
}

}  // namespace

MinimizeResult minimize(int32_t n, const double* lower, const double* upper, double* x,
                        const double* step, Objective objective, void* context) {
    MinimizeResult result;
    Search s{n, {}, std::vector<double>(x, x + n), lower, upper, objective, context, 0.0, {}, 0.0};
    std::vector<double> lo, hi, st;
    for (int32_t i = 0; i < n; ++i) {
        s.point[i] = std::clamp(x[i], lower[i], upper[i]);
        if (lower[i] < upper[i]) {
            s.active.push_back(i);
            lo.push_back(lower[i]);
            hi.push_back(upper[i]);
            double d = std::isfinite(step[i]) && step[i] > 0.0 ? step[i] : 1.0;
            if (std::isfinite(upper[i] - lower[i])) d = std::min(d, 0.25 * (upper[i] - lower[i]));
            st.push_back(d);
        }
    }

    const double f0 = objective(n, s.point.data(), context);
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

    nlopt_result r = run_once(s, lo, hi, st, st);
    std::vector<double> restart_step = st;
    for (double& d : restart_step) d *= kRestartStep;
    int32_t code = VALDMORA_FIT_UNCONFIRMED;
    for (int restart = 0; restart < kMaxRestarts; ++restart) {
        if (r == NLOPT_MAXEVAL_REACHED) {
            code = VALDMORA_FIT_EVAL_LIMIT;
            break;
        }
        if (r < 0 && r != NLOPT_ROUNDOFF_LIMITED) {
            code = VALDMORA_FIT_FAILED;
            break;
        }
        // A premature stop shows as a restart that still finds a lower value.
        const double before = s.best_f;
        r = run_once(s, lo, hi, restart_step, st);
        if (s.best_f >= before - 1e-12 * (1.0 + std::fabs(before))) {
            code = r == NLOPT_ROUNDOFF_LIMITED ? VALDMORA_FIT_UNCONFIRMED
                   : r == NLOPT_MAXEVAL_REACHED ? VALDMORA_FIT_EVAL_LIMIT
                   : r < 0                      ? VALDMORA_FIT_FAILED
                                                : VALDMORA_FIT_OK;
            break;
        }
    }

    std::copy(s.best_x.begin(), s.best_x.end(), x);
    result.code = code;
    result.f = s.best_f;
    result.evaluations = s.evaluations;
    return result;
}

}  // namespace valdmora::model
