// SPDX-License-Identifier: GPL-3.0-or-later
// An independent, slow search for the optimum of FUNCT1 on packed model data: Nelder-Mead,
// subplex and Nelder-Mead again from a given point, with tight tolerances. Tests and the
// fit sweep judge the library's fits by it.
#pragma once

#include <nlopt.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "packed_model.h"
#include "valdmora/modellib.h"

namespace valdmora::testing {

// FUNCT1 as an NLopt objective over PackedModel data; infinite or NaN values become 1e300.
inline double funct1_objective(unsigned n, const double* x, double*, void* data) {
    auto* p = static_cast<PackedModel*>(data);
    auto nn = static_cast<int32_t>(n);
    double f = 0.0;
    FUNCT1(&nn, const_cast<double*>(x), &f, p->ints.data(), p->reals.data());
    return std::isfinite(f) ? f : 1e300;
}

// The lowest value found from x within bl..bu; p is a copy, so its counter is untouched.
inline double slow_polish(PackedModel p, int32_t n, const double* bl, const double* bu, std::vector<double> x) {
    double f = 0.0;
    for (auto algorithm : {NLOPT_LN_NELDERMEAD, NLOPT_LN_SBPLX, NLOPT_LN_NELDERMEAD}) {
        nlopt_opt o = nlopt_create(algorithm, static_cast<unsigned>(n));
        nlopt_set_lower_bounds(o, bl);
        nlopt_set_upper_bounds(o, bu);
        nlopt_set_min_objective(o, funct1_objective, &p);
        nlopt_set_xtol_rel(o, 1e-13);
        nlopt_set_maxeval(o, 100000);
        nlopt_optimize(o, x.data(), &f);
        nlopt_destroy(o);
    }
    return f;
}

}  // namespace valdmora::testing
