// SPDX-License-Identifier: GPL-3.0-or-later
// Ward boundaries from a GeoJSON file: Polygon and MultiPolygon features in longitude and
// latitude, matched to the data's wards by a name property, projected to a local equal-area
// plane so that a town keeps its shape and each ward's area is true.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace valdmora {

struct LonLat {
    double lon = 0.0, lat = 0.0;
};
struct PlanePoint {
    double x = 0.0, y = 0.0;  // metres east and north of the projection's centre
};

// One polygon: its outer ring, then its holes; each ring closed (last point = first).
using Ring = std::vector<LonLat>;
using Polygon = std::vector<Ring>;

struct BoundaryFeature {
    std::vector<Polygon> polygons;  // one for a Polygon, several for a MultiPolygon
    // the feature's string properties (numbers written as text too), in the file's order
    std::vector<std::pair<std::string, std::string>> properties;
};

struct BoundaryFile {
    std::string source;  // the path, for messages
    std::vector<BoundaryFeature> features;
    // rings that cross themselves: drawn all the same, and said so
    std::vector<std::string> notices;
};

// Reads the file through the JSON library's event parser, so that no part of a large file is
// ever held as a JSON document. Raises a UserError that says what is wrong and where: not JSON, not a GeoJSON
// FeatureCollection, a geometry other than Polygon or MultiPolygon, a ring of fewer than
// four positions or not closed, a position outside longitude/latitude ranges.
// after_feature(n) runs once each feature is read (n so far): what it throws, such as a
// request to stop, ends the reading.
using FeatureHook = std::function<void(std::size_t features)>;
BoundaryFile read_boundary_file(const std::string& path, const FeatureHook& after_feature = {});
// The same from the file's text (source names it in messages).
BoundaryFile parse_boundaries(const std::string& text, const std::string& source, const FeatureHook& after_feature = {});

// Names match after trimming blanks and ignoring letter case (ASCII letters).
std::string name_key(const std::string& name);

// The Lambert azimuthal equal-area projection on the WGS 84 ellipsoid, centred on a point:
// areas are true everywhere, shapes true near the centre.
class EqualAreaProjection {
public:
    EqualAreaProjection() : EqualAreaProjection(LonLat{}) {}
    explicit EqualAreaProjection(LonLat centre);
    PlanePoint operator()(LonLat p) const;
    LonLat centre() const { return centre_; }

private:
    LonLat centre_;
    double sin_beta1_ = 0.0, cos_beta1_ = 1.0, d_ = 1.0, rq_ = 0.0, qp_ = 2.0;
};

// A ward's area in square kilometres: the outer rings' areas less their holes'.
double area_km2(const std::vector<Polygon>& polygons, const EqualAreaProjection& projection);

struct WardShape {
    std::string name;                  // the data's name
    std::vector<Polygon> polygons;     // every feature of that name together
    std::vector<std::vector<std::vector<PlanePoint>>> plane;  // polygons' rings, projected
    double area_km2 = 0.0;
};

// The data's wards matched to the boundaries.
struct WardBoundaries {
    std::string name_property;
    EqualAreaProjection projection;
    std::vector<WardShape> shapes;     // the matched wards, in the order of the names given
    std::vector<WardShape> unmatched;  // the boundaries without a ward, named as the file has them
    std::vector<std::string> wards_without_boundary;
    std::vector<std::string> boundaries_without_ward;
    std::vector<std::string> notices;  // carried from the file
    // the shape of a ward (by the data's name, exactly), or null
    const WardShape* shape(const std::string& ward) const;
};

// Matches the wards by name_property, or, when it is empty, by the string property whose
// values match the most ward names. Raises a UserError when the named property is on no
// feature, or no property matches any ward (naming the properties it tried). The file's
// polygons move into the wards' shapes: pass a copy to keep them.
WardBoundaries match_wards(BoundaryFile file, const std::vector<std::string>& ward_names,
                           const std::string& name_property = {});

}  // namespace valdmora
