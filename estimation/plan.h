// SPDX-License-Identifier: GPL-3.0-or-later
// Planning a survey: for each candidate number of wards, many simulated surveys of that
// size chosen by a sampling design, each estimated as a real one and every interval scored
// against its own target. Numbers only; the batch and the window put them into words.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "click_input.h"
#include "cycle/estimation_state.h"
#include "cycle/interval_kinds.h"
#include "estimate.h"
#include "fast_random.h"
#include "sighting.h"

namespace valdmora {

enum class DesignKind { random, stratified, balanced };

struct DesignTraits {
    DesignKind kind;
    std::string_view key;   // on the command line: "stratified:PREDICTOR"
    std::string_view name;  // in the window and the report
    std::string_view help;
};

inline constexpr std::array<DesignTraits, 3> kDesigns{{
    {DesignKind::random, "random", "simple random sample", "k wards drawn without replacement, each equally likely"},
    {DesignKind::stratified, "stratified", "stratified by a predictor",
     "equal-sized strata by the predictor's quantiles, each given its share of the k wards"},
    {DesignKind::balanced, "balanced", "balanced (cube method)",
     "a sample whose predictor means match the town's, every ward with the same chance k/N"},
}};

inline constexpr const DesignTraits& design_traits(DesignKind k) { return kDesigns[static_cast<std::size_t>(k)]; }

// Strata when none is said.
constexpr int kDefaultStrata = 4;

struct SampleDesign {
    DesignKind kind = DesignKind::random;
    int predictor = 0;  // stratified: 1..n_pred
    int strata = kDefaultStrata;
};

// The town: every ward of the data, surveyed ones first, with its predictor values.
struct Town {
    std::vector<std::string> names;
    int n_pred = 0;
    std::vector<std::array<double, kMaxPredictors>> x;

    std::size_t size() const { return names.size(); }
};

Town town_of(const EstimationState& s);

// Why k wards cannot be chosen by the design from the town, or "".
std::string design_problem(const Town& town, const SampleDesign& design, long k);

// One sample of k wards, ascending indices into the town. Wards are chosen only by the
// design and the draws of random, so a seed gives the same sample on any machine.
std::vector<std::size_t> choose_wards(const Town& town, const SampleDesign& design, long k, FastRandom& random);

// Each ward's chance of being among the k chosen.
std::vector<double> selection_probabilities(const Town& town, const SampleDesign& design, long k);

// Candidate numbers of wards from a list "20,40,60" or a range "20:120:20" (from, to,
// step); a UserError says what is wrong.
std::vector<long> survey_list(const std::string& text);

struct PlanRequest {
    // The fit of each simulated survey: distribution, free parameters, profile, bootstrap.
    // Its start values are replaced by the truth.
    EstimateRequest estimate;
    BoxValues truth{};            // the values every ward's count is drawn from
    std::vector<long> surveys;    // the candidate numbers of wards
    int reps = 200;
    uint64_t seed = 1;
    SampleDesign design;
    std::optional<double> precision;  // the relative half-width to reach, in (0, 1)
    IntervalKind target_kind = IntervalKind::wald;
    // With sightings, each survey's marked dogs seen are drawn too (Binomial(M, p) a count,
    // p the input's proportion taken as true; a study's proportion is used as given), and
    // the dogs present's limits are scored against the town's dogs over p.
    std::optional<SightingInput> sighting;
};

constexpr int kMinPlanReps = 10;

// One kind of interval over the replicates of one k.
struct KindScore {
    IntervalKind kind;
    // Half-width over the town's estimated total (the dogs counted plus the estimated
    // unsurveyed total), median over the replicates whose limits exist.
    std::optional<double> relative_half_width;
    std::optional<double> coverage;  // share of the fitted replicates holding the target
    int scored = 0;                  // fitted replicates
    int with_limits = 0;             // of those, replicates whose limits exist
};

struct PlanRow {
    long surveys = 0;
    int reps = 0;
    int failed = 0;  // replicates whose fit failed or could not be made
    // The kinds the estimates gave, in the kinds' table's order.
    std::vector<KindScore> kinds;
    // Root mean square error of the town's estimated total over the mean drawn total.
    std::optional<double> relative_rmse;
    // With sightings: the dogs present's kinds, half-widths over their estimate.
    std::vector<KindScore> present;

    const KindScore* kind(IntervalKind k) const {
        for (const KindScore& s : kinds)
            if (s.kind == k) return &s;
        return nullptr;
    }
};

struct PlanResult {
    std::vector<PlanRow> rows;  // one per k, in the request's order
    std::optional<long> target_surveys;
};

// Why the request cannot be planned on this town, or "": each k at least the free
// parameters + 2 and at most the town's wards, at least kMinPlanReps replicates, a
// precision in (0, 1), a design the town and each k allow.
std::string plan_request_problem(const PlanRequest& q, const Town& town);

// The values a plan draws from: the model of the request fitted to the data's surveyed
// wards (a pilot), or with no ward surveyed the request's start values. Raises a UserError
// when the pilot cannot be fitted.
BoxValues plan_truth(const EstimateRequest& request, const EstimationState& data, const ClickServices& services);

// Runs the plan k by k on both cores. row_done is called as each k finishes; a Cancel
// raises Cancelled after the rows finished so far were handed on. A replicate whose fit
// fails is counted, not fatal. Raises a UserError when the truth cannot be drawn from.
PlanResult run_plan(const PlanRequest& q, const EstimationState& data, const ClickServices& services,
                    const std::function<void(const PlanRow&)>& row_done = {});

// The smallest k among the rows whose median relative half-width of the kind reaches the
// precision.
std::optional<long> surveys_reaching(const std::vector<PlanRow>& rows, IntervalKind kind, double precision);

}  // namespace valdmora
