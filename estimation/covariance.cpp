// SPDX-License-Identifier: GPL-3.0-or-later
#include "covariance.h"

#include <Eigen/QR>
#include <algorithm>
#include <cmath>

#include "spd_inverse.h"

namespace valdmora {

Covariance covariance(const FitCall& call, const Parameters& estimates, const std::vector<int32_t>& free,
                      const Progress& progress) {
    Covariance c;
    c.value_after = estimates.value;
    const int n = static_cast<int>(free.size());
    progress.check_cancel();
    const std::vector<double> h = call.information(estimates.value, free);
    c.evaluations = 1;
    if (h.empty()) {
        c.matrix = Available<CovarianceMatrix>::why_not("the likelihood has no second derivatives at the estimates");
        return c;
    }
    // the layout of the inverse: the matrix in rows 2..n+1, leading dimension 7
    std::array<double, 7 * 6> info{};
    auto at = [&](int i, int j) -> double& { return info[static_cast<std::size_t>((i - 1) + 7 * (j - 1))]; };
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) at(i, j) = h[static_cast<std::size_t>((i - 1) + n * (j - 1))];

    const int32_t inverse = spd_inverse(n, info.data(), 7);
    if (inverse == 3) {
        c.matrix = Available<CovarianceMatrix>::why_not(
            "the information matrix is singular: the data do not identify every free parameter (a predictor that is "
            "constant, or that copies another)");
        return c;
    }
    if (inverse != 0) {
        c.matrix = Available<CovarianceMatrix>::why_not(
            "the information matrix is not positive definite (the fit may lie on a bound, or the likelihood is flat in "
            "some parameter)");
        return c;
    }
    CovarianceMatrix cov{};
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= i; ++j) {
            const double v = at(i + 1, j);
            const auto a = static_cast<std::size_t>(free[static_cast<std::size_t>(i - 1)] - 1);
            const auto b = static_cast<std::size_t>(free[static_cast<std::size_t>(j - 1)] - 1);
            cov[a][b] = v;
            cov[b][a] = v;
        }
    c.matrix = Available<CovarianceMatrix>::of(cov);
    return c;
}

// The subset's predictors that the surveyed wards identify: each kept when it adds to the
// rank of the constant and the predictors kept before it (a pivoted QR of unit-length
// columns, so that the predictors' units do not count).
std::vector<int> identified_predictors(const EstimationState& s, const std::vector<int>& subset, bool constant) {
    const auto n = static_cast<Eigen::Index>(s.n_surveyed);
    Eigen::MatrixXd design(n, static_cast<Eigen::Index>(subset.size()) + 1);
    design.col(0).setConstant(1.0 / std::sqrt(static_cast<double>(std::max<Eigen::Index>(n, 1))));
    std::vector<int> kept;
    Eigen::Index cols = constant ? 1 : 0;
    auto design_cols = [&](Eigen::Index c) { return design.middleCols(constant ? 0 : 1, c); };
    for (int j : subset) {
        const std::vector<float>& x = s.surveyed_x.row_values(j);
        if (x.size() < static_cast<std::size_t>(n)) break;
        const Eigen::Index at = constant ? cols : cols + 1;
        for (Eigen::Index i = 0; i < n; ++i) design(i, at) = x[static_cast<std::size_t>(i)];
        const double norm = design.col(at).norm();
        if (!(norm > 0.0) || !std::isfinite(norm)) continue;
        design.col(at) /= norm;
        Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(n, cols + 1);
        qr.setThreshold(1e-10);
        qr.compute(design_cols(cols + 1));
        if (qr.rank() == cols + 1) {
            kept.push_back(j);
            ++cols;
        }
    }
    return kept;
}

bool design_identifies(const EstimationState& s, const std::vector<int32_t>& free) {
    const int np = s.n_pred;
    bool constant = false;
    std::vector<int> slopes;
    for (int32_t k : free) {
        if (k == 1) constant = true;
        if (k >= 2 && k <= np + 1) slopes.push_back(k - 1);
    }
    return identified_predictors(s, slopes, constant).size() == slopes.size();
}

}  // namespace valdmora
