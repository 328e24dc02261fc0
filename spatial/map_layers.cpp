// SPDX-License-Identifier: GPL-3.0-or-later
#include "map_layers.h"

#include <cmath>
#include <map>
#include <stdexcept>

namespace valdmora {

const std::vector<MapLayerTraits>& map_layers() {
    static const std::vector<MapLayerTraits> table{
        {MapLayer::predicted, "predicted", "Predicted dogs (unsurveyed wards)", "Predicted dogs", false},
        {MapLayer::counted, "counted", "Counted dogs (surveyed wards)", "Counted dogs", false},
        {MapLayer::density, "density", "Dogs per km\u00b2", "Dogs per km\u00b2", false},
        {MapLayer::width, "width", "Width of each ward's prediction limits", "Limits' width (dogs)", false},
        {MapLayer::residual, "residual", "Residuals of the surveyed wards", "Residual", true},
        {MapLayer::present, "present", "Dogs present (sighting correction)", "Dogs present", false},
    };
    return table;
}

const MapLayerTraits& map_layer(MapLayer layer) {
    for (const MapLayerTraits& t : map_layers())
        if (t.layer == layer) return t;
    throw std::logic_error("a map layer without traits");
}

std::optional<MapLayer> map_layer_from_key(std::string_view key) {
    for (const MapLayerTraits& t : map_layers())
        if (t.key == key) return t.layer;
    return std::nullopt;
}

namespace {

std::vector<MapPolygon> map_polygons(const WardShape& shape) {
    std::vector<MapPolygon> out;
    for (const auto& p : shape.plane) {
        MapPolygon mp;
        for (const auto& r : p) {
            std::vector<MapPoint> ring;
            ring.reserve(r.size());
            for (const PlanePoint& q : r) ring.push_back({q.x, q.y});
            mp.push_back(std::move(ring));
        }
        out.push_back(std::move(mp));
    }
    return out;
}

}  // namespace

WardMapData ward_map_data(const EstimateResult& e, const WardBoundaries& b, const MapOptions& o,
                          const Residuals* residuals, std::string heading) {
    const MapLayerTraits& traits = map_layer(o.layer);
    WardMapData d;
    d.title = {std::move(heading), std::string(traits.caption)};
    d.legend_title = std::string(traits.legend);
    d.diverging = traits.diverging;
    d.quantile_classes = o.quantile_classes;
    d.classes = o.classes;
    d.names = o.names;
    if (o.layer == MapLayer::residual) {
        d.legend_title = o.quantile_residuals ? "Quantile residual" : "Pearson residual";
        d.title[1] = o.quantile_residuals ? "Quantile residuals of the surveyed wards"
                                          : "Pearson residuals of the surveyed wards";
    }
    // a count sees p of the dogs present: each ward's dogs seen (counted, or predicted) over p
    const double sighting = e.dogs_present ? e.dogs_present->sighting.p : NAN;
    if (o.layer == MapLayer::present && !e.dogs_present)
        d.no_value_reason = "needs the sighting correction (marked dogs and their sightings)";
    if (o.layer == MapLayer::residual && !residuals) d.no_value_reason = "no residuals: the fit failed";

    // what the estimate says of each ward, by its name
    struct Known {
        bool surveyed = false;
        double count = NAN, prediction = NAN, width = NAN, residual = NAN;
    };
    std::map<std::string, Known> by_name;
    const EstimationState& s = e.state;
    for (long i = 1; i <= s.n_surveyed; ++i) {
        Known& k = by_name[s.surveyed_name(i)];
        k.surveyed = true;
        k.count = s.surveyed_count(i);
    }
    for (long i = 1; i <= s.n_unsurveyed; ++i) by_name[s.unsurveyed_name(i)].prediction = s.unsurveyed_pred(i);
    for (const WardPrediction& p : e.ward_predictions) {
        Known& k = by_name[p.name];
        k.prediction = p.prediction;
        if (p.limits) k.width = p.limits->upper - p.limits->lower;
    }
    if (residuals)
        for (std::size_t i = 0; i < residuals->ward.size(); ++i)
            by_name[residuals->ward[i]].residual = o.quantile_residuals ? residuals->quantile[i] : residuals->pearson[i];

    const bool fitted = e.fit_ok;
    for (const WardShape& shape : b.shapes) {
        MapWard w;
        w.name = shape.name;
        const Known k = by_name.count(shape.name) ? by_name[shape.name] : Known{};
        w.surveyed = k.surveyed;
        double v = NAN;
        bool applies = true;
        switch (o.layer) {
            case MapLayer::predicted: applies = !k.surveyed, v = fitted ? k.prediction : NAN; break;
            case MapLayer::counted: applies = k.surveyed, v = k.count; break;
            case MapLayer::density:
                v = (k.surveyed ? k.count : fitted ? k.prediction : NAN) / shape.area_km2;
                break;
            case MapLayer::width: applies = !k.surveyed, v = fitted ? k.width : NAN; break;
            case MapLayer::residual: applies = k.surveyed, v = k.residual; break;
            case MapLayer::present:
                v = (k.surveyed ? k.count : fitted ? k.prediction : NAN) / sighting;
                break;
        }
        w.shown = !applies ? MapWard::Shown::other : std::isfinite(v) ? MapWard::Shown::value : MapWard::Shown::no_data;
        w.value = v;
        w.polygons = map_polygons(shape);
        d.wards.push_back(std::move(w));
    }
    for (const WardShape& shape : b.unmatched) {
        MapWard w;
        w.name = shape.name;
        w.polygons = map_polygons(shape);
        d.wards.push_back(std::move(w));
    }
    d.other_label = o.layer == MapLayer::counted || o.layer == MapLayer::residual ? "not surveyed" : "surveyed";
    return d;
}

}  // namespace valdmora
