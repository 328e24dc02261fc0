// SPDX-License-Identifier: GPL-3.0-or-later
// The ward map: a choropleth of one layer, its classes in colour-blind-safe palettes, with
// a legend that gives the unit, a scale bar and a title.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cycle/map_data.h"
#include "cycle/number_text.h"
#include "surface.h"

namespace valdmora {

// The class limits of the values: classes + 1 ascending limits, by quantiles or equal
// steps; on a diverging scale symmetric about 0 with half the classes either side. Fewer
// when values repeat. Empty without a finite value.
std::vector<double> class_limits(std::vector<double> values, int classes, bool quantiles, bool diverging);

// The colour of class k (0-based) of n: ColorBrewer's YlGnBu (sequential) or PuOr
// (diverging, orange below 0), both safe for the common colour-vision deficiencies.
Rgb class_colour(int k, int n, bool diverging);

// Where the map goes on a surface of this size: metres to pixels.
struct MapFrame {
    double scale = 0.0;     // pixels per metre
    double left = 0.0, top = 0.0;  // pixel position of (x_min, y_max)
    double x_min = 0.0, y_max = 0.0;
    float legend_left = 0.0f;
    float map_top = 0.0f, map_bottom = 0.0f;
    float px(const MapPoint& p) const { return static_cast<float>(left + (p.x - x_min) * scale); }
    float py(const MapPoint& p) const { return static_cast<float>(top + (y_max - p.y) * scale); }
};
MapFrame map_frame(const WardMapData& d, float width, float height, float line_height);

void plot_ward_map(Surface& s, const WardMapData& d, const NumberFormat& fmt);

// The ward under a pixel of a map drawn at this size, or nothing.
std::optional<std::size_t> ward_at(const WardMapData& d, float width, float height, float line_height, float x, float y);

// The length of the scale bar in metres: 1, 2 or 5 times a power of ten, at most max_metres.
double scale_bar_metres(double max_metres);

}  // namespace valdmora
