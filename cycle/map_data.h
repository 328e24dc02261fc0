// SPDX-License-Identifier: GPL-3.0-or-later
// The ward map's input as plain data: each ward's shape in a plane in metres, and what one
// layer says of it. No toolkit and no file format here.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace valdmora {

struct MapPoint {
    double x = 0.0, y = 0.0;  // metres east and north
};
// A polygon: its outer ring, then its holes.
using MapPolygon = std::vector<std::vector<MapPoint>>;

struct MapWard {
    std::string name;
    std::vector<MapPolygon> polygons;
    // what the layer shows of the ward: a value, a category the layer does not describe
    // (an unsurveyed ward on the counts' layer: grey, one legend entry), or no data
    // (hatched, and named in the legend)
    enum class Shown { value, other, no_data } shown = Shown::no_data;
    double value = NAN;
    bool surveyed = false;  // outlined in bold
};

struct WardMapData {
    std::vector<std::string> title;  // the file and the model, then the layer
    std::string legend_title;        // what the colours are, with the unit
    std::string other_label;         // the legend's words for the grey wards
    std::string no_value_reason;     // when the layer cannot be drawn at all: why
    std::vector<MapWard> wards;
    bool diverging = false;          // a scale about 0
    bool quantile_classes = true;    // or equal steps
    int classes = 5;
    bool names = false;              // each ward's name on the map
};

}  // namespace valdmora
