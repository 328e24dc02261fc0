#include "covariance.h"

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
        c.problem = "the likelihood has no second derivatives at the estimates";
        return c;
    }
    // the layout of the inverse: the matrix in rows 2..n+1, leading dimension 7
    std::array<double, 7 * 6> info{};
    auto at = [&](int i, int j) -> double& { return info[static_cast<std::size_t>((i - 1) + 7 * (j - 1))]; };
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) at(i, j) = h[static_cast<std::size_t>((i - 1) + n * (j - 1))];

    if (spd_inverse(n, info.data(), 7) != 0) {
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

}  // namespace valdmora
