// SPDX-License-Identifier: GPL-3.0-or-later
// Inverse of a symmetric positive-definite matrix in the layout the covariance step uses.
#pragma once

#include <cstdint>

namespace valdmora {

// a: column after column with leading dimension lda; the n x n matrix stands in rows 1..n
// (both triangles filled). On success the inverse's element (i, j), i >= j, is written to
// row i + 1, column j (counting from 1), and 0 is returned. 1: n outside 1..lda-1;
// 2: the matrix is not positive definite or not finite; 3: it is singular in all but the
// rounding (its smallest eigenvalue, in correlation form, below kSingularBound times the
// largest). On failure the array is unchanged.
int32_t spd_inverse(int32_t n, double* a, int32_t lda);

inline constexpr double kSingularBound = 1e-6;

}  // namespace valdmora
