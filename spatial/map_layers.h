// SPDX-License-Identifier: GPL-3.0-or-later
// What the ward map shows of an estimate: one layer (a closed set with one table of
// traits) turned into each ward's value on the matched boundaries.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundaries.h"
#include "cycle/map_data.h"
#include "estimation/estimate.h"
#include "estimation/residuals.h"

namespace valdmora {

enum class MapLayer { predicted, counted, density, width, residual, present };

struct MapLayerTraits {
    MapLayer layer;
    std::string_view key;      // on the command line
    std::string_view caption;  // in the window's list and the map's title
    std::string_view legend;   // what the colours are, with the unit
    bool diverging;
};

// In the order the window lists them.
const std::vector<MapLayerTraits>& map_layers();
const MapLayerTraits& map_layer(MapLayer layer);
std::optional<MapLayer> map_layer_from_key(std::string_view key);

struct MapOptions {
    MapLayer layer = MapLayer::predicted;
    bool quantile_classes = true;
    int classes = 5;
    bool quantile_residuals = false;  // the residual layer: quantile rather than Pearson
    bool names = false;
};

// The map of one layer: the matched wards, then the boundaries without a ward (no data).
// residuals: the fit's, for the residual layer (without them that layer says why not).
WardMapData ward_map_data(const EstimateResult& e, const WardBoundaries& b, const MapOptions& o,
                          const Residuals* residuals, std::string heading);

}  // namespace valdmora
