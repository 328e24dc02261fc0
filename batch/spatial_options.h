// SPDX-License-Identifier: GPL-3.0-or-later
// The ward boundaries on the command line (--boundaries, --name-property), matched to an
// estimate's wards, and the spatial check of its residuals as JSON.
#pragma once

#include <string>
#include <vector>

#include "estimation/estimate.h"
#include "output.h"
#include "spatial/boundaries.h"
#include "spatial/moran.h"

namespace CLI {
class App;
}

namespace valdmora {

struct BoundaryOptions {
    std::string path;           // empty: none given
    std::string name_property;  // empty: the best-matching property
};

void declare_boundary_options(CLI::App& sub, bool required);
BoundaryOptions parse_boundary_options(const CLI::App& given);

// Every ward of the data, surveyed first, in file order within each group.
std::vector<std::string> ward_names(const EstimationState& s);

// The boundaries read and matched to the state's wards; a UserError when they cannot be.
WardBoundaries estimate_boundaries(const BoundaryOptions& o, const EstimationState& s);

// The check of the fit's Pearson residuals on the boundaries.
SpatialCheck estimate_spatial_check(const EstimateResult& e, const WardBoundaries& b, uint64_t seed);

// {"morans_i", "expected", "variance", "z", "p_value", "wards", "left_out", "wards_without_boundary",
//  "boundaries_without_ward", "name_property", "sentence"} (the numbers null and a reason
// when the test cannot be made).
json spatial_json(const SpatialCheck& c, const WardBoundaries& b, const NumberFormat& fmt);

// A line naming the wards without a boundary and the boundaries without a ward, or nothing.
std::vector<Notice> boundary_notices(const WardBoundaries& b);

}  // namespace valdmora
