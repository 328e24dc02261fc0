// SPDX-License-Identifier: GPL-3.0-or-later
// The survey plan's chart: the median relative half-width of each kind of limits against
// the number of wards surveyed, with the precision wanted as a line across.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cycle/number_text.h"
#include "surface.h"

namespace valdmora {

struct PlanChartData {
    struct Series {
        std::string name;                         // the kind of limits
        std::vector<std::optional<double>> share;  // by k, a fraction of the town's total
    };
    std::vector<long> surveys;  // the candidates, ascending
    std::vector<Series> series;
    std::optional<double> target;  // a fraction
};

// The kinds' colours.
Rgb plan_series_colour(std::size_t index);

// Per cent against wards, a line (and a circle at each value) per series in its colour, the
// target dashed in red, and the series' names as a key at the top right.
void plot_plan(Surface& s, const PlanChartData& d, const NumberFormat& fmt);

}  // namespace valdmora
