// SPDX-License-Identifier: GPL-3.0-or-later
// Built with fast-math so that the loop becomes calls of the C library's vector logarithm;
// nothing else lives in this file, so nothing else is built that way.
#include "vector_log.h"

#include <cmath>

namespace valdmora::model {
namespace {

// clang has no vector logarithm here and treats an unmet simd request as an error
#if !defined(__clang__)
#define VALDMORA_SIMD_LOOP _Pragma("omp simd")
#else
#define VALDMORA_SIMD_LOOP
#endif

void log_array_default(const double* in, double* out, std::size_t n) {
    VALDMORA_SIMD_LOOP
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
// Chosen at run time rather than by target_clones, which needs ifunc: Windows has none.
__attribute__((target("avx2"))) void log_array_avx2(const double* in, double* out, std::size_t n) {
    VALDMORA_SIMD_LOOP
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

bool has_avx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
#endif

}  // namespace

void log_array(const double* in, double* out, std::size_t n) {
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
    if (has_avx2()) return log_array_avx2(in, out, n);
#endif
    log_array_default(in, out, n);
}

}  // namespace valdmora::model
