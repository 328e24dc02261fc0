// SPDX-License-Identifier: GPL-3.0-or-later
#include "spatial_options.h"

#include <CLI/CLI.hpp>

#include "command.h"
#include "cycle/text.h"
#include "estimation/residuals.h"

namespace valdmora {

void declare_boundary_options(CLI::App& sub, bool required) {
    add_text_option(sub, "--boundaries", "the wards' boundaries: a GeoJSON FeatureCollection of Polygon and MultiPolygon "
                                         "features in longitude and latitude");
    if (required) sub.get_option("--boundaries")->required();
    add_text_option(sub, "--name-property", "the feature property that names the ward (default: the property whose "
                                            "values match the most ward names)");
}

BoundaryOptions parse_boundary_options(const CLI::App& given) {
    BoundaryOptions o{option_text(given, "--boundaries"), option_text(given, "--name-property")};
    if (o.path.empty() && !o.name_property.empty()) throw UsageError("--name-property needs --boundaries");
    return o;
}

std::vector<std::string> ward_names(const EstimationState& s) {
    std::vector<std::string> names = s.surveyed_name.values();
    names.insert(names.end(), s.unsurveyed_name.values().begin(), s.unsurveyed_name.values().end());
    return names;
}

WardBoundaries estimate_boundaries(const BoundaryOptions& o, const EstimationState& s) {
    return match_wards(read_boundary_file(o.path), ward_names(s), o.name_property);
}

SpatialCheck estimate_spatial_check(const EstimateResult& e, const WardBoundaries& b, uint64_t seed) {
    if (!e.fit_ok) {
        SpatialCheck c;
        c.moran = Available<MoranTest>::why_not("the fit failed");
        c.wards_without_boundary = b.wards_without_boundary;
        c.boundaries_without_ward = b.boundaries_without_ward;
        return c;
    }
    const Residuals r = model_residuals(e.state, e.par_value, static_cast<long>(e.free_pos.size()), seed);
    return spatial_check(r.ward, r.pearson, b);
}

json spatial_json(const SpatialCheck& c, const WardBoundaries& b, const NumberFormat& fmt) {
    const bool ok = c.moran.ok();
    const auto num = [&](double MoranTest::*field) { return ok ? finite_or_null((*c.moran).*field) : json(nullptr); };
    json j{{"morans_i", num(&MoranTest::i)},
           {"expected", num(&MoranTest::expected)},
           {"variance", num(&MoranTest::variance)},
           {"z", num(&MoranTest::z)},
           {"p_value", num(&MoranTest::p_value)},
           {"wards", c.wards.size()},
           {"left_out", c.left_out},
           {"wards_without_boundary", c.wards_without_boundary},
           {"boundaries_without_ward", c.boundaries_without_ward},
           {"name_property", b.name_property},
           {"sentence", spatial_check_sentence(c, fmt)}};
    if (!ok) j["reason"] = c.moran.reason();
    return j;
}

std::vector<Notice> boundary_notices(const WardBoundaries& b) {
    std::vector<Notice> out;
    const auto names = [](const std::vector<std::string>& v) {
        std::string s;
        for (std::size_t k = 0; k < v.size(); ++k) s += (k ? ", " : "") + printable(v[k], 60);
        return s;
    };
    if (!b.wards_without_boundary.empty())
        out.push_back({"Ward boundaries", "Wards without a boundary (not on the map): " + names(b.wards_without_boundary),
                       "", false});
    if (!b.boundaries_without_ward.empty())
        out.push_back({"Ward boundaries",
                       "Boundaries without a ward of the data (drawn as no data): " + names(b.boundaries_without_ward), "",
                       false});
    for (const std::string& n : b.notices) out.push_back({"Ward boundaries", n, "", false});
    return out;
}

}  // namespace valdmora
