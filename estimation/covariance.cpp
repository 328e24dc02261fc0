#include "covariance.h"

#include <Eigen/QR>
#include <algorithm>
#include <cmath>

#include "parallel.h"
#include "report.h"
#include "spd_inverse.h"

namespace valdmora {

Covariance covariance(const FitCall& call, const Parameters& estimates, const std::vector<int32_t>& free,
                      const Progress& progress) {
    Covariance c;
    const int n = static_cast<int>(free.size());
    // The points of the differences, in the order of the moves.
    std::vector<double> value = estimates.value;
    std::vector<std::vector<double>> points;
    std::vector<std::array<double, 2>> steps;
    points.reserve(static_cast<std::size_t>(4 * n * n));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            const auto a = static_cast<std::size_t>(free[static_cast<std::size_t>(i - 1)] - 1);
            const auto b = static_cast<std::size_t>(free[static_cast<std::size_t>(j - 1)] - 1);
            const double hi = difference_step(value[a]), hj = difference_step(value[b]);
            steps.push_back({hi, hj});
            // moves made in place, so on the diagonal they add up to steps of 2h
            value[a] += hi;
            value[b] += hj;
            points.push_back(value);  // (+,+)
            value[a] -= 2 * hi;
            value[b] -= 2 * hj;
            points.push_back(value);  // (-,-)
            value[b] += 2 * hj;
            points.push_back(value);  // (-,+)
            value[a] += 2 * hi;
            value[b] -= 2 * hj;
            points.push_back(value);  // (+,-)
            value[a] -= hi;
            value[b] += hj;
        }
    c.value_after = value;

    std::vector<double> ll(points.size());
    progress.stage("covariance", static_cast<int>(points.size()));
    parallel_for(static_cast<int>(points.size()), true, [&](int k) {
        progress.check_cancel();
        ll[static_cast<std::size_t>(k)] = -call.objective(points[static_cast<std::size_t>(k)], estimates.scale);
        progress.step();
    });
    c.evaluations = static_cast<long>(points.size());

    std::array<double, 7 * 6> info{};
    auto at = [&](int i, int j) -> double& { return info[static_cast<std::size_t>((i - 1) + 7 * (j - 1))]; };
    std::size_t k = 0;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j, ++k) {
            const double pp = ll[4 * k], mm = ll[4 * k + 1], mp = ll[4 * k + 2], pm = ll[4 * k + 3];
            at(i, j) = -(mm + pp - mp - pm) / (4 * steps[k][0] * steps[k][1]);
        }

    const int32_t inverse = spd_inverse(n, info.data(), 7);
    if (inverse == 3) {
        c.problem = "the information matrix is singular: the data do not identify every free parameter (a predictor "
                    "that is constant, or that copies another)";
        return c;
    }
    if (inverse != 0) {
        c.problem = "the information matrix is not positive definite (the fit may lie on a bound, or the likelihood "
                    "is flat in some parameter)";
        return c;
    }
    c.ok = true;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= i; ++j) {
            const double v = at(i + 1, j);
            const auto a = static_cast<std::size_t>(free[static_cast<std::size_t>(i - 1)] - 1);
            const auto b = static_cast<std::size_t>(free[static_cast<std::size_t>(j - 1)] - 1);
            c.cov[a][b] = v;
            c.cov[b][a] = v;
        }
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
