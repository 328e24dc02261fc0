// Bound-constrained minimisation from function values only, over NLopt's BOBYQA.
#pragma once

#include <cstdint>

namespace valdmora::model {

using Objective = double (*)(int32_t n, const double* x, void* context);

struct MinimizeResult {
    int32_t code = 0;  // failure code as documented in modellib.h
    double f = 0.0;
    long evaluations = 0;
};

// Minimises objective over x[0..n) within lower[i] <= x[i] <= upper[i] (infinite bounds
// allowed), starting from x and with per-variable initial steps. On return x holds the
// best point seen (inside the bounds) and the result its value. Never throws.
MinimizeResult minimize(int32_t n, const double* lower, const double* upper, double* x,
                        const double* step, Objective objective, void* context);

}  // namespace valdmora::model
