// SPDX-License-Identifier: GPL-3.0-or-later
// Internal pieces of the model library, shared by its entry points and its tests.
#pragma once

#include <cstdint>

namespace valdmora::model {

constexpr int kMaxRecords = 99;  // column length of the 99-record entries' predictor table
constexpr int kMaxPredictors = 4;
constexpr int kMaxFree = 11;
constexpr int kMaxPositions = kMaxPredictors + 2;
constexpr int kCounterIndex = 999;  // entry 1000, counting from 0

// Counts above this take the gamma-function form: a loop of billions of steps would hold
// the caller for seconds, and the form is the more accurate one there.
constexpr int32_t kLongCount = 1 << 20;

// ln C(a, k) by the defining loop: two logarithms a step (the gamma form above kLongCount).
double rlogcombin_loop(double a, int32_t k);

// ln C(a, k) through ln Gamma; NaN where a factor of the loop would be negative.
double rlogcombin_gamma(double a, int32_t k);

// The same value from running products, folded into a logarithm only when they grow
// large; agrees with the loop to a few ulps of the result's magnitude. Falls back to
// the loop where the products could leave the double range or a factor is not positive.
double rlogcombin_product(double a, int32_t k);

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define VALDMORA_FOUR_LANES 1
using Lanes = double __attribute__((vector_size(32)));
// Whether the machine has AVX2: without it four-wide vectors are emulated and slower than
// a record at a time.
bool four_lanes_available();
// rlogcombin_product of four records at once, a lane each, each lane's value
// rlogcombin_product's to the bit; false (nothing written) where a lane would take
// another path than the chunked products.
__attribute__((target("avx2"))) bool rlogcombin_products4(const double* a, const int32_t* k, double* out);
#else
#define VALDMORA_FOUR_LANES 0
#endif

// Log likelihood over the records; predictor j of record i is x[i + ldx * j]. The caller
// has checked the sizes.
double loglik(int64_t nobs, int32_t np, const int32_t* y, const double* x, int64_t ldx, double b0,
              const double* beta, double e, int32_t dist);

// The model of one evaluation or fit, whatever its size: views of arrays the caller owns.
struct Model {
    int64_t nobs = 0;
    int32_t np = 0;
    int32_t dist = 0;
    const int32_t* y = nullptr;
    const double* x = nullptr;  // predictor j of record i at x[i + ldx * j]
    int64_t ldx = 0;
    const double* x_sum = nullptr;  // predictor sums over the M wards of a fixed total
    double wards = 0.0;             // M
    const double* value = nullptr;  // np + 2 parameter values by position
    const double* scale = nullptr;  // np + 2 scale factors
    double fixed_total = 0.0;

    double predictor(int64_t i, int32_t j) const { return x[i + ldx * j]; }
};

// The model data of one 99-record entry call, unpacked from model_ints / model_reals
// into storage of its own.
struct Unpacked {
    int32_t np = 0;
    int32_t wards = 0;
    int32_t nobs = 0;
    int32_t y[kMaxRecords] = {};
    double x[kMaxRecords * kMaxPredictors] = {};  // column length 99, column after column
    double x_sum[kMaxPredictors] = {};
    int32_t dist = 0;
    double value[kMaxPositions] = {};
    double scale[kMaxPositions] = {};
    double fixed_total = 0.0;

    Model view() const;
};

// Unpacks and checks the tables' sizes; false when they would overrun the tables.
bool unpack(const int32_t* model_ints, const double* model_reals, Unpacked& out);

// The parameters of one evaluation: the values held in the model, the n variables x placed
// at their positions (divided by their scale factors), and the intercept replaced by the
// fixed-total rule when T > 0.
struct Parameters {
    double b0 = 0.0;
    double beta[kMaxPredictors] = {};
    double e = 0.0;
};
Parameters place_parameters(const Model& d, int32_t n, const int32_t* positions, const double* x);

// psi(v) for v >= 32 from its asymptotic series; the terms left off are below 1e-17 of it.
double digamma_large(double v);

// ln Gamma(v), safe to call from several threads at once.
double log_gamma(double v);

// -LOGLIK at the parameters of d with the n variables x placed at their positions
// (divided by their scale factors) and the fixed-total rule applied.
double objective(const Model& d, int32_t n, const int32_t* positions, const double* x);

// The objective, its gradient and its exact Hessian (column after column, n x n) in the n
// variables at x; false where a value is not finite. The caller has checked the model.
bool objective_hessian(const Model& d, int32_t n, const int32_t* positions, const double* x, double* f,
                       double* gradient, double* hessian);

// One fit: the search, then the objective's own value at the point it returns. The codes
// are those of modellib.h; evaluations counts every evaluation, the last one included. The
// caller has checked the model, the positions and the bounds.
int32_t fit(const Model& d, int32_t n, const int32_t* positions, const double* lower, const double* upper,
            double* x, double* f, int64_t* evaluations, bool confirm = true);

// True when every bound is a pair lower <= upper without NaN and every start is finite.
bool bounds_valid(int32_t n, const double* lower, const double* upper, const double* x);

// Adds to the evaluation counter, entry 1000; it wraps rather than overflowing.
void count_evaluations(int32_t* model_ints, int64_t evaluations);

// True when the n free positions lie within 1..np+2.
bool free_positions_valid(int32_t n, const int32_t* positions, int32_t np);

// Whether a distribution code is one the size-free entries take: 1, 2 or 3. (The original
// entries read any other code as the negative binomial, and keep doing so.)
inline bool dist_code_valid(int32_t dist) { return dist >= 1 && dist <= 3; }

// Runs an entry's body; anything it throws (an allocation that fails) becomes the entry's
// documented failure value and never crosses the C interface.
template <class R, class Body>
R guarded(R on_failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_failure;
    }
}

}  // namespace valdmora::model
