// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in model library for a program under test: every entry is the real library's,
// except that each fit reports VALDMORA_FIT_FAILED with the point it reached, as a fit
// whose minimizer gives up does. Copied beside the program as its model library.
#include <dlfcn.h>

#include <cstdlib>

#include "valdmora/modellib.h"

namespace {

// The real library, opened once by the path it was built at.
void* real(const char* name) {
    static void* lib = dlopen(VALDMORA_REAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) std::abort();
    void* entry = dlsym(lib, name);
    if (!entry) std::abort();
    return entry;
}

using Fit = int32_t (*)(const valdmora_model*, int32_t, const int32_t*, const double*, const double*, double*,
                        double*, int64_t*);
using Objective = double (*)(const valdmora_model*, int32_t, const int32_t*, const double*);
using Hessian = int32_t (*)(const valdmora_model*, int32_t, const int32_t*, const double*, double*, double*, double*);

}  // namespace

extern "C" {

VALDMORA_API int32_t VALDMORA_FIT(const valdmora_model* model, int32_t n, const int32_t* free_pos, const double* lower,
                                  const double* upper, double* x, double* f, int64_t* evaluations) {
    reinterpret_cast<Fit>(real("VALDMORA_FIT"))(model, n, free_pos, lower, upper, x, f, evaluations);
    return VALDMORA_FIT_FAILED;
}

VALDMORA_API int32_t VALDMORA_SEARCH(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                     const double* lower, const double* upper, double* x, double* f,
                                     int64_t* evaluations) {
    reinterpret_cast<Fit>(real("VALDMORA_SEARCH"))(model, n, free_pos, lower, upper, x, f, evaluations);
    return VALDMORA_FIT_FAILED;
}

VALDMORA_API double VALDMORA_OBJECTIVE(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                       const double* x) {
    return reinterpret_cast<Objective>(real("VALDMORA_OBJECTIVE"))(model, n, free_pos, x);
}

VALDMORA_API int32_t VALDMORA_HESSIAN(const valdmora_model* model, int32_t n, const int32_t* free_pos,
                                      const double* x, double* f, double* gradient, double* hessian) {
    return reinterpret_cast<Hessian>(real("VALDMORA_HESSIAN"))(model, n, free_pos, x, f, gradient, hessian);
}

}  // extern "C"
