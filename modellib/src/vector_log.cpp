// Built with fast-math so that the loop becomes calls of the C library's vector logarithm;
// nothing else lives in this file, so nothing else is built that way.
#include "vector_log.h"

#include <cmath>

namespace valdmora::model {

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void log_array(const double* in, double* out, std::size_t n) {
// clang has no vector logarithm here and treats an unmet simd request as an error
#if !defined(__clang__)
#pragma omp simd
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

}  // namespace valdmora::model
