// SPDX-License-Identifier: GPL-3.0-or-later
#include "profile.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>

#include "parallel.h"
#include "report.h"

namespace valdmora {
namespace {

constexpr int kProfilePoints = 21;
// Newton's reach from a start extrapolated along the profile (its first decrement at
// most): wider than from a neighbour's optimum, as the start follows the optima's path
constexpr double kExtrapolatedReach = 100.0;

class Profiler {
public:
    Profiler(const FitCall& call, const ProfileInput& in, const Progress& progress)
        : call_(call), in_(in), progress_(progress) {}

    // The best of fits at total T from each start (every position's values).
    ProfilePoint best_fit(double total, const std::vector<const std::vector<double>*>& starts, long& evaluations,
                          long& fits) const {
        ProfilePoint best;
        best.total = total;
        best.log_likelihood = -std::numeric_limits<double>::infinity();
        for (const std::vector<double>* start : starts) {
            progress_.check_cancel();
            Parameters p = in_.estimates;
            p.value = *start;
            // from a start near its optimum (a neighbour's, the estimates) Newton's method
            // takes a few steps; the search where it cannot
            // (a neighbour's optimum within the quadratic's reach: a first decrement of 4 at most)
            FitOutcome r = call_.newton(p, in_.free, total, 4.0);
            if (!(r.accepted() && r.finite)) {
                const long newton_evaluations = r.evaluations;
                r = call_.search(p, in_.free, total);
                r.evaluations += newton_evaluations;
            }
            evaluations += r.evaluations;
            ++fits;
            const double ll = -r.objective;
            if (r.finite && ll > best.log_likelihood) {
                best.log_likelihood = ll;
                best.code = r.code;
                best.value = r.value;
            }
        }
        if (best.value.empty()) {
            // no start gave a finite value: the point is the first start's, with no value
            best.value = *starts.front();
            best.log_likelihood = std::nan("");
        }
        return best;
    }

    // Newton alone at total T from the optima of a and b extrapolated linearly in the total
    // (from a's when b is a), within the bounds; false, with point untouched, where Newton
    // does not converge there.
    bool extrapolated_fit(double total, const ProfilePoint& a, const ProfilePoint& b, ProfilePoint& point,
                          long& evaluations, long& fits) const {
        if (a.value.empty() || b.value.empty() || !std::isfinite(a.log_likelihood) ||
            !std::isfinite(b.log_likelihood))
            return false;
        progress_.check_cancel();
        Parameters p = in_.estimates;
        const double w = a.total == b.total ? 0.0 : (total - a.total) / (a.total - b.total);
        for (std::size_t k = 0; k < p.value.size(); ++k)
            p.value[k] = std::clamp(a.value[k] + w * (a.value[k] - b.value[k]), p.lower[k], p.upper[k]);
        const FitOutcome r = call_.newton(p, in_.free, total, kExtrapolatedReach);
        evaluations += r.evaluations;
        ++fits;
        if (!(r.accepted() && r.finite)) return false;
        point.total = total;
        point.log_likelihood = -r.objective;
        point.code = r.code;
        point.value = r.value;
        return true;
    }

    // -objective at total T with the slopes and the extra parameter of value.
    double value_at(double total, const std::vector<double>& value) const {
        return -call_.objective(value, in_.estimates.scale, total);
    }

    const ProfileInput& in() const { return in_; }
    const Progress& progress() const { return progress_; }

private:
    const FitCall& call_;
    const ProfileInput& in_;
    const Progress& progress_;
};

// Brent's method on g over [a, b] with g(a) and g(b) of opposite signs; g may throw.
template <class G>
double find_root(G&& g, double a, double b, double ga, double gb, double tolerance) {
    double c = a, gc = ga, d = b - a, e = d;
    for (int iteration = 0; iteration < 100; ++iteration) {
        if ((gb > 0) == (gc > 0)) {
            c = a;
            gc = ga;
            d = e = b - a;
        }
        if (std::fabs(gc) < std::fabs(gb)) {
            a = b, b = c, c = a;
            ga = gb, gb = gc, gc = ga;
        }
        const double tol = 2.0 * std::numeric_limits<double>::epsilon() * std::fabs(b) + 0.5 * tolerance;
        const double m = 0.5 * (c - b);
        if (std::fabs(m) <= tol || gb == 0.0) return b;
        if (std::fabs(e) >= tol && std::fabs(ga) > std::fabs(gb)) {
            double p, q;
            const double s = gb / ga;
            if (a == c) {
                p = 2.0 * m * s;
                q = 1.0 - s;
            } else {
                const double qa = ga / gc, r = gb / gc;
                p = s * (2.0 * m * qa * (qa - r) - (b - a) * (r - 1.0));
                q = (qa - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0) q = -q;
            p = std::fabs(p);
            if (2.0 * p < std::min(3.0 * m * q - std::fabs(tol * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = m;
                e = d;
            }
        } else {
            d = m;
            e = d;
        }
        a = b;
        ga = gb;
        b += std::fabs(d) > tol ? d : (m > 0 ? tol : -tol);
        gb = g(b);
    }
    return b;
}

// One side of the limits: from the chart's points on that side (ordered outward), the
// bracket, extended beyond the chart when needed, then the root.
struct Side {
    bool found = false;
    std::string reason;
    double total = 0.0;
};

Side find_limit(const Profiler& pr, const std::vector<ProfilePoint>& outward, const ProfilePoint& centre,
                double level, bool lower, long& evaluations, long& fits) {
    const ProfileInput& in = pr.in();
    Side side;
    auto g = [&](const ProfilePoint& p) { return p.log_likelihood - level; };
    auto beyond = [&](const ProfilePoint& p) { return lower ? p.total < centre.total : p.total > centre.total; };
    // the innermost point below the level, and the last one above it
    ProfilePoint inside = centre, outside;
    bool bracketed = false;
    for (const ProfilePoint& p : outward) {
        if (!std::isfinite(p.log_likelihood)) break;
        if (!beyond(p)) continue;
        if (g(p) < 0.0) {
            outside = p;
            bracketed = true;
            break;
        }
        inside = p;
    }
    if (!bracketed) {
        // beyond the chart: halve the way to zero below, double the distance above
        const double floor_total = 1e-6 * std::fabs(centre.total);
        const double ceiling = 100.0 * std::max(std::fabs(in.total_hat), std::fabs(in.pop_est));
        double step = std::max(std::fabs(inside.total - centre.total), 0.05 * std::fabs(centre.total));
        for (int k = 0; k < 60 && !bracketed; ++k) {
            const double t = lower ? inside.total * 0.5 : inside.total + step;
            step *= 2.0;
            if (lower && t < floor_total) {
                side.reason = "the profile does not fall 1.92 below its maximum before the total reaches zero";
                return side;
            }
            if (!lower && t > ceiling) {
                side.reason =
                    "the profile does not fall 1.92 below its maximum before the total reaches 100 times the estimate";
                return side;
            }
            ProfilePoint p = pr.best_fit(t, {&inside.value, &in.estimates.value}, evaluations, fits);
            if (!std::isfinite(p.log_likelihood)) {
                side.reason = "a refit beyond the chart's range has no finite likelihood";
                return side;
            }
            if (g(p) < 0.0) {
                outside = std::move(p);
                bracketed = true;
            } else {
                inside = std::move(p);
            }
        }
        if (!bracketed) {
            side.reason = "the profile does not fall 1.92 below its maximum";
            return side;
        }
    }
    // Root finding on refits, each started where the optima at the ends of the bracket
    // point to: between them in proportion to the totals.
    const double a = inside.total, b = outside.total, ga = g(inside), gb = g(outside);
    bool failed_refit = false;
    auto refit_g = [&](double t) {
        std::vector<double> start = inside.value;
        const double w = (t - inside.total) / (outside.total - inside.total);
        if (std::isfinite(w))
            for (std::size_t k = 0; k < start.size(); ++k) start[k] += w * (outside.value[k] - inside.value[k]);
        ProfilePoint p = pr.best_fit(t, {&start}, evaluations, fits);
        const double v = g(p);
        if (!std::isfinite(v)) {
            failed_refit = true;
            return -1.0;
        }
        (v > 0.0 ? inside : outside) = std::move(p);
        return v;
    };
    const double tolerance = 1e-9 * std::max(1.0, std::fabs(centre.total));
    side.total = find_root(refit_g, a, b, ga, gb, tolerance);
    if (failed_refit) {
        // the root found could be the edge of where refits fail rather than a crossing
        side.reason = "a refit inside the chart's range has no finite likelihood";
        return side;
    }
    side.found = true;
    return side;
}

}  // namespace

double fixed_total_at(const ModelData& d, const std::vector<double>& value) {
    double t = d.wards * value[0];
    for (int j = 0; j < d.np; ++j) t += d.x_sum[static_cast<std::size_t>(j)] * value[static_cast<std::size_t>(1 + j)];
    return t;
}

Profile likelihood_profile(const FitCall& call, const ProfileInput& in, const Progress& progress) {
    Profile out;
    const Profiler pr(call, in, progress);
    std::vector<ProfilePoint> points(kProfilePoints);
    std::vector<long> evaluations(2, 0), fits(2, 0);
    progress.stage("likelihood profile", kProfilePoints);

    // The middle point from the estimates; then each side outward, every point from its
    // inner neighbour's optimum, the two sides on the two cores. Further starts (the main
    // estimates among them) only where a point looks suspicious, below.
    points[10] = pr.best_fit(profile_total(in.range_percent, 0, in.pop_est), {&in.estimates.value}, evaluations[0],
                             fits[0]);
    progress.step();
    std::atomic<long> confirm_evaluations{0};
    parallel_for(2, true, [&](int lane) {
        auto& n_evaluations = evaluations[static_cast<std::size_t>(lane)];
        auto& n_fits = fits[static_cast<std::size_t>(lane)];
        const int direction = lane == 0 ? 1 : -1;
        for (int k = 1; k <= 10; ++k) {
            const int index = 10 + direction * k;
            const double total = profile_total(in.range_percent, index - 10, in.pop_est);
            const ProfilePoint& inner = points[static_cast<std::size_t>(index - direction)];
            ProfilePoint& point = points[static_cast<std::size_t>(index)];
            // The optima move along a smooth path: extrapolated from the two inner points (the
            // first step from the centre alone), the start lies close enough for Newton with
            // its line search, even in a large survey, whose steep profile puts a neighbour's
            // optimum beyond the reach of 4 kept for other starts (the search then cost many
            // evaluations). Where Newton fails, the inner point's optimum as before.
            const ProfilePoint& second = points[static_cast<std::size_t>(k >= 2 ? index - 2 * direction : index - direction)];
            if (pr.extrapolated_fit(total, inner, second, point, n_evaluations, n_fits)) {
                progress.step();
                continue;
            }
            point = pr.best_fit(total, {&inner.value}, n_evaluations, n_fits);
            progress.step();
        }
    });
    // A start from a neighbour's optimum is fitted only where that start is already better
    // than the point's optimum: one evaluation decides.
    auto improve_from = [&](ProfilePoint& p, const ProfilePoint& from) {
        if (from.value.empty() || !std::isfinite(from.log_likelihood)) return false;
        ++evaluations[0];
        const double at = pr.value_at(p.total, from.value);
        if (std::isfinite(p.log_likelihood) && !(at > p.log_likelihood + 1e-9 * (1.0 + std::fabs(p.log_likelihood))))
            return false;
        ProfilePoint better = pr.best_fit(p.total, {&from.value}, evaluations[0], fits[0]);
        if (!std::isfinite(better.log_likelihood) ||
            (std::isfinite(p.log_likelihood) && !(better.log_likelihood > p.log_likelihood)))
            return false;
        p = std::move(better);
        return true;
    };
    // each side inward from its outer neighbour, then outward from its inner one
    auto propagate = [&] {
        for (int direction : {1, -1}) {
            for (int k = 9; k >= 0; --k)
                improve_from(points[static_cast<std::size_t>(10 + direction * k)],
                             points[static_cast<std::size_t>(10 + direction * (k + 1))]);
            for (int k = 1; k <= 10; ++k)
                improve_from(points[static_cast<std::size_t>(10 + direction * k)],
                             points[static_cast<std::size_t>(10 + direction * (k - 1))]);
        }
    };
    propagate();
    // A point whose optimum jumps away from its neighbours' (the extra parameter by half as
    // much again or more), dips below both of them, or puts a fifth or more of the surveyed
    // wards' means on the floor, may sit in a worse basin: where many means are on the
    // floor, which wards stand above it, and so the slopes' signs, can change the
    // likelihood a lot. There, and only there, more starts: the neighbours' optima with the
    // extra parameter doubled and halved, the point's own optimum with each slope's sign
    // turned, and all slopes at 0.
    const auto extra = static_cast<std::size_t>(in.estimates.positions() - 1);
    const ModelData& data = call.data();
    auto on_the_floor = [&](const ProfilePoint& p) {
        if (p.value.empty()) return false;
        std::vector<double> v = p.value;
        double rest = p.total;
        for (int j = 0; j < data.np; ++j) rest -= data.x_sum[static_cast<std::size_t>(j)] * v[static_cast<std::size_t>(1 + j)];
        v[0] = rest / data.wards;
        const auto n = static_cast<std::size_t>(data.nobs());
        std::size_t floor = 0;
        for (std::size_t i = 0; i < n; ++i) {
            double h = v[0];
            for (int j = 0; j < data.np; ++j) h += data.x[i + n * static_cast<std::size_t>(j)] * v[static_cast<std::size_t>(1 + j)];
            floor += h < 2.0;
        }
        return floor * 5 >= n && n > 0;
    };
    auto suspicious = [&](std::size_t i) {
        const ProfilePoint& p = points[i];
        if (!std::isfinite(p.log_likelihood)) return true;
        bool dip = true;
        for (std::size_t n : {i - 1, i + 1}) {
            if (n >= points.size()) continue;
            const ProfilePoint& q = points[n];
            if (!std::isfinite(q.log_likelihood)) continue;
            const double ratio = p.value[extra] / q.value[extra];
            if (!(ratio < 1.5 && ratio > 1.0 / 1.5)) return true;
            dip = dip && p.log_likelihood < q.log_likelihood - 1e-9 * (1.0 + std::fabs(q.log_likelihood));
        }
        // the ends have one neighbour, below which they lie by the profile's own fall
        const bool inner = i > 0 && i + 1 < points.size() && i != 10;
        return (dip && inner) || on_the_floor(p);
    };
    std::vector<int32_t> free_slopes;
    for (int32_t k : in.free)
        if (k >= 2 && k <= data.np + 1) free_slopes.push_back(k);
    for (int round = 0; round < 3; ++round) {
        bool changed = false;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (!suspicious(i)) continue;
            ProfilePoint& p = points[i];
            std::vector<std::vector<double>> starts{in.estimates.value};
            for (std::size_t n : {i - 1, i + 1}) {
                if (n >= points.size() || points[n].value.empty() || !std::isfinite(points[n].log_likelihood)) continue;
                for (double factor : {2.0, 0.5}) {
                    std::vector<double> v = points[n].value;
                    v[extra] = std::clamp(v[extra] * factor, in.estimates.lower[extra], in.estimates.upper[extra]);
                    starts.push_back(std::move(v));
                }
            }
            if (!p.value.empty() && !free_slopes.empty()) {
                for (int32_t k : free_slopes) {
                    std::vector<double> v = p.value;
                    v[static_cast<std::size_t>(k - 1)] = -v[static_cast<std::size_t>(k - 1)];
                    starts.push_back(std::move(v));
                }
                std::vector<double> flat = p.value;
                for (int32_t k : free_slopes) flat[static_cast<std::size_t>(k - 1)] = 0.0;
                starts.push_back(std::move(flat));
                // a few seeded random slopes, three times the larger of the estimate's and the
                // point's own in size either way, and the extra parameter anywhere from a tenth
                // to ten times the point's
                std::mt19937_64 engine(static_cast<uint64_t>(i) * 7919u + static_cast<uint64_t>(round));
                std::uniform_real_distribution<double> unit(-1.0, 1.0);
                for (int r = 0; r < 4; ++r) {
                    std::vector<double> v = p.value;
                    for (int32_t k : free_slopes) {
                        const auto u = static_cast<std::size_t>(k - 1);
                        v[u] = 3.0 * std::max(std::fabs(in.estimates.value[u]), std::fabs(p.value[u])) * unit(engine);
                    }
                    v[extra] = std::clamp(p.value[extra] * std::pow(10.0, unit(engine)), in.estimates.lower[extra],
                                          in.estimates.upper[extra]);
                    starts.push_back(std::move(v));
                }
            }
            std::vector<const std::vector<double>*> pointers;
            for (const auto& v : starts) pointers.push_back(&v);
            if (pointers.empty()) continue;
            ProfilePoint better = pr.best_fit(p.total, pointers, evaluations[0], fits[0]);
            if (std::isfinite(better.log_likelihood) &&
                (!std::isfinite(p.log_likelihood) || better.log_likelihood > p.log_likelihood + 1e-9)) {
                p = std::move(better);
                changed = true;
            }
        }
        if (!changed) break;
        propagate();
    }
    // a point whose search stalled is confirmed, as a fit is (the searches skip that)
    parallel_for(kProfilePoints, true, [&](int i) {
        ProfilePoint& p = points[static_cast<std::size_t>(i)];
        if (p.value.empty() || !std::isfinite(p.log_likelihood) || fit_accepted(p.code)) return;
        progress.check_cancel();
        Parameters start = in.estimates;
        start.value = p.value;
        const FitOutcome r = call.fit(start, in.free, p.total);
        confirm_evaluations += r.evaluations;
        if (r.finite && -r.objective >= p.log_likelihood) {
            p.log_likelihood = -r.objective;
            p.value = r.value;
            p.code = r.code;
        }
    });
    out.evaluations = evaluations[0] + evaluations[1] + confirm_evaluations;
    out.fits = fits[0] + fits[1];
    double best = in.max_ll;
    const ProfilePoint* highest = nullptr;  // a chart point above the main fit, if any
    for (const ProfilePoint& p : points) {
        if (in.constant_free && std::isfinite(p.log_likelihood) && p.log_likelihood > in.max_ll + 1e-6)
            out.higher_point = true;
        if (std::isfinite(p.log_likelihood) && p.log_likelihood > best) {
            best = p.log_likelihood;
            highest = &p;
        }
    }
    out.points = points;

    ProfileLimits& lim = out.limits;
    if (!in.limits) return out;
    if (!in.constant_free) {
        lim.limits = Available<Limits>::why_not(
            "the constant is not free, so holding the total fixed would free the intercept and change the model");
        return out;
    }
    if (call.data().wards <= 0.0) {
        lim.limits = Available<Limits>::why_not("there is no unsurveyed ward");
        return out;
    }
    lim.level = best - kProfileDrop;
    // the centre: the estimates themselves at their own total, or the chart's point above
    // them where the main fit fell short of the maximum (the limits bracket the maximum)
    ProfilePoint centre;
    centre.total = in.total_hat;
    centre.value = in.estimates.value;
    centre.log_likelihood = best;
    if (highest) centre = *highest;
    std::vector<ProfilePoint> below, above;
    for (int k = 10; k >= 0; --k) below.push_back(points[static_cast<std::size_t>(k)]);
    for (int k = 10; k <= 20; ++k) above.push_back(points[static_cast<std::size_t>(k)]);
    progress.stage("profile-likelihood limits", 2);
    Side sides[2];
    std::vector<long> limit_evaluations(2, 0), limit_fits(2, 0);
    parallel_for(2, true, [&](int lane) {
        sides[lane] = find_limit(pr, lane == 0 ? below : above, centre, lim.level, lane == 0,
                                 limit_evaluations[static_cast<std::size_t>(lane)],
                                 limit_fits[static_cast<std::size_t>(lane)]);
        progress.step();
    });
    out.limit_evaluations = limit_evaluations[0] + limit_evaluations[1];
    lim.fits = limit_fits[0] + limit_fits[1];
    if (!sides[0].found || !sides[1].found) {
        lim.limits = Available<Limits>::why_not(!sides[0].found ? "below the estimate " + sides[0].reason
                                                                : "above the estimate " + sides[1].reason);
        return out;
    }
    lim.limits = Available<Limits>::of({sides[0].total, sides[1].total});
    return out;
}

}  // namespace valdmora
