// SPDX-License-Identifier: GPL-3.0-or-later
#include "geojson_reader.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <utility>
#include <vector>

#include "cycle/number_format.h"
#include "cycle/text.h"
#include "cycle/user_error.h"

namespace valdmora {

namespace {

using json = nlohmann::json;

// A ring as read, checked once the feature's geometry type is known.
struct RawRing {
    Ring positions;
    std::optional<std::size_t> malformed;  // the first entry that is not [longitude, latitude]
    std::optional<std::size_t> outside;    // the first position outside the ranges
    std::string outside_text;
};
using RawPolygon = std::vector<RawRing>;

struct RawFeature {
    std::optional<std::string> type;
    bool geometry = false, geometry_null = false;
    std::optional<std::string> geometry_type;
    bool coordinates = false;
    int position_level = -1;  // depth below the coordinates of the arrays holding numbers
    bool misnested = false;
    std::vector<RawPolygon> polygons;
    RawPolygon polygon;
    RawRing ring;
    std::vector<double> position;
    bool position_malformed = false;
    std::vector<std::pair<std::string, std::string>> properties;
};

enum class Role { other, root, features, feature, geometry, properties, coordinates };

struct Frame {
    Role role;
    int level = 0;  // below the coordinates array
};

class GeoJsonEvents : public nlohmann::json_sax<json> {
public:
    GeoJsonEvents(const std::string& source, BoundaryFile& out, const FeatureHook& hook)
        : source_(source), out_(out), hook_(hook) {}

    bool null() override { return scalar(std::nullopt, false, true); }
    bool boolean(bool) override { return scalar(std::nullopt, false, false); }
    bool number_integer(number_integer_t v) override { return number(static_cast<double>(v), std::to_string(v)); }
    bool number_unsigned(number_unsigned_t v) override { return number(static_cast<double>(v), std::to_string(v)); }
    bool number_float(number_float_t v, const string_t& text) override { return number(v, text); }
    bool string(string_t& s) override { return scalar(s, false, false); }
    bool binary(binary_t&) override { return scalar(std::nullopt, false, false); }
    bool key(string_t& k) override {
        key_ = k;
        return true;
    }
    bool start_object(std::size_t) override { return open(false); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
        std::string what = e.what();
        if (const std::size_t k = what.find("] "); k != std::string::npos) what.erase(0, k + 2);
        throw UserError(source_ + " is not GeoJSON: " + what, "Ward boundaries");
    }

    void finish() const {
        if (root_type_ != "FeatureCollection")
            throw UserError(source_ + " is not GeoJSON: it must be a FeatureCollection of the wards' Polygon and "
                                      "MultiPolygon features",
                            "Ward boundaries");
        if (!features_)
            throw UserError(source_ + " is not GeoJSON: its FeatureCollection has no list of features",
                            "Ward boundaries");
        if (out_.features.empty())
            throw UserError(source_ + " holds no ward boundaries: its list of features is empty", "Ward boundaries");
    }

private:
    Role parent() const { return stack_.empty() ? Role::other : stack_.back().role; }
    bool in_coordinates() const { return !stack_.empty() && stack_.back().role == Role::coordinates; }

    [[noreturn]] void fail(const std::string& what) const {
        throw UserError(source_ + ", feature " + std::to_string(number_) + ": " + what, "Ward boundaries");
    }
    [[noreturn]] void not_a_feature() const {
        throw UserError(source_ + ": entry " + std::to_string(number_ + 1) +
                            " of the features list is not a GeoJSON Feature",
                        "Ward boundaries");
    }

    bool open(bool array) {
        const std::string k = std::exchange(key_, {});
        if (stack_.empty()) {
            stack_.push_back({array ? Role::other : Role::root});
            return true;
        }
        Frame f{Role::other};
        switch (parent()) {
            case Role::root:
                if (array && k == "features") f.role = Role::features, features_ = true;
                break;
            case Role::features:
                if (array) not_a_feature();
                f.role = Role::feature;
                ++number_;
                raw_ = RawFeature{};
                break;
            case Role::feature:
                if (k == "geometry") {
                    raw_.geometry = true;
                    if (!array) f.role = Role::geometry;
                } else if (k == "properties" && !array) {
                    f.role = Role::properties;
                }
                break;
            case Role::geometry:
                if (k == "coordinates") {
                    raw_.coordinates = true;
                    if (array) f.role = Role::coordinates;
                }
                break;
            case Role::coordinates: {
                f.role = Role::coordinates;
                f.level = stack_.back().level + 1;
                if (!array || (raw_.position_level >= 0 && f.level > raw_.position_level)) {
                    // an object, or an array inside a position
                    raw_.misnested = true;
                    f.role = Role::other;
                }
                break;
            }
            default: break;
        }
        stack_.push_back(f);
        return true;
    }

    bool close() {
        const Frame f = stack_.back();
        stack_.pop_back();
        if (f.role == Role::coordinates) end_coordinate_array(f.level);
        if (f.role == Role::feature) end_feature();
        return true;
    }

    bool number(double v, const std::string& text) {
        if (in_coordinates()) {
            const int level = stack_.back().level;
            if (raw_.position_level < 0) raw_.position_level = level;
            if (level != raw_.position_level) raw_.misnested = true;
            raw_.position.push_back(v);
            return true;
        }
        return scalar(text, true, false);
    }

    bool scalar(const std::optional<std::string>& text, bool is_number, bool is_null) {
        const std::string k = std::exchange(key_, {});
        switch (parent()) {
            case Role::root:
                if (k == "type" && text && !is_number) root_type_ = *text;
                break;
            case Role::features: not_a_feature();
            case Role::feature:
                if (k == "type" && text && !is_number) raw_.type = *text;
                if (k == "geometry") raw_.geometry = true, raw_.geometry_null = is_null;
                break;
            case Role::geometry:
                if (k == "type" && text && !is_number) raw_.geometry_type = *text;
                if (k == "coordinates") raw_.coordinates = true;
                break;
            case Role::properties:
                if (text) raw_.properties.emplace_back(k, *text);
                break;
            case Role::coordinates: raw_.position_malformed = true; break;
            default: break;
        }
        return true;
    }

    // A position, ring or polygon of the coordinates ends, by its depth below them.
    void end_coordinate_array(int level) {
        const int p = raw_.position_level;
        if (p < 0) return;  // no number yet: the shape is judged at the feature's end
        if (level == p) {
            RawRing& r = raw_.ring;
            if (raw_.position_malformed || raw_.position.size() < 2) {
                if (!r.malformed) r.malformed = r.positions.size();
            } else {
                const double lon = raw_.position[0], lat = raw_.position[1];
                if (!(lon >= -180.0 && lon <= 180.0 && lat >= -90.0 && lat <= 90.0) && !r.outside) {
                    r.outside = r.positions.size();
                    r.outside_text = "(" + shortest_number(lon) + ", " + shortest_number(lat) + ")";
                }
                r.positions.push_back({lon, lat});
            }
            raw_.position.clear();
            raw_.position_malformed = false;
        } else if (level == p - 1) {
            raw_.ring.positions.shrink_to_fit();  // a large town holds millions of positions
            raw_.polygon.push_back(std::move(raw_.ring));
            raw_.ring = RawRing{};
        } else if (level == p - 2) {
            raw_.polygons.push_back(std::move(raw_.polygon));
            raw_.polygon = RawPolygon{};
        }
    }

    Polygon checked(RawPolygon& rings, const std::string& where) const {
        if (rings.empty()) fail(where + " has no rings");
        Polygon poly;
        for (std::size_t r = 0; r < rings.size(); ++r) {
            RawRing& ring = rings[r];
            const std::string ring_where = "ring " + std::to_string(r + 1) + " of " + where;
            const std::size_t entries = ring.positions.size() + (ring.malformed ? 1 : 0);
            if (entries < 4) fail(ring_where + " has fewer than four positions");
            const auto at = [&](std::size_t k) { return "position " + std::to_string(k + 1) + " of " + ring_where; };
            if (ring.malformed && (!ring.outside || *ring.malformed <= *ring.outside))
                fail(at(*ring.malformed) + " is not a position [longitude, latitude]");
            if (ring.outside)
                fail(at(*ring.outside) + " " + ring.outside_text +
                     " lies outside longitude -180..180 and latitude -90..90: GeoJSON positions are longitude and "
                     "latitude, and the file may be in a projected coordinate system");
            if (ring.positions.front().lon != ring.positions.back().lon ||
                ring.positions.front().lat != ring.positions.back().lat)
                fail(ring_where + " is not closed: its last position differs from its first");
            poly.push_back(std::move(ring.positions));
        }
        return poly;
    }

    void end_feature() {
        RawFeature& f = raw_;
        if (f.type != "Feature") fail("is not a GeoJSON Feature");
        if (!f.geometry || f.geometry_null) fail("has no geometry");
        if (!f.geometry_type) fail("its geometry has no type");
        const std::string& type = *f.geometry_type;
        const bool multi = type == "MultiPolygon";
        if (type != "Polygon" && !multi)
            fail("the geometry is a " + printable(type, 40) + "; a ward must be a Polygon or a MultiPolygon");
        if (f.position_level < 0) fail(multi ? "the MultiPolygon has no polygons" : "the polygon has no rings");
        if (f.misnested || f.position_level != (multi ? 3 : 2))
            fail(std::string("its coordinates are not nested as a ") + (multi ? "MultiPolygon's" : "Polygon's") +
                 (multi ? ": [[[[longitude, latitude], ...], ...], ...]" : ": [[[longitude, latitude], ...], ...]"));
        BoundaryFeature bf;
        for (std::size_t k = 0; k < f.polygons.size(); ++k)
            bf.polygons.push_back(checked(f.polygons[k], multi ? "polygon " + std::to_string(k + 1) : "the polygon"));
        bf.properties = std::move(f.properties);
        note_crossing_rings(bf, number_, source_, out_.notices);
        out_.features.push_back(std::move(bf));
        raw_ = RawFeature{};
        if (hook_) hook_(out_.features.size());
    }

    const std::string& source_;
    BoundaryFile& out_;
    const FeatureHook& hook_;
    std::vector<Frame> stack_;
    std::string key_;
    std::string root_type_;
    bool features_ = false;
    std::size_t number_ = 0;
    RawFeature raw_;
};

template <class Input>
BoundaryFile read_any(Input&& input, const std::string& source, const FeatureHook& after_feature) {
    BoundaryFile out;
    out.source = source;
    GeoJsonEvents events(source, out, after_feature);
    json::sax_parse(std::forward<Input>(input), &events);
    events.finish();
    return out;
}

}  // namespace

BoundaryFile read_geojson(std::istream& in, const std::string& source, const FeatureHook& after_feature) {
    return read_any(in, source, after_feature);
}

BoundaryFile read_geojson(const std::string& text, const std::string& source, const FeatureHook& after_feature) {
    return read_any(text, source, after_feature);
}

}  // namespace valdmora
