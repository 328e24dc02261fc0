// SPDX-License-Identifier: GPL-3.0-or-later
// Bound-constrained minimisation over NLopt: a quasi-Newton search on the objective's
// gradient, confirmed by a derivative-free restart (BOBYQA) from its result.
#pragma once

#include <cstdint>

namespace valdmora::model {

// Returns the value at x; when gradient is not null, also fills gradient[0..n).
using Objective = double (*)(int32_t n, const double* x, double* gradient, void* context);

struct MinimizeResult {
    int32_t code = 0;  // failure code as documented in modellib.h
    double f = 0.0;
    long evaluations = 0;
};

// Minimises objective over x[0..n) within lower[i] <= x[i] <= upper[i] (infinite bounds
// allowed), starting from x; step[i] is the distance over which variable i is expected to
// change the objective noticeably. On return x holds the best point seen (inside the
// bounds) and the result its value. Never throws.
// With confirm false the gradient search alone runs, and a normal stop gives the code
// VALDMORA_FIT_UNCONFIRMED.
MinimizeResult minimize(int32_t n, const double* lower, const double* upper, double* x,
                        const double* step, Objective objective, void* context, bool confirm = true);

}  // namespace valdmora::model
