// SPDX-License-Identifier: GPL-3.0-or-later
#include "spd_inverse.h"

#include <Eigen/Cholesky>
#include <Eigen/Dense>

namespace valdmora {

int32_t spd_inverse(int32_t n, double* a, int32_t lda) {
    if (n < 1 || n > lda - 1) return 1;
    Eigen::MatrixXd m(n, n);
    for (int32_t j = 0; j < n; ++j)
        for (int32_t i = 0; i < n; ++i) m(i, j) = a[i + lda * j];
    if (!m.allFinite()) return 2;
    // Cholesky of the lower triangle; it fails exactly when the matrix is not positive definite.
    const Eigen::LLT<Eigen::MatrixXd> llt(m);
    if (llt.info() != Eigen::Success) return 2;
    if (!(m.diagonal().minCoeff() > 0.0)) return 2;
    // Singular up to the differences' noise: a parameter the data do not identify (a constant
    // predictor, or one that copies another). Measured on the correlation form, so that the
    // parameters' units do not count; identified fits stay far above the bound.
    const Eigen::VectorXd unit = m.diagonal().cwiseSqrt().cwiseInverse();
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(unit.asDiagonal() * m * unit.asDiagonal(),
                                                               Eigen::EigenvaluesOnly);
    if (eigen.info() != Eigen::Success) return 2;
    if (!(eigen.eigenvalues().minCoeff() > kSingularBound * eigen.eigenvalues().maxCoeff())) return 3;
    const Eigen::MatrixXd inv = llt.solve(Eigen::MatrixXd::Identity(n, n));
    if (!inv.allFinite()) return 2;
    for (int32_t j = 0; j < n; ++j)
        for (int32_t i = j; i < n; ++i) a[(i + 1) + lda * j] = inv(i, j);
    return 0;
}

}  // namespace valdmora
