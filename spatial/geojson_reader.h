// SPDX-License-Identifier: GPL-3.0-or-later
// The GeoJSON reader behind read_boundary_file: the JSON library's event parser turned
// straight into polygons, so that no part of a large file is held as a JSON document.
#pragma once

#include <istream>
#include <string>

#include "boundaries.h"

namespace valdmora {

BoundaryFile read_geojson(std::istream& in, const std::string& source, const FeatureHook& after_feature);
BoundaryFile read_geojson(const std::string& text, const std::string& source, const FeatureHook& after_feature);

// Rings that cross themselves, said of one feature (numbered from 1) in notices.
void note_crossing_rings(const BoundaryFeature& f, std::size_t number, const std::string& source,
                         std::vector<std::string>& notices);

}  // namespace valdmora
