// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a boundaries file: refused with a message, or read, matched, projected
// and tested for clustering without leaving any range.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cycle/user_error.h"
#include "spatial/boundaries.h"
#include "spatial/moran.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        valdmora::BoundaryFile file = valdmora::parse_boundaries(text, "fuzz.geojson");
        std::vector<std::string> names;
        for (const auto& f : file.features)
            for (const auto& [key, value] : f.properties) names.push_back(value);
        const valdmora::WardBoundaries b = valdmora::match_wards(std::move(file), names);
        std::vector<double> x;
        for (std::size_t k = 0; k < names.size(); ++k) x.push_back(static_cast<double>(k % 5));
        const valdmora::SpatialCheck c = valdmora::spatial_check(names, x, b);
        if (c.moran && !(c.moran->p_value >= 0.0 && c.moran->p_value <= 1.0)) __builtin_trap();
    } catch (const valdmora::UserError&) {
    }
    return 0;
}
