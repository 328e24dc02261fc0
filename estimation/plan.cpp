// SPDX-License-Identifier: GPL-3.0-or-later
#include "plan.h"

#include <Eigen/Dense>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

#include "bootstrap.h"
#include "cycle/count_file.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "cycle/user_error.h"
#include "model_draw.h"
#include "parallel.h"
#include "report.h"
#include "simulation.h"
#include "valdmora/floored_mean.h"

namespace valdmora {

Town town_of(const EstimationState& s) {
    Town t;
    t.n_pred = s.n_pred;
    const auto n = static_cast<std::size_t>(s.n_surveyed) + static_cast<std::size_t>(s.n_unsurveyed);
    t.names.reserve(n);
    t.x.reserve(n);
    for (long i = 1; i <= s.n_surveyed; ++i) {
        t.names.push_back(s.surveyed_name(i));
        std::array<double, kMaxPredictors> x{};
        for (int j = 1; j <= s.n_pred; ++j) x[static_cast<std::size_t>(j - 1)] = s.surveyed_x(j, i);
        t.x.push_back(x);
    }
    for (long i = 1; i <= s.n_unsurveyed; ++i) {
        t.names.push_back(s.unsurveyed_name(i));
        std::array<double, kMaxPredictors> x{};
        for (int j = 1; j <= s.n_pred; ++j) x[static_cast<std::size_t>(j - 1)] = s.unsurveyed_x(j, i);
        t.x.push_back(x);
    }
    return t;
}

namespace {

// A whole number in [0, n).
std::size_t below(std::size_t n, FastRandom& random) {
    return std::min(n - 1, static_cast<std::size_t>(random.uniform() * static_cast<double>(n)));
}

// k of the given wards, by a partial Fisher-Yates shuffle.
void simple_sample(std::vector<std::size_t> pool, long k, FastRandom& random, std::vector<std::size_t>& out) {
    const auto take = static_cast<std::size_t>(k);
    for (std::size_t i = 0; i < take; ++i) {
        std::swap(pool[i], pool[i + below(pool.size() - i, random)]);
        out.push_back(pool[i]);
    }
}

// The strata: the wards ordered by the predictor (ties by their place in the file), cut
// into equal runs.
std::vector<std::vector<std::size_t>> strata_of(const Town& town, const SampleDesign& d) {
    std::vector<std::size_t> order(town.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto j = static_cast<std::size_t>(d.predictor - 1);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return town.x[a][j] < town.x[b][j]; });
    std::vector<std::vector<std::size_t>> strata(static_cast<std::size_t>(d.strata));
    const std::size_t n = order.size(), h_count = strata.size();
    for (std::size_t h = 0; h < h_count; ++h)
        strata[h].assign(order.begin() + static_cast<std::ptrdiff_t>(h * n / h_count),
                         order.begin() + static_cast<std::ptrdiff_t>((h + 1) * n / h_count));
    return strata;
}

// Proportional allocation, rounded by the largest remainders (the first stratum wins a tie),
// so the shares add up to k.
std::vector<long> allocation(const std::vector<std::vector<std::size_t>>& strata, long k, std::size_t n) {
    std::vector<long> share(strata.size());
    std::vector<std::pair<double, std::size_t>> remainder;
    long given = 0;
    for (std::size_t h = 0; h < strata.size(); ++h) {
        const double exact = static_cast<double>(k) * static_cast<double>(strata[h].size()) / static_cast<double>(n);
        share[h] = static_cast<long>(std::floor(exact));
        given += share[h];
        remainder.emplace_back(exact - std::floor(exact), h);
    }
    std::stable_sort(remainder.begin(), remainder.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t i = 0; given < k && i < remainder.size(); ++i, ++given) ++share[remainder[i].second];
    return share;
}

// Balanced sampling by the cube method (Deville and Tille), fast flight phase (Chauvet and
// Tille): every ward keeps the chance k/N, and the sample is balanced on its size and on
// each predictor's total, so its predictor means match the town's as nearly as whole wards
// allow. Chosen over the best of many random draws because its selection probabilities are
// known exactly (the field team's list states them) and it balances at any N in one pass.
void cube_sample(const Town& town, long k, FastRandom& random, std::vector<std::size_t>& out) {
    const std::size_t n = town.size();
    // the balancing variables: the size, and each predictor that varies, standardised
    std::vector<std::vector<double>> z;
    z.emplace_back(n, 1.0);
    for (int j = 0; j < town.n_pred; ++j) {
        double mean = 0.0, square = 0.0;
        for (const auto& x : town.x) mean += x[static_cast<std::size_t>(j)];
        mean /= static_cast<double>(n);
        for (const auto& x : town.x) square += (x[static_cast<std::size_t>(j)] - mean) * (x[static_cast<std::size_t>(j)] - mean);
        const double sd = std::sqrt(square / static_cast<double>(n));
        if (!(sd > 0.0)) continue;
        std::vector<double> column(n);
        for (std::size_t i = 0; i < n; ++i) column[i] = (town.x[i][static_cast<std::size_t>(j)] - mean) / sd;
        z.push_back(std::move(column));
    }
    std::vector<double> pi(n, static_cast<double>(k) / static_cast<double>(n));
    constexpr double kDecided = 1e-9;
    auto undecided = [&](std::size_t i) { return pi[i] > kDecided && pi[i] < 1.0 - kDecided; };
    // the wards enter the flight in a random order, so that no ward's place in the file
    // decides its fate
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[below(i, random)]);

    // Flight on the first c variables; when fewer than c + 1 wards remain undecided the last
    // variable is dropped (the landing), the size being kept to the end.
    for (std::size_t c = z.size(); c >= 1; --c) {
        std::size_t next = 0;
        std::vector<std::size_t> group;
        for (;;) {
            group.erase(std::remove_if(group.begin(), group.end(), [&](std::size_t i) { return !undecided(i); }),
                        group.end());
            while (group.size() < c + 1 && next < n) {
                const std::size_t i = order[next++];
                if (undecided(i)) group.push_back(i);
            }
            if (group.size() < c + 1) break;
            Eigen::MatrixXd a(static_cast<Eigen::Index>(c), static_cast<Eigen::Index>(c + 1));
            for (std::size_t r = 0; r < c; ++r)
                for (std::size_t g = 0; g <= c; ++g)
                    a(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(g)) = z[r][group[g]];
            // a direction that keeps every balancing total
            const Eigen::MatrixXd kernel = Eigen::FullPivLU<Eigen::MatrixXd>(a).kernel();
            const Eigen::VectorXd u = kernel.col(0);
            double up = std::numeric_limits<double>::infinity(), down = up;
            for (std::size_t g = 0; g <= c; ++g) {
                const double ug = u(static_cast<Eigen::Index>(g)), p = pi[group[g]];
                if (ug > 0.0) {
                    up = std::min(up, (1.0 - p) / ug);
                    down = std::min(down, p / ug);
                } else if (ug < 0.0) {
                    up = std::min(up, p / -ug);
                    down = std::min(down, (1.0 - p) / -ug);
                }
            }
            if (!std::isfinite(up) || !std::isfinite(down)) break;
            // a martingale step: each ward's chance stays its chance on average
            const double step = random.uniform() < down / (up + down) ? up : -down;
            for (std::size_t g = 0; g <= c; ++g) {
                double& p = pi[group[g]];
                p += step * u(static_cast<Eigen::Index>(g));
                if (p < kDecided) p = 0.0;
                if (p > 1.0 - kDecided) p = 1.0;
            }
        }
        if (c == 1) break;
    }
    // rounding can leave one ward a hair from 0 or 1; the size decides it
    long chosen = 0;
    for (double p : pi) chosen += p >= 1.0 - kDecided ? 1 : 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (pi[i] >= 1.0 - kDecided)
            out.push_back(i);
        else if (undecided(i) && chosen < k) {
            out.push_back(i);
            ++chosen;
        }
    }
}

}  // namespace

std::string design_problem(const Town& town, const SampleDesign& design, long k) {
    const auto n = static_cast<long>(town.size());
    if (k < 1 || k > n)
        return "cannot choose " + std::to_string(k) + " wards: the data have " + std::to_string(n) + " wards";
    if (design.kind != DesignKind::stratified) return {};
    if (design.predictor < 1 || design.predictor > town.n_pred)
        return "the stratifying predictor " + std::to_string(design.predictor) + " is not one of the data's " +
               std::to_string(town.n_pred);
    if (design.strata < 1) return "there must be at least one stratum";
    if (design.strata > k)
        return std::to_string(design.strata) + " strata need at least one ward each, more than the " +
               std::to_string(k) + " to survey";
    return {};
}

std::vector<std::size_t> choose_wards(const Town& town, const SampleDesign& design, long k, FastRandom& random) {
    if (const std::string problem = design_problem(town, design, k); !problem.empty())
        throw UserError("The sample " + problem + ".", "Plan a survey");
    std::vector<std::size_t> out;
    out.reserve(static_cast<std::size_t>(k));
    switch (design.kind) {
    case DesignKind::random: {
        std::vector<std::size_t> all(town.size());
        std::iota(all.begin(), all.end(), std::size_t{0});
        simple_sample(std::move(all), k, random, out);
        break;
    }
    case DesignKind::stratified: {
        const auto strata = strata_of(town, design);
        const std::vector<long> share = allocation(strata, k, town.size());
        for (std::size_t h = 0; h < strata.size(); ++h) simple_sample(strata[h], share[h], random, out);
        break;
    }
    case DesignKind::balanced:
        cube_sample(town, k, random, out);
        break;
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<double> selection_probabilities(const Town& town, const SampleDesign& design, long k) {
    std::vector<double> p(town.size(), static_cast<double>(k) / static_cast<double>(town.size()));
    if (design.kind == DesignKind::stratified && design_problem(town, design, k).empty()) {
        const auto strata = strata_of(town, design);
        const std::vector<long> share = allocation(strata, k, town.size());
        for (std::size_t h = 0; h < strata.size(); ++h)
            for (std::size_t i : strata[h]) p[i] = static_cast<double>(share[h]) / static_cast<double>(strata[h].size());
    }
    return p;
}

std::vector<long> survey_list(const std::string& text) {
    auto whole = [&](const std::string& item) {
        long v = 0;
        const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), v);
        if (ec != std::errc() || end != item.data() + item.size() || v < 1)
            throw UserError("\"" + printable(item) + "\" in \"" + printable(text) +
                                "\" is not a whole number of wards of at least 1.",
                            "Plan a survey");
        return v;
    };
    std::vector<std::string> parts;
    const char separator = text.find(':') != std::string::npos ? ':' : ',';
    std::size_t from = 0;
    for (std::size_t at = text.find(separator); ; at = text.find(separator, from)) {
        std::string item = text.substr(from, at == std::string::npos ? std::string::npos : at - from);
        // blanks around the numbers are a typist's, not a mistake
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        parts.push_back(item);
        if (at == std::string::npos) break;
        from = at + 1;
    }
    std::vector<long> out;
    if (separator == ':') {
        if (parts.size() != 3)
            throw UserError("\"" + printable(text) + "\" must be a list such as 20,40,60 or a range FROM:TO:STEP.",
                            "Plan a survey");
        const long lo = whole(parts[0]), hi = whole(parts[1]), step = whole(parts[2]);
        if (hi < lo) throw UserError("The range \"" + printable(text) + "\" ends below its start.", "Plan a survey");
        if ((hi - lo) / step >= 1000)
            throw UserError("The range \"" + printable(text) + "\" gives more than 1000 numbers of wards.", "Plan a survey");
        for (long k = lo; k <= hi; k += step) out.push_back(k);
        return out;
    }
    for (const std::string& item : parts) out.push_back(whole(item));
    return out;
}

std::string plan_request_problem(const PlanRequest& q, const Town& town) {
    long free = 1;
    for (int j = 0; j <= std::min(town.n_pred, 4); ++j) free += q.estimate.free[static_cast<std::size_t>(j)] ? 1 : 0;
    if (q.surveys.empty()) return "no number of wards to survey was given";
    for (long k : q.surveys) {
        if (k < free + 2)
            return "surveying " + std::to_string(k) + " wards is too few: the fit of " + std::to_string(free) +
                   " free parameters needs at least " + std::to_string(free + 2) + " wards to plan with";
        if (k > static_cast<long>(town.size()))
            return "surveying " + std::to_string(k) + " wards is more than the " + std::to_string(town.size()) +
                   " wards in the data";
        if (const std::string p = design_problem(town, q.design, k); !p.empty()) return p;
    }
    if (q.reps < kMinPlanReps)
        return std::to_string(q.reps) + " replicates are too few: a plan needs at least " + std::to_string(kMinPlanReps);
    if (q.precision && !(*q.precision > 0.0 && *q.precision < 1.0))
        return "the target precision must lie between 0 and 1 (0.10 for +-10 %)";
    return {};
}

namespace {

// One simulated survey's scores.
struct Replicate {
    bool failed = true;
    double error = 0.0;       // estimated unsurveyed total less the dogs drawn there
    double town_total = 0.0;  // the dogs counted plus those drawn in the unsurveyed wards
    std::array<bool, kIntervalKindCount> attempted{};
    std::array<bool, kIntervalKindCount> outside{};
    std::array<double, kIntervalKindCount> relative_half_width{};  // NaN without limits
    // the dogs present's intervals, when sightings are planned
    std::array<bool, kIntervalKindCount> present_attempted{};
    std::array<bool, kIntervalKindCount> present_outside{};
    std::array<double, kIntervalKindCount> present_half_width{};
};

double linear_predictor(const BoxValues& b, const std::array<double, kMaxPredictors>& x, int n_pred) {
    double h = b[0];
    for (int j = 1; j <= n_pred; ++j) h += b[static_cast<std::size_t>(j)] * x[static_cast<std::size_t>(j - 1)];
    return h;
}

// The draw the exact generator makes: the lognormal held at 1, the others as drawn.
double drawn_count(const ModelDraw& draw, Dist dist, double m, FastRandom& random) {
    const double y = draw(m, random);
    return dist == Dist::lognormal ? std::max(1.0, y) : y;
}

Replicate one_survey(const PlanRequest& q, const EstimationState& data, const Town& town,
                     const std::vector<double>& means, const ClickServices& services, long k, int rep) {
    const uint64_t stream = (static_cast<uint64_t>(k) << 32) | static_cast<uint64_t>(rep);
    FastRandom random(q.seed, stream);
    const std::vector<std::size_t> chosen = choose_wards(town, q.design, k, random);
    std::vector<bool> in_sample(town.size(), false);
    for (std::size_t i : chosen) in_sample[i] = true;

    const Dist dist = q.estimate.dist;
    const double e = q.truth[5];
    const ModelDraw draw(dist, e);
    EstimationState s = data;
    s.err_dist = dist;
    s.data_read = -1;
    const auto n_unsurveyed = static_cast<int32_t>(static_cast<long>(town.size()) - k);
    s.resize_wards(static_cast<int32_t>(k), n_unsurveyed);
    s.unsurveyed_x_sum(0) = n_unsurveyed;
    for (int j = 1; j <= kMaxPredictors; ++j) s.unsurveyed_x_sum(j) = 0.0;
    Replicate r;
    double drawn_unsurveyed = 0.0, expected_unsurveyed = 0.0;
    long si = 0, ui = 0;
    for (std::size_t w = 0; w < town.size(); ++w) {
        const double y = drawn_count(draw, dist, means[w], random);
        if (in_sample[w]) {
            if (!count_can_be_taken(y)) return r;  // a count the fit cannot take: a failed survey
            ++si;
            s.surveyed_name(si) = town.names[w];
            s.surveyed_count(si) = static_cast<float>(y);
            for (int j = 1; j <= town.n_pred; ++j)
                s.surveyed_x(j, si) = static_cast<float>(town.x[w][static_cast<std::size_t>(j - 1)]);
        } else {
            ++ui;
            s.unsurveyed_name(ui) = town.names[w];
            for (int j = 1; j <= town.n_pred; ++j) {
                s.unsurveyed_x(j, ui) = static_cast<float>(town.x[w][static_cast<std::size_t>(j - 1)]);
                s.unsurveyed_x_sum(j) += static_cast<double>(s.unsurveyed_x(j, ui));
            }
            drawn_unsurveyed += y;
            expected_unsurveyed += exact_expected_count(means[w], e, dist);
        }
    }

    EstimateRequest request = q.estimate;
    request.start = q.truth;
    request.ward.clear();
    request.ward_predictions = false;
    request.extra_starts.clear();
    uint64_t mix = q.seed ^ (stream * 0x9E3779B97F4A7C15u);
    request.bootstrap_seed = splitmix64(mix);
    // the sightings this survey's counts would make, from the true proportion
    double true_p = 1.0;
    request.sighting.reset();
    if (q.sighting) {
        true_p = sighting_proportion(*q.sighting).p;
        SightingInput drawn = *q.sighting;
        if (auto* c = std::get_if<SightingCounts>(&drawn))
            for (long& seen : c->seen) seen = draw_binomial(c->marked, true_p, random);
        if (sighting_problem(drawn).empty()) request.sighting = drawn;  // none seen: nothing to correct by
    }
    ClickServices quiet = services;
    quiet.progress = services.progress.silent();
    EstimateResult est;
    try {
        est = run_estimate(request, s, quiet);
    } catch (const UserError&) {
        return r;
    }
    if (!est.fit_ok) return r;
    r.failed = false;
    const double counted = est.counts.counted_total;
    const double town_estimate = counted + est.total.pop_est;
    r.error = est.total.pop_est - drawn_unsurveyed;
    r.town_total = counted + drawn_unsurveyed;
    for (const Interval& iv : est.intervals) {
        if (!iv.attempted) continue;
        const auto u = static_cast<std::size_t>(iv.kind);
        r.attempted[u] = true;
        if (est.no_unsurveyed_ward) {
            // every ward counted: the total is known
            r.relative_half_width[u] = 0.0;
            r.outside[u] = false;
            continue;
        }
        const ScoreTarget target = iv.traits().target;
        const double truth = target == ScoreTarget::dogs_drawn ? drawn_unsurveyed : expected_unsurveyed;
        r.outside[u] = scored_outside(target, iv.limits, truth);
        r.relative_half_width[u] =
            iv.limits ? (iv.limits->upper - iv.limits->lower) / 2.0 / town_estimate : std::nan("");
    }
    if (q.sighting && est.dogs_present) {
        const double present_truth = r.town_total / true_p;
        for (const Interval& iv : est.dogs_present->intervals) {
            const auto u = static_cast<std::size_t>(iv.kind);
            r.present_attempted[u] = true;
            r.present_outside[u] = scored_outside(iv.target, iv.limits, present_truth);
            r.present_half_width[u] = iv.limits ? (iv.limits->upper - iv.limits->lower) / 2.0 / est.dogs_present->estimate
                                                : std::nan("");
        }
    }
    return r;
}

// Each kind's median half-width and coverage over the fitted replicates that tried it; a
// kind no replicate tried is left out.
std::vector<KindScore> kind_scores(const std::vector<Replicate>& reps,
                                   std::array<bool, kIntervalKindCount> Replicate::*attempted,
                                   std::array<bool, kIntervalKindCount> Replicate::*outside,
                                   std::array<double, kIntervalKindCount> Replicate::*half_width) {
    std::vector<KindScore> out;
    for (const IntervalTraits& t : kIntervalKinds) {
        const auto u = static_cast<std::size_t>(t.kind);
        KindScore score{t.kind, std::nullopt, std::nullopt, 0, 0};
        std::vector<double> widths;
        int missed = 0;
        for (const Replicate& r : reps) {
            if (r.failed || !(r.*attempted)[u]) continue;
            ++score.scored;
            missed += (r.*outside)[u] ? 1 : 0;
            if (!std::isnan((r.*half_width)[u])) widths.push_back((r.*half_width)[u]);
        }
        if (score.scored == 0) continue;
        score.with_limits = static_cast<int>(widths.size());
        std::sort(widths.begin(), widths.end());
        if (!widths.empty()) score.relative_half_width = quantile(widths, 0.5);
        score.coverage = coverage_share(missed, score.scored);
        out.push_back(score);
    }
    return out;
}

PlanRow summary(long k, const std::vector<Replicate>& reps) {
    PlanRow row;
    row.surveys = k;
    row.reps = static_cast<int>(reps.size());
    double square = 0.0, town = 0.0;
    int fitted = 0;
    for (const Replicate& r : reps) {
        if (r.failed) {
            ++row.failed;
            continue;
        }
        ++fitted;
        square += r.error * r.error;
        town += r.town_total;
    }
    if (fitted > 0 && town > 0.0)
        row.relative_rmse = std::sqrt(square / fitted) / (town / fitted);
    row.kinds = kind_scores(reps, &Replicate::attempted, &Replicate::outside, &Replicate::relative_half_width);
    row.present =
        kind_scores(reps, &Replicate::present_attempted, &Replicate::present_outside, &Replicate::present_half_width);
    return row;
}

}  // namespace

BoxValues plan_truth(const EstimateRequest& request, const EstimationState& data, const ClickServices& services) {
    if (data.n_surveyed == 0) return request.start;
    EstimateRequest pilot = request;
    pilot.ward.clear();
    pilot.profile = false;
    pilot.ward_predictions = false;
    pilot.bootstrap_reps = 0;
    const EstimateResult fit = run_estimate(pilot, data, services);
    if (!fit.fit_ok)
        throw UserError("The pilot survey could not be fitted (failure code " + std::to_string(fit.fail_code) +
                            "): there is no model to plan from.",
                        "Plan a survey");
    return fit.values;
}

PlanResult run_plan(const PlanRequest& q, const EstimationState& data, const ClickServices& services,
                    const std::function<void(const PlanRow&)>& row_done) {
    const Town town = town_of(data);
    if (const std::string problem = plan_request_problem(q, town); !problem.empty())
        throw UserError("The plan cannot be made: " + problem + ".", "Plan a survey");
    if (!services.library.bound()) throw UserError("The model library is not bound.", "Model library");
    const Dist dist = q.estimate.dist;
    const double e = q.truth[5];
    const NumberFormat fmt{};
    if (const std::string p = extra_parameter_problem(dist, e, Generator::exact, general_number(e, fmt)); !p.empty())
        throw UserError(p, "Plan a survey");
    // every ward's mean, checked once: the truth must be one the generator can draw from
    std::vector<double> means(town.size());
    for (std::size_t w = 0; w < town.size(); ++w) {
        means[w] = floored_mean(linear_predictor(q.truth, town.x[w], town.n_pred));
        if (const std::string p = draw_problem(means[w], e, dist, fmt); !p.empty())
            throw UserError("The values to plan from cannot be simulated from: " + p + ".", "Plan a survey");
    }

    const Progress& progress = services.progress;
    progress.stage("plan", static_cast<int>(q.surveys.size()) * q.reps);
    PlanResult out;
    for (long k : q.surveys) {
        std::vector<Replicate> reps(static_cast<std::size_t>(q.reps));
        parallel_for(q.reps, true, [&](int r) {
            progress.check_cancel();
            reps[static_cast<std::size_t>(r)] = one_survey(q, data, town, means, services, k, r);
            progress.step();
        });
        out.rows.push_back(summary(k, reps));
        if (row_done) row_done(out.rows.back());
    }
    if (q.precision) out.target_surveys = surveys_reaching(out.rows, q.target_kind, *q.precision);
    return out;
}

std::optional<long> surveys_reaching(const std::vector<PlanRow>& rows, IntervalKind kind, double precision) {
    std::optional<long> best;
    for (const PlanRow& row : rows) {
        const KindScore* s = row.kind(kind);
        if (s && s->relative_half_width && *s->relative_half_width <= precision && (!best || row.surveys < *best))
            best = row.surveys;
    }
    return best;
}

}  // namespace valdmora
