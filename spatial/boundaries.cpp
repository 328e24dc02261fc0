// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundaries.h"
#include "geojson_reader.h"


#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <numbers>

#include "cycle/platform_file.h"
#include "cycle/text.h"
#include "cycle/user_error.h"

namespace valdmora {


namespace {

std::string quoted(const std::string& s) { return "'" + printable(s, 60) + "'"; }

// Orientation of c against the line a->b: > 0 left, < 0 right, 0 on it.
double orient(const LonLat& a, const LonLat& b, const LonLat& c) {
    return (b.lon - a.lon) * (c.lat - a.lat) - (b.lat - a.lat) * (c.lon - a.lon);
}
bool on_segment(const LonLat& a, const LonLat& b, const LonLat& c) {
    return std::min(a.lon, b.lon) <= c.lon && c.lon <= std::max(a.lon, b.lon) && std::min(a.lat, b.lat) <= c.lat &&
           c.lat <= std::max(a.lat, b.lat);
}
bool segments_meet(const LonLat& a, const LonLat& b, const LonLat& c, const LonLat& d) {
    const double o1 = orient(a, b, c), o2 = orient(a, b, d), o3 = orient(c, d, a), o4 = orient(c, d, b);
    if (((o1 > 0 && o2 < 0) || (o1 < 0 && o2 > 0)) && ((o3 > 0 && o4 < 0) || (o3 < 0 && o4 > 0))) return true;
    return (o1 == 0 && on_segment(a, b, c)) || (o2 == 0 && on_segment(a, b, d)) || (o3 == 0 && on_segment(c, d, a)) ||
           (o4 == 0 && on_segment(c, d, b));
}

// True when two edges of the ring that do not follow each other meet. Edges sorted by their
// west end, so that only edges whose longitudes overlap are compared.
bool crosses_itself(const Ring& ring) {
    const std::size_t n = ring.size() - 1;  // edges; the last position repeats the first
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    const auto west = [&](std::size_t i) { return std::min(ring[i].lon, ring[i + 1].lon); };
    const auto east = [&](std::size_t i) { return std::max(ring[i].lon, ring[i + 1].lon); };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return west(a) < west(b); });
    for (std::size_t a = 0; a < n; ++a)
        for (std::size_t b = a + 1; b < n && west(order[b]) <= east(order[a]); ++b) {
            const std::size_t i = std::min(order[a], order[b]), j = std::max(order[a], order[b]);
            if (j == i + 1 || (i == 0 && j == n - 1)) continue;  // neighbours share their corner
            if (segments_meet(ring[i], ring[i + 1], ring[j], ring[j + 1])) return true;
        }
    return false;
}

double authalic_q(double sin_phi, double e) {
    const double es = e * sin_phi;
    return (1.0 - e * e) * (sin_phi / (1.0 - es * es) - std::log((1.0 - es) / (1.0 + es)) / (2.0 * e));
}

constexpr double kMajor = 6378137.0;                      // WGS 84
constexpr double kFlattening = 1.0 / 298.257223563;
const double kE = std::sqrt(kFlattening * (2.0 - kFlattening));
constexpr double kRadian = std::numbers::pi / 180.0;

}  // namespace

void note_crossing_rings(const BoundaryFeature& f, std::size_t number, const std::string& source,
                         std::vector<std::string>& notices) {
    for (std::size_t p = 0; p < f.polygons.size(); ++p)
        for (std::size_t r = 0; r < f.polygons[p].size(); ++r)
            if (crosses_itself(f.polygons[p][r]))
                notices.push_back(source + ", feature " + std::to_string(number) + ": ring " + std::to_string(r + 1) +
                                  " of polygon " + std::to_string(p + 1) +
                                  " crosses itself; it is drawn as it is, but its area may be wrong.");
}

BoundaryFile parse_boundaries(const std::string& text, const std::string& source, const FeatureHook& after_feature) {
    return read_geojson(text, source, after_feature);
}

BoundaryFile read_boundary_file(const std::string& path, const FeatureHook& after_feature) {
    std::ifstream in(platform::path_from_utf8(path), std::ios::binary);
    if (!in) throw UserError("The boundaries file " + printable(path, 200) + " cannot be read.", "Ward boundaries");
    return read_geojson(in, printable(path, 200), after_feature);
}

std::string name_key(const std::string& name) {
    std::size_t b = 0, e = name.size();
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (b < e && blank(name[b])) ++b;
    while (e > b && blank(name[e - 1])) --e;
    return ascii_lower(std::string_view(name).substr(b, e - b));
}

// Snyder, Map Projections: A Working Manual (1987), the ellipsoidal oblique Lambert
// azimuthal equal-area projection, formulas 3-12, 24-13 to 24-19.
EqualAreaProjection::EqualAreaProjection(LonLat centre) : centre_(centre) {
    const double qp = authalic_q(1.0, kE);
    rq_ = kMajor * std::sqrt(qp / 2.0);
    const double sin1 = std::sin(centre.lat * kRadian);
    const double beta1 = std::asin(authalic_q(sin1, kE) / qp);
    sin_beta1_ = std::sin(beta1);
    cos_beta1_ = std::cos(beta1);
    const double m1 = std::cos(centre.lat * kRadian) / std::sqrt(1.0 - kE * kE * sin1 * sin1);
    d_ = kMajor * m1 / (rq_ * cos_beta1_);
    qp_ = qp;
}

PlanePoint EqualAreaProjection::operator()(LonLat p) const {
    const double sin_beta = authalic_q(std::sin(p.lat * kRadian), kE) / qp_;
    const double cos_beta = std::sqrt(std::max(0.0, 1.0 - sin_beta * sin_beta));
    const double dl = (p.lon - centre_.lon) * kRadian;
    const double b = rq_ * std::sqrt(2.0 / (1.0 + sin_beta1_ * sin_beta + cos_beta1_ * cos_beta * std::cos(dl)));
    return {b * d_ * cos_beta * std::sin(dl), (b / d_) * (cos_beta1_ * sin_beta - sin_beta1_ * cos_beta * std::cos(dl))};
}

double area_km2(const std::vector<Polygon>& polygons, const EqualAreaProjection& projection) {
    double total = 0.0;
    for (const Polygon& poly : polygons)
        for (std::size_t r = 0; r < poly.size(); ++r) {
            // the shoelace formula on the projected ring; holes take away
            double twice = 0.0;
            PlanePoint prev = projection(poly[r][0]);
            for (std::size_t k = 1; k < poly[r].size(); ++k) {
                const PlanePoint cur = projection(poly[r][k]);
                twice += prev.x * cur.y - cur.x * prev.y;
                prev = cur;
            }
            total += (r == 0 ? 1.0 : -1.0) * std::fabs(twice) / 2.0;
        }
    return total / 1e6;
}

const WardShape* WardBoundaries::shape(const std::string& ward) const {
    for (const WardShape& s : shapes)
        if (s.name == ward) return &s;
    return nullptr;
}

WardBoundaries match_wards(BoundaryFile file, const std::vector<std::string>& ward_names,
                           const std::string& name_property) {
    std::vector<std::string> keys;  // every property name, first seen first
    for (const BoundaryFeature& f : file.features)
        for (const auto& [k, v] : f.properties)
            if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    const auto list = [](const std::vector<std::string>& names) {
        std::string s;
        for (const std::string& n : names) s += (s.empty() ? "" : ", ") + quoted(n);
        return s.empty() ? std::string("none") : s;
    };
    std::map<std::string, bool> wanted;
    for (const std::string& w : ward_names) wanted[name_key(w)] = true;
    const auto value_of = [](const BoundaryFeature& f, const std::string& key) -> const std::string* {
        for (const auto& [k, v] : f.properties)
            if (k == key) return &v;
        return nullptr;
    };
    const auto matches = [&](const std::string& key) {
        std::map<std::string, bool> seen;
        for (const BoundaryFeature& f : file.features)
            if (const std::string* v = value_of(f, key); v && wanted.count(name_key(*v))) seen[name_key(*v)] = true;
        return seen.size();
    };

    WardBoundaries out;
    out.notices = file.notices;
    if (!name_property.empty()) {
        if (std::find(keys.begin(), keys.end(), name_property) == keys.end())
            throw UserError(file.source + ": no feature has the property " + quoted(name_property) +
                                " (the properties are: " + list(keys) + ")",
                            "Ward boundaries");
        out.name_property = name_property;
    } else {
        std::size_t best = 0;
        for (const std::string& k : keys)
            if (const std::size_t m = matches(k); m > best) best = m, out.name_property = k;
    }
    if (matches(out.name_property) == 0)
        throw UserError(file.source + ": no " +
                            (name_property.empty() ? std::string("property") : "value of " + quoted(name_property)) +
                            " of the boundaries matches a ward name of the data (properties: " + list(keys) +
                            "; names match when they are the same but for letter case and surrounding blanks)",
                        "Ward boundaries");

    // the centre of the boundaries' extent
    double west = 180, east = -180, south = 90, north = -90;
    for (const BoundaryFeature& f : file.features)
        for (const Polygon& p : f.polygons)
            for (const LonLat& q : p.front()) {
                west = std::min(west, q.lon), east = std::max(east, q.lon);
                south = std::min(south, q.lat), north = std::max(north, q.lat);
            }
    out.projection = EqualAreaProjection({(west + east) / 2.0, (south + north) / 2.0});

    std::map<std::string, std::vector<std::size_t>> by_key;
    for (std::size_t i = 0; i < file.features.size(); ++i)
        if (const std::string* v = value_of(file.features[i], out.name_property)) by_key[name_key(*v)].push_back(i);
    const auto make_shape = [&](const std::string& name, std::vector<Polygon> polygons) {
        WardShape s;
        s.name = name;
        s.polygons = std::move(polygons);
        for (const Polygon& p : s.polygons) {
            std::vector<std::vector<PlanePoint>> rings;
            for (const Ring& r : p) {
                std::vector<PlanePoint> pr;
                pr.reserve(r.size());
                for (const LonLat& q : r) pr.push_back(out.projection(q));
                rings.push_back(std::move(pr));
            }
            s.plane.push_back(std::move(rings));
        }
        s.area_km2 = area_km2(s.polygons, out.projection);
        return s;
    };
    std::vector<bool> used(file.features.size(), false);
    std::map<std::string, int> wards_of_key;
    for (const std::string& w : ward_names) ++wards_of_key[name_key(w)];
    for (const std::string& w : ward_names) {
        const auto hit = by_key.find(name_key(w));
        if (hit == by_key.end()) {
            out.wards_without_boundary.push_back(w);
            continue;
        }
        std::vector<Polygon> polygons;
        // the last ward of a name takes the polygons, any before it a copy
        const bool last = --wards_of_key[hit->first] == 0;
        for (std::size_t i : hit->second) {
            std::vector<Polygon>& from = file.features[i].polygons;
            if (last)
                polygons.insert(polygons.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
            else
                polygons.insert(polygons.end(), from.begin(), from.end());
            used[i] = true;
        }
        WardShape s = make_shape(w, std::move(polygons));
        out.shapes.push_back(std::move(s));
    }
    for (std::size_t i = 0; i < file.features.size(); ++i)
        if (!used[i]) {
            const std::string* v = value_of(file.features[i], out.name_property);
            out.boundaries_without_ward.push_back(v ? *v : "feature " + std::to_string(i + 1) + " (no " +
                                                               out.name_property + ")");
            out.unmatched.push_back(make_shape(out.boundaries_without_ward.back(), std::move(file.features[i].polygons)));
        }
    return out;
}

}  // namespace valdmora
