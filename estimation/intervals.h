// SPDX-License-Identifier: GPL-3.0-or-later
// The intervals of an estimate: a list of {kind, limits or why not}, one entry per kind in
// the order of the kinds' table. Outputs loop over the list; none names a kind's fields.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "cycle/available.h"
#include "cycle/interval_kinds.h"

namespace valdmora {

struct Limits {
    double lower = 0.0, upper = 0.0;
};

// How far another seed could move simulated limits: the replicates behind them and the
// Monte Carlo standard errors of the two limits.
struct MonteCarlo {
    int reps = 0;    // asked for
    int failed = 0;  // left out of the limits
    double lower_error = 0.0, upper_error = 0.0;
};

struct Interval {
    explicit Interval(IntervalKind k, Available<Limits> l = {}) : Interval(k, interval_traits(k).target, std::move(l)) {}
    // A kind found for another target (the dogs present, from a kind's limits of the dogs seen).
    Interval(IntervalKind k, ScoreTarget t, Available<Limits> l) : kind(k), target(t), limits(std::move(l)) {}

    IntervalKind kind;
    ScoreTarget target;  // what the limits cover
    Available<Limits> limits;
    // Computed (or tried) for this estimate, rather than not asked for: a simulation scores
    // only those.
    bool attempted = true;
    std::optional<MonteCarlo> monte_carlo;

    const IntervalTraits& traits() const { return interval_traits(kind); }
};

// The interval of a kind in a list, or null when it was not asked for.
inline const Interval* find_interval(const std::vector<Interval>& list, IntervalKind kind) {
    for (const Interval& i : list)
        if (i.kind == kind) return &i;
    return nullptr;
}

}  // namespace valdmora
