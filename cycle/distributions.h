// SPDX-License-Identifier: GPL-3.0-or-later
// The three error distributions as a closed set: an enum and one table of their traits
// (codes, names, keys, extra parameter, variance, likelihood constant, start values).
// Every front end, file format and computation reads them from here; nothing else knows
// a distribution by its number.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdmora {

// The values are the model library's codes and the state's err_dist, kept at their width.
enum class Dist : int16_t { lognormal = 1, normal = 2, negbin = 3 };

struct Distribution {
    Dist dist;
    int32_t code;                    // the model library's code
    std::string_view key;            // in files and on the command line
    std::string_view name;           // in sentences
    std::string_view option;         // the window's option text
    std::string_view extra_name;     // the extra parameter
    std::string_view extra_meaning;  // what the extra parameter measures
    std::string_view default_extra;  // the extra parameter's start value, as typed
    double default_extra_value;
    // A count's variance about its mean m under extra parameter e.
    double (*variance)(double m, double e);
    // What the library's log likelihood leaves out per surveyed ward: -ln(2 pi)/2 for the
    // two Gaussian forms, nothing for the negative binomial.
    double likelihood_constant_per_ward;
    // The likelihood needs every count to be at least 1 (the lognormal's logarithm).
    bool counts_at_least_one;
    // Counts are whole numbers, and the Poisson limit is a model of its own.
    bool whole_counts;
};

inline constexpr double kHalfLnTwoPi = 0.91893853320467274178;  // ln(2 pi) / 2

inline constexpr std::array<Distribution, 3> kDistributions{{
    {Dist::lognormal, 1, "lognormal", "lognormal", "lognormal, variance proportional to mean squared", "CV",
     "the coefficient of variation: the counts' standard deviation over their mean", "0.25", 0.25,
     [](double m, double e) { return e * e * m * m; }, -kHalfLnTwoPi, true, false},
    {Dist::normal, 2, "normal", "normal", "normal, with constant variance", "SD",
     "the counts' standard deviation about their mean", "10", 10.0, [](double, double e) { return e * e; },
     -kHalfLnTwoPi, false, false},
    {Dist::negbin, 3, "negbin", "negative binomial", "negative binomial, with variance proportional to mean", "VoM - 1",
     "the variance over the mean, less one: 0 is Poisson", "1", 1.0, [](double m, double e) { return (e + 1.0) * m; },
     0.0, false, true},
}};

// The constant's start value, and a coefficient's.
inline constexpr std::string_view kDefaultConstant = "10";
inline constexpr std::string_view kDefaultCoefficient = "0";
inline constexpr double kDefaultConstantValue = 10.0;

inline constexpr const Distribution& distribution(Dist d) {
    return kDistributions[static_cast<std::size_t>(static_cast<int>(d) - 1)];
}

// The distribution of a library or file code, or none for any other code.
inline constexpr std::optional<Dist> dist_of_code(long code) {
    for (const Distribution& d : kDistributions)
        if (d.code == code) return d.dist;
    return std::nullopt;
}

// By key, or none.
inline constexpr std::optional<Dist> distribution_of_key(std::string_view key) {
    for (const Distribution& d : kDistributions)
        if (d.key == key) return d.dist;
    return std::nullopt;
}

// The table's row index of a distribution: the window's option, a loop's position.
inline constexpr std::size_t dist_index(Dist d) { return static_cast<std::size_t>(static_cast<int>(d) - 1); }

// Predictor j's name (1..4): the file's name, or "jpredictor" when the data have none (a
// simulation's four).
inline std::string predictor_name(const std::vector<std::string>& names, int j) {
    return j >= 1 && j <= static_cast<int>(names.size()) ? names[static_cast<std::size_t>(j - 1)]
                                                         : std::to_string(j) + "predictor";
}

}  // namespace valdmora
