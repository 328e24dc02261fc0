#include "covariance.h"

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
