// SPDX-License-Identifier: GPL-3.0-or-later
// The kinds of 95 % interval of the total, as a closed set: an enum and one table of what
// each covers and how it is named. Every output (sentences, JSON, results pane, report,
// simulation scores) loops over this table, so a new kind is its computation and one row.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace valdmora {

// What an interval is scored against in a simulation: the dogs drawn (prediction limits)
// or their expected number (confidence limits); or, after the sighting correction, every
// dog present, seen by a count or not.
enum class ScoreTarget { dogs_drawn, expected_number, dogs_present };

struct TargetTraits {
    std::string_view short_name;  // "dogs drawn"
    std::string_view covers;      // the results pane's column
    std::string_view json;        // the JSON's "target"
    std::string_view limits;      // the help's name of such limits
    std::string_view help;        // what they cover, in the help
};

inline constexpr std::array<TargetTraits, 3> kTargets{{
    {"dogs drawn", "the dogs present (prediction)", "prediction interval of the dogs in the unsurveyed wards",
     "Prediction limits", "cover the dogs actually in the unsurveyed wards today"},
    {"expected number", "their expected number (confidence)",
     "confidence interval of the expected number of dogs in the unsurveyed wards", "Confidence limits",
     "cover the expected number of dogs there, the model's mean, and are narrower"},
    {"dogs present", "every dog present, seen or not (sighting-corrected)",
     "prediction interval of the dogs present in the town, seen by a count or not", "Dogs-present limits",
     "cover every dog present in the town, counted, estimated or missed by the counts: the dogs seen divided by "
     "the sighting proportion"},
}};

inline constexpr const TargetTraits& target_traits(ScoreTarget t) { return kTargets[static_cast<std::size_t>(t)]; }

enum class IntervalKind { wald, delta, profile, bootstrap };

struct IntervalTraits {
    IntervalKind kind;
    std::string_view key;   // in JSON and CSV: "limits" kind, coverage_<key>
    std::string_view name;  // in the results pane and the report: "Wald"
    ScoreTarget target;
    // The interval line: "<available> A to B", or "<missing><reason>"; an empty missing
    // text leaves the line out when the limits are missing.
    std::string_view available;
    std::string_view missing;
    // Without an unsurveyed ward the line is left out (the estimate line says so already).
    bool needs_unsurveyed_ward;
    // The simulation score line's words before "outside in N of M simulations"; empty: the
    // series' summary line scores it.
    std::string_view score_words;
    // The line gives no limits: they stand in brackets in the estimate line, and the line
    // ends with what they cover ("ward" or "unsurveyed wards").
    bool limits_in_estimate_line;
    // How the limits are found, for the help.
    std::string_view help;
    // The older flat JSON keys <legacy>_lower / <legacy>_upper, and the CSV prefix; empty
    // for kinds that have only the "limits" list and columns of their key.
    std::string_view legacy;
};

inline constexpr std::array<IntervalTraits, 4> kIntervalKinds{{
    {IntervalKind::wald, "wald", "Wald", ScoreTarget::dogs_drawn,
     "in brackets: Wald 95 % prediction limits of the dogs in the ", "no limits for the estimate: ", true, "", true,
     "the limits in brackets in the sentence: the estimate's standard error with each ward's own count variance added",
     "pop"},
    {IntervalKind::delta, "delta", "delta method", ScoreTarget::expected_number,
     "delta-method 95 % confidence limits of the expected number of dogs: ", "", true,
     "delta-method confidence limits: expected number of dogs", false, "the standard error of the estimate alone",
     "delta"},
    {IntervalKind::profile, "profile", "profile likelihood", ScoreTarget::expected_number,
     "profile-likelihood 95 % confidence limits of the expected number of dogs (the unsurveyed wards' summed "
     "linear predictor, the estimate when no mean sits on the floor): ",
     "profile-likelihood limits not available: ", false,
     "profile-likelihood confidence limits: expected number of dogs", false,
     "where the profile falls 1.92 below its top", "profile"},
    {IntervalKind::bootstrap, "bootstrap", "parametric bootstrap", ScoreTarget::dogs_drawn,
     "bootstrap 95 % prediction limits of the dogs in the unsurveyed wards", "bootstrap limits not available: ", false,
     "bootstrap prediction limits: simulated dogs", false,
     "refits to counts simulated from the fitted model, with their Monte Carlo error: what another seed could move "
     "them by",
     "boot"},
}};

inline constexpr std::size_t kIntervalKindCount = kIntervalKinds.size();

inline constexpr const IntervalTraits& interval_traits(IntervalKind k) {
    return kIntervalKinds[static_cast<std::size_t>(k)];
}

}  // namespace valdmora
