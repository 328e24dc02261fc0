// SPDX-License-Identifier: GPL-3.0-or-later
#include "sighting.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "cycle/number_format.h"

namespace valdmora {

namespace {

// The stream of the replicates' sighting draws: beyond any replicate's own stream number.
constexpr uint64_t kSightingStream = 0x5197'0000'0000'0001u;

std::string whole(long v) { return std::to_string(v); }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A draw of the replicate's sighting proportion.
class ProportionDraw {
public:
    explicit ProportionDraw(const SightingProportion& p) : p_(p) {
        if (p.counts > 0) return;
        // a study's proportion: the beta law with its mean and variance
        if (p.variance > 0.0) {
            const double k = p.p * (1.0 - p.p) / p.variance - 1.0;
            a_ = p.p * k;
            b_ = (1.0 - p.p) * k;
            usable_ = a_ > 0.0 && b_ > 0.0 && std::isfinite(a_) && std::isfinite(b_);
        }
    }
    bool usable() const { return usable_; }
    double operator()(FastRandom& random) const {
        if (p_.counts > 0) {
            const long trials = p_.counts * p_.marked;
            return static_cast<double>(draw_binomial(trials, p_.p, random)) / static_cast<double>(trials);
        }
        if (a_ == 0.0) return p_.p;  // a proportion known exactly
        const double x = random.gamma(a_), y = random.gamma(b_);
        return x / (x + y);
    }

private:
    SightingProportion p_;
    double a_ = 0.0, b_ = 0.0;
    bool usable_ = true;
};

}  // namespace

double SightingProportion::se() const { return std::sqrt(variance); }

std::string sighting_problem(const SightingInput& in) {
    if (const auto* c = std::get_if<SightingCounts>(&in)) {
        if (c->marked < 1)
            return "the number of marked dogs present is " + whole(c->marked) + "; it must be at least 1";
        if (c->seen.empty()) return "no count of marked dogs seen is given; give at least one after the marked dogs";
        bool any = false;
        for (std::size_t i = 0; i < c->seen.size(); ++i) {
            const long r = c->seen[i];
            const std::string which = "count " + whole(static_cast<long>(i + 1)) + " saw " + whole(r) + " marked dogs";
            if (r < 0) return which + ", which is below 0";
            if (r > c->marked) return which + ", more than the " + whole(c->marked) + " marked dogs present";
            any = any || r > 0;
        }
        if (!any) return "no count saw a marked dog: the sighting proportion would be 0 and the dogs present unbounded";
        if (static_cast<double>(c->marked) * static_cast<double>(c->seen.size()) > 1e15)
            return "the marked dogs present times the counts is too large to work with";
        return {};
    }
    const SightingShare& s = std::get<SightingShare>(in);
    if (!(s.proportion > 0.0 && s.proportion <= 1.0))
        return "the sighting proportion " + shortest_number(s.proportion) + " is outside (0, 1]";
    if (!(s.se >= 0.0) || !std::isfinite(s.se))
        return "the standard error of the sighting proportion " + shortest_number(s.se) + " is negative or not a number";
    return {};
}

ParsedSighting parse_sighting_counts(std::string_view text) {
    ParsedSighting out;
    std::vector<long> values;
    std::size_t start = 0;
    for (int field = 1;; ++field) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = trimmed(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        long v = 0;
        const char* first = item.data();
        const char* last = item.data() + item.size();
        const auto [end, ec] = std::from_chars(first, last, v);
        if (item.empty() || ec != std::errc() || end != last) {
            const std::string what = field == 1 ? "the marked dogs present" : "the marked dogs seen in count " + whole(field - 1);
            out.problem = item.empty() ? what + " is missing"
                                       : what + ", \"" + std::string(item) + "\", is not a whole number";
            return out;
        }
        values.push_back(v);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    SightingCounts c;
    c.marked = values.front();
    c.seen.assign(values.begin() + 1, values.end());
    out.counts = std::move(c);
    return out;
}

SightingProportion sighting_proportion(const SightingInput& in) {
    SightingProportion out;
    if (const auto* c = std::get_if<SightingCounts>(&in)) {
        double seen = 0.0;
        for (long r : c->seen) seen += static_cast<double>(r);
        out.counts = static_cast<long>(c->seen.size());
        out.marked = c->marked;
        const double trials = static_cast<double>(out.counts) * static_cast<double>(out.marked);
        out.p = seen / trials;
        out.variance = out.p * (1.0 - out.p) / trials;
        return out;
    }
    const SightingShare& s = std::get<SightingShare>(in);
    out.p = s.proportion;
    out.variance = s.se * s.se;
    return out;
}

long draw_binomial(long n, double p, FastRandom& random) {
    if (n <= 0 || !(p > 0.0)) return 0;
    if (p >= 1.0) return n;
    const double nd = static_cast<double>(n);
    const long mode = std::min(n, static_cast<long>(std::floor((nd + 1.0) * p)));
    const double odds = p / (1.0 - p);
    auto log_pmf = [&](long k) {
        const double kd = static_cast<double>(k);
        return FastRandom::log_factorial(nd) - FastRandom::log_factorial(kd) - FastRandom::log_factorial(nd - kd) +
               kd * std::log(p) + (nd - kd) * std::log1p(-p);
    };
    const double u = random.uniform();
    const double at_mode = std::exp(log_pmf(mode));
    double cumulative = at_mode;
    if (u <= cumulative) return mode;
    long up = mode, down = mode;
    double p_up = at_mode, p_down = at_mode;
    while (up < n || down > 0) {
        if (up < n) {
            p_up *= static_cast<double>(n - up) / static_cast<double>(up + 1) * odds;
            ++up;
            cumulative += p_up;
            if (u <= cumulative) return up;
        }
        if (down > 0) {
            p_down *= static_cast<double>(down) / static_cast<double>(n - down + 1) / odds;
            --down;
            cumulative += p_down;
            if (u <= cumulative) return down;
        }
    }
    return mode;  // the sums fell short of u by rounding alone
}

Limits dogs_present_delta(double seen, double seen_variance, const SightingProportion& p, double z) {
    const double d = seen / p.p;
    const double log_se = std::sqrt(seen_variance / (seen * seen) + p.variance / (p.p * p.p));
    return {d * std::exp(-z * log_se), d * std::exp(z * log_se)};
}

DogsPresentBootstrap dogs_present_bootstrap(const std::vector<double>& seen, const SightingProportion& p,
                                            uint64_t seed) {
    DogsPresentBootstrap out;
    const ProportionDraw draw(p);
    if (!draw.usable()) {
        out.limits = Available<Limits>::why_not(
            "the standard error of the sighting proportion is too large for a proportion of that size: no beta law "
            "has that mean and spread");
        return out;
    }
    if (seen.size() < 2) {
        out.limits = Available<Limits>::why_not("fewer than two refits gave a usable fit");
        return out;
    }
    // the replicates' sightings are independent of their counts: one stream serves them all
    FastRandom random(seed, kSightingStream);
    std::vector<double> present;
    present.reserve(seen.size());
    for (double t : seen) {
        const double ps = draw(random);
        present.push_back(ps > 0.0 ? t / ps : std::numeric_limits<double>::infinity());
    }
    std::sort(present.begin(), present.end());
    const double lower = quantile(present, 0.025), upper = quantile(present, 0.975);
    if (!std::isfinite(upper) || !std::isfinite(lower)) {
        out.limits = Available<Limits>::why_not(
            "in more than 2.5 % of the replicates no count saw a marked dog, so the upper limit has no bound; mark "
            "more dogs or repeat the counts");
        return out;
    }
    out.limits = Available<Limits>::of({lower, upper});
    out.lower_error = quantile_error(present, 0.025);
    out.upper_error = quantile_error(present, 0.975);
    return out;
}

}  // namespace valdmora
