// SPDX-License-Identifier: GPL-3.0-or-later
// From the dogs seen to the dogs present: a count sees only a share of the dogs on its
// streets. Marked dogs known to be present, and how many of them each count saw, give that
// share, the sighting proportion p; the dogs present are the dogs seen divided by p, with
// p's own uncertainty carried into their limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bootstrap.h"
#include "intervals.h"

namespace valdmora {

// M marked dogs present in the surveyed area, and the marked dogs seen in each count.
struct SightingCounts {
    long marked = 0;
    std::vector<long> seen;
};

// A sighting proportion and its standard error from an earlier study.
struct SightingShare {
    double proportion = 1.0;
    double se = 0.0;
};

using SightingInput = std::variant<SightingCounts, SightingShare>;

// What is wrong with a sighting input, naming the value; empty when it can be used.
std::string sighting_problem(const SightingInput& in);

// "M,R1[,R2...]", blanks allowed about each number, read as whole numbers written with
// digits alone (no locale is involved). Either the counts, or what is wrong, naming the value.
struct ParsedSighting {
    std::optional<SightingCounts> counts;
    std::string problem;
};
ParsedSighting parse_sighting_counts(std::string_view text);

struct SightingProportion {
    double p = 1.0;
    double variance = 0.0;  // binomial p (1 - p) / (c M), or the study's SE squared
    long counts = 0;        // c; 0 for a proportion from a study
    long marked = 0;        // M; 0 for a proportion from a study
    double se() const;
};

// p = (R1 + ... + Rc) / (c M), or the study's proportion. The input must be usable.
SightingProportion sighting_proportion(const SightingInput& in);

// One binomial draw of n trials with success probability p, exact: the distribution's
// cumulative sums taken outward from its mode (about a standard deviation of terms).
long draw_binomial(long n, double p, FastRandom& random);

// Limits of the dogs present, the dogs seen divided by p, by the delta method on the
// log scale: D exp(-/+ z sqrt(var_T / T^2 + var_p / p^2)).
Limits dogs_present_delta(double seen, double seen_variance, const SightingProportion& p, double z = 1.959964);

// The parametric bootstrap's dogs present: each replicate's dogs seen (counted + drawn
// unsurveyed total) over its own sighting proportion, drawn as R* ~ Binomial(c M, p) (for a
// study's proportion, from the beta law of its mean and SE). The replicates' p* come from
// their own stream of the seed, so the limits depend on the seed alone.
struct DogsPresentBootstrap {
    Available<Limits> limits;
    double lower_error = 0.0, upper_error = 0.0;
};
DogsPresentBootstrap dogs_present_bootstrap(const std::vector<double>& seen, const SightingProportion& p,
                                            uint64_t seed);

struct DogsPresent {
    SightingProportion sighting;
    double seen = 0.0;           // T: the dogs counted and the estimated unsurveyed total (or the named ward's)
    double estimate = 0.0;       // D = T / p
    std::vector<Interval> intervals;  // delta, and bootstrap when asked for; target: the dogs present
    std::vector<double> ward;    // each unsurveyed ward's prediction / p, in the wards' order
    bool all_seen = false;       // p = 1: every count saw every marked dog
    bool few_seen = false;       // p < 0.2: few marked dogs seen
    bool few_marked = false;     // c M < 30: too few for the binomial approximation
};

}  // namespace valdmora
