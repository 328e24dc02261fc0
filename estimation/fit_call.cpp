// SPDX-License-Identifier: GPL-3.0-or-later
#include "fit_call.h"

#include <Eigen/Dense>
#include <cmath>

namespace valdmora {

valdmora_model FitCall::model(const std::vector<double>& value, const std::vector<double>& scale,
                              double fixed_total) const {
    valdmora_model m{};
    m.nobs = static_cast<int64_t>(data_.y.size());
    m.np = data_.np;
    m.dist = distribution(data_.dist).code;
    m.y = data_.y.data();
    m.x = data_.x.data();
    m.x_sum = data_.x_sum.data();
    m.wards = data_.wards;
    m.value = value.data();
    m.scale = scale.data();
    m.fixed_total = fixed_total;
    return m;
}

FitOutcome FitCall::fit(const Parameters& p, const std::vector<int32_t>& free, double fixed_total) const {
    return run(library_.fit, p, free, fixed_total);
}

FitOutcome FitCall::search(const Parameters& p, const std::vector<int32_t>& free, double fixed_total) const {
    return run(library_.search ? library_.search : library_.fit, p, free, fixed_total);
}

FitOutcome FitCall::run(FitEntry entry, const Parameters& p, const std::vector<int32_t>& free,
                        double fixed_total) const {
    FitOutcome out;
    out.value = p.value;
    const auto n = static_cast<int32_t>(free.size());
    std::vector<double> x(free.size()), lower(free.size()), upper(free.size());
    for (std::size_t i = 0; i < free.size(); ++i) {
        const auto k = static_cast<std::size_t>(free[i] - 1);
        x[i] = p.scale[k] * p.value[k];
        lower[i] = p.scale[k] * p.lower[k];
        upper[i] = p.upper[k] * p.scale[k];
    }
    const valdmora_model m = model(p.value, p.scale, fixed_total);
    int64_t evaluations = 0;
    out.code = entry(&m, n, free.data(), lower.data(), upper.data(), x.data(), &out.objective, &evaluations);
    out.evaluations = static_cast<long>(evaluations);
    out.finite = std::isfinite(out.objective);
    for (std::size_t i = 0; i < free.size(); ++i) {
        const auto k = static_cast<std::size_t>(free[i] - 1);
        out.value[k] = x[i] / p.scale[k];
        out.finite = out.finite && std::isfinite(x[i]);
    }
    return out;
}

double FitCall::objective(const std::vector<double>& value, const std::vector<double>& scale,
                          double fixed_total) const {
    const valdmora_model m = model(value, scale, fixed_total);
    return library_.objective(&m, 0, nullptr, nullptr);
}

std::vector<double> FitCall::information(const std::vector<double>& value, const std::vector<int32_t>& free) const {
    const auto n = free.size();
    if (!library_.hessian || n == 0) return {};
    // in the parameters themselves, whatever scale the search used
    const std::vector<double> unit(value.size(), 1.0);
    const valdmora_model m = model(value, unit, 0.0);
    std::vector<double> x(n), h(n * n);
    for (std::size_t i = 0; i < n; ++i) x[i] = value[static_cast<std::size_t>(free[i] - 1)];
    const int32_t code = library_.hessian(&m, static_cast<int32_t>(n), free.data(), x.data(), nullptr, nullptr, h.data());
    if (code != VALDMORA_FIT_OK) return {};
    return h;
}

FitOutcome FitCall::newton(const Parameters& p, const std::vector<int32_t>& free, double fixed_total,
                          double reach) const {
    FitOutcome out;
    out.code = VALDMORA_FIT_FAILED;
    out.value = p.value;
    const auto n = static_cast<Eigen::Index>(free.size());
    if (!library_.hessian || n == 0) return out;
    const std::vector<double> unit(p.value.size(), 1.0);
    std::vector<double> value = p.value;
    auto place = [&](const Eigen::VectorXd& x) {
        for (Eigen::Index i = 0; i < n; ++i) value[static_cast<std::size_t>(free[static_cast<std::size_t>(i)] - 1)] = x[i];
    };
    Eigen::VectorXd x(n), g(n);
    Eigen::MatrixXd h(n, n);
    for (Eigen::Index i = 0; i < n; ++i) x[i] = p.value[static_cast<std::size_t>(free[static_cast<std::size_t>(i)] - 1)];
    place(x);
    double f = objective(value, unit, fixed_total);
    ++out.evaluations;
    if (!std::isfinite(f)) return out;
    for (int iteration = 0; iteration < 30; ++iteration) {
        place(x);
        const valdmora_model m = model(value, unit, fixed_total);
        ++out.evaluations;
        // f is known at x: from the start, or from the line search that chose x
        if (library_.hessian(&m, static_cast<int32_t>(n), free.data(), x.data(), nullptr, g.data(), h.data()) !=
            VALDMORA_FIT_OK)
            return out;
        const Eigen::LDLT<Eigen::MatrixXd> ldlt(h);
        if (ldlt.info() != Eigen::Success || !ldlt.isPositive() || (ldlt.vectorD().array() <= 0.0).any()) return out;
        const Eigen::VectorXd step = -ldlt.solve(g);
        const double decrement = -g.dot(step);  // the predicted fall of f, twice over
        if (!(decrement >= 0.0) || !std::isfinite(decrement)) return out;
        // far from the optimum the quadratic can point into another basin: the search there
        if (iteration == 0 && decrement > reach) return out;
        if (decrement < 1e-10) {
            place(x);
            out.code = VALDMORA_FIT_OK;
            out.objective = f;
            out.value = value;
            out.finite = std::isfinite(f);
            return out;
        }
        // halve the step until f falls as the quadratic promises (Armijo) within the bounds
        double t = 1.0;
        bool moved = false, whole = false;
        for (int halving = 0; halving < 30 && !moved; ++halving, t /= 2.0) {
            const Eigen::VectorXd trial = x + t * step;
            bool inside = true;
            for (Eigen::Index i = 0; i < n; ++i) {
                const auto k = static_cast<std::size_t>(free[static_cast<std::size_t>(i)] - 1);
                inside = inside && trial[i] >= p.lower[k] && trial[i] <= p.upper[k];
            }
            if (!inside) continue;
            place(trial);
            ++out.evaluations;
            const double ft = objective(value, unit, fixed_total);
            if (std::isfinite(ft) && ft <= f - 1e-4 * t * decrement) {
                x = trial;
                f = ft;
                moved = true;
                whole = halving == 0;
            }
        }
        if (!moved) return out;
        // A whole step from a decrement this small leaves about its square: the optimum
        // to far below 1e-10, without one more set of second derivatives to show it.
        if (decrement < 1e-6 && whole) {
            place(x);
            out.code = VALDMORA_FIT_OK;
            out.objective = f;
            out.value = value;
            out.finite = std::isfinite(f);
            return out;
        }
    }
    return out;
}

namespace {

// A step taken from a decrement this small leaves one of about 1e-5 (quadratic convergence
// squares it, times a few hundredths in the surveys tried): the refit within a few
// thousandths of a standard error of its optimum, far inside a bootstrap's Monte Carlo
// error, and one Hessian fewer than going on to 1e-8.
constexpr double kStepsTolerance = 1e-2;

}  // namespace

FitOutcome FitCall::newton_steps(const Parameters& p, const std::vector<int32_t>& free, double reach) const {
    FitOutcome out;
    out.code = VALDMORA_FIT_FAILED;
    out.value = p.value;
    const auto n = static_cast<Eigen::Index>(free.size());
    if (!library_.hessian || n == 0) return out;
    const std::vector<double> unit(p.value.size(), 1.0);
    std::vector<double> value = p.value;
    Eigen::VectorXd x(n), g(n);
    Eigen::MatrixXd h(n, n);
    for (Eigen::Index i = 0; i < n; ++i) x[i] = p.value[static_cast<std::size_t>(free[static_cast<std::size_t>(i)] - 1)];
    double previous = reach;
    for (int iteration = 0; iteration < 12; ++iteration) {
        const valdmora_model m = model(value, unit, 0.0);
        ++out.evaluations;
        if (library_.hessian(&m, static_cast<int32_t>(n), free.data(), x.data(), nullptr, g.data(), h.data()) !=
            VALDMORA_FIT_OK)
            return out;
        const Eigen::LDLT<Eigen::MatrixXd> ldlt(h);
        if (ldlt.info() != Eigen::Success || !ldlt.isPositive() || (ldlt.vectorD().array() <= 0.0).any()) return out;
        const Eigen::VectorXd step = -ldlt.solve(g);
        const double decrement = -g.dot(step);
        // quadratic convergence shrinks it far faster than this; anything slower is not it
        if (!(decrement >= 0.0) || !(decrement <= (iteration == 0 ? reach : previous / 4.0))) return out;
        previous = decrement;
        x += step;
        for (Eigen::Index i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(free[static_cast<std::size_t>(i)] - 1);
            if (!(x[i] >= p.lower[k] && x[i] <= p.upper[k])) return out;
            value[k] = x[i];
        }
        if (decrement < kStepsTolerance) {
            out.code = VALDMORA_FIT_OK;
            out.value = value;
            out.finite = x.allFinite();
            return out;
        }
    }
    return out;
}

}  // namespace valdmora
