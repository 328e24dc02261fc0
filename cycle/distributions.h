// The three error distributions, in one table: their codes, names, keys and start values.
// Every front end and file format reads them from here.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdmora {

struct Distribution {
    int code;                        // 1, 2, 3: the state's err_dist and the model library's code
    std::string_view key;            // in files and on the command line
    std::string_view name;           // in sentences
    std::string_view option;         // the window's option text
    std::string_view extra_name;     // the extra parameter
    std::string_view extra_meaning;  // what the extra parameter measures
    std::string_view default_extra;  // the extra parameter's start value, as typed
    double default_extra_value;
};

inline constexpr std::array<Distribution, 3> kDistributions{{
    {1, "lognormal", "lognormal", "lognormal, variance proportional to mean squared", "CV",
     "the coefficient of variation: the counts' standard deviation over their mean", "0.25", 0.25},
    {2, "normal", "normal", "normal, with constant variance", "SD", "the counts' standard deviation about their mean",
     "10", 10.0},
    {3, "negbin", "negative binomial", "negative binomial, with variance proportional to mean", "VoM - 1",
     "the variance over the mean, less one: 0 is Poisson", "1", 1.0},
}};

// The constant's start value, and a coefficient's.
inline constexpr std::string_view kDefaultConstant = "10";
inline constexpr std::string_view kDefaultCoefficient = "0";

// By code 1..3; any other code is the negative binomial, as the model library reads it.
constexpr const Distribution& distribution(int code) {
    return kDistributions[code == 1 ? 0 : code == 2 ? 1 : 2];
}

// By key, or none.
constexpr std::optional<int> distribution_code(std::string_view key) {
    for (const Distribution& d : kDistributions)
        if (d.key == key) return d.code;
    return std::nullopt;
}

// Predictor j's name (1..4): the file's name, or "jpredictor" when the data have none (a
// simulation's four).
inline std::string predictor_name(const std::vector<std::string>& names, int j) {
    return j >= 1 && j <= static_cast<int>(names.size()) ? names[static_cast<std::size_t>(j - 1)]
                                                         : std::to_string(j) + "predictor";
}

}  // namespace valdmora
