// SPDX-License-Identifier: GPL-3.0-or-later
// Plain data the engine hands to the charts and the window: colours and the inputs of each
// chart. No toolkit here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace valdmora {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

inline constexpr Rgb kBlackRgb{0, 0, 0};
inline constexpr Rgb kRedRgb{255, 0, 0};
inline constexpr Rgb kGreenRgb{0, 255, 0};
inline constexpr Rgb kLabelGreenRgb{0, 192, 0};
inline constexpr Rgb kCurveBlueRgb{0, 0, 192};

// Dog counts against positions (predicted counts, or one predictor's values).
struct CountsChartData {
    std::vector<float> heights, positions;  // wards 1..n at 0..n-1
    std::string title;
    bool origin_at_zero = true;
};

// The likelihood profile over candidate totals, with the limits marked.
struct LikelihoodChartData {
    std::vector<float> log_likelihood, total;
    std::string title = "log likelihood";
    int16_t title_y = 10;
    Rgb colour = kCurveBlueRgb;
    bool simulated = false;  // draw the true total in red
    float sim_total = 0.0f;
    double lower = 0.0, upper = 0.0;  // the Wald limits, in green
    // profile-likelihood limits, marked when both are known
    bool profile_limits = false;
    double profile_lower = 0.0, profile_upper = 0.0;
};

// Points of a model check: y against x, one per surveyed ward in ward order (the first
// ten in the key's colours), with a reference line.
struct ScatterChartData {
    std::vector<float> x, y;
    std::string x_title, y_title;
    enum class Reference { None, Zero, Identity } reference = Reference::None;
};

}  // namespace valdmora
