// SPDX-License-Identifier: GPL-3.0-or-later
// Ward boundaries, areas, queen contiguity and Moran's I against the values sf and spdep give
// for the test town (tests/reference/make_town.R), and the messages for bad boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>

#include "cycle/user_error.h"
#include "spatial/boundaries.h"
#include "spatial/moran.h"

using namespace valdmora;

namespace {

const std::string kDir = VALDMORA_REFERENCE_DIR;

std::map<std::string, std::string> town_values() {
    std::ifstream in(kDir + "/town_values.txt");
    std::map<std::string, std::string> v;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t sp = line.find(' ');
        v[line.substr(0, sp)] = line.substr(sp + 1);
    }
    return v;
}

double number(const std::map<std::string, std::string>& v, const std::string& key) {
    const auto it = v.find(key);
    if (it == v.end()) ADD_FAILURE() << "no reference value " << key;
    return it == v.end() ? NAN : std::stod(it->second);
}

std::vector<std::string> town_wards() {
    std::ifstream in(kDir + "/town_counts.txt");
    std::vector<std::string> names;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) names.push_back(line.substr(0, line.find(',')));
    return names;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, sep);) out.push_back(part);
    return out;
}

std::string message_of(const std::string& text) {
    try {
        parse_boundaries(text, "b.geojson");
    } catch (const UserError& e) {
        return e.what();
    }
    return "(no error)";
}

std::string square(double lon, double lat, double side) {
    std::ostringstream s;
    s.precision(17);
    s << "[[" << lon << "," << lat << "],[" << lon + side << "," << lat << "],[" << lon + side << "," << lat + side
      << "],[" << lon << "," << lat + side << "],[" << lon << "," << lat << "]]";
    return s.str();
}

std::string poly_of(const std::string& rings) { return R"({"type":"Polygon","coordinates":[)" + rings + "]}"; }

std::string collection(const std::string& features) {
    return R"({"type":"FeatureCollection","features":[)" + features + "]}";
}

std::string feature(const std::string& name, const std::string& geometry) {
    return R"({"type":"Feature","properties":{"name":")" + name + R"("},"geometry":)" + geometry + "}";
}

}  // namespace

TEST(TownBoundaries, MatchByTheBestPropertyIgnoringCaseAndBlanksAndListTheUnmatched) {
    const WardBoundaries b = match_wards(read_boundary_file(kDir + "/town.geojson"), town_wards());
    EXPECT_EQ(b.name_property, "ward_name");  // not "district", which matches nothing, nor "id"
    EXPECT_EQ(b.wards_without_boundary, std::vector<std::string>{"Ghost"});
    EXPECT_EQ(b.boundaries_without_ward, std::vector<std::string>{"Quarry"});
    ASSERT_NE(b.shape("W03"), nullptr);  // "w03" in the file
    ASSERT_NE(b.shape("W11"), nullptr);  // " w11 " in the file
    EXPECT_EQ(b.shape("W08")->polygons.size(), 2u);
    EXPECT_EQ(b.shape("W16")->polygons[0].size(), 2u);  // outer ring and pond
    EXPECT_EQ(b.shapes.size(), town_wards().size() - 1);
    EXPECT_TRUE(b.notices.empty());
}

TEST(TownBoundaries, AreasAgreeWithProjAndAKnownArea) {
    const auto v = town_values();
    const WardBoundaries b = match_wards(read_boundary_file(kDir + "/town.geojson"), town_wards());
    for (const WardShape& s : b.shapes)
        EXPECT_NEAR(s.area_km2, number(v, "area." + name_key(s.name)), 1e-9) << s.name;
    // the holed ward less its pond, the pond on its own
    EXPECT_LT(b.shape("W16")->area_km2, 0.5);
    EXPECT_NEAR(b.shape("Islet")->area_km2, 0.0521, 1e-4);

    // a box of 0.1 degrees bounded by meridians and parallels, its parallels followed closely
    std::vector<LonLat> ring;
    const int steps = 400;
    for (int k = 0; k <= steps; ++k) ring.push_back({10.0 + 0.1 * k / steps, 45.0});
    for (int k = 0; k <= steps; ++k) ring.push_back({10.1 - 0.1 * k / steps, 45.1});
    ring.push_back(ring.front());
    const EqualAreaProjection laea({10.05, 45.05});
    EXPECT_NEAR(area_km2({Polygon{ring}}, laea), number(v, "box.area"), 1e-6 * 87.5);
    // equal area: the same wherever the projection is centred
    EXPECT_NEAR(area_km2({Polygon{ring}}, EqualAreaProjection({12.0, 47.0})), number(v, "box.area"), 1e-5 * 87.5);
    // local: a metre east at the centre is a metre on the map
    const PlanePoint east = laea({10.05 + 1e-5, 45.05});
    EXPECT_NEAR(east.x, 6378137.0 * 1e-5 * std::numbers::pi / 180 * std::cos(45.05 * std::numbers::pi / 180) /
                            std::sqrt(1 - 0.00669437999014 * std::pow(std::sin(45.05 * std::numbers::pi / 180), 2)),
                1e-6);
    EXPECT_NEAR(east.y, 0.0, 1e-6);
}

TEST(TownBoundaries, QueenNeighboursAsSpdepFindsThem) {
    const auto v = town_values();
    const BoundaryFile file = read_boundary_file(kDir + "/town.geojson");
    std::vector<std::string> names;
    for (const BoundaryFeature& f : file.features)
        for (const auto& [k, value] : f.properties)
            if (k == "ward_name") names.push_back(value);
    const WardBoundaries b = match_wards(file, names, "ward_name");
    std::vector<const WardShape*> shapes;
    for (const WardShape& s : b.shapes) shapes.push_back(&s);
    const Neighbours nb = queen_neighbours(shapes);
    ASSERT_EQ(nb.size(), 30u);
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        std::vector<std::string> got;
        for (std::size_t t : nb[s]) got.push_back(name_key(shapes[t]->name));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, split(v.at("nb." + name_key(shapes[s]->name)), ',')) << shapes[s]->name;
    }
}

TEST(TownBoundaries, MoransIOfTheSurveyedWardsAsSpdepGivesIt) {
    const auto v = town_values();
    std::vector<std::string> surveyed;
    std::vector<double> x;
    for (const std::string& pair : split(v.at("residuals"), ';')) {
        const std::size_t eq = pair.find('=');
        surveyed.push_back(pair.substr(0, eq));
        x.push_back(std::stod(pair.substr(eq + 1)));
    }
    const WardBoundaries b = match_wards(read_boundary_file(kDir + "/town.geojson"), town_wards());
    const SpatialCheck c = spatial_check(surveyed, x, b);
    ASSERT_TRUE(c.moran) << c.moran.reason();
    EXPECT_EQ(c.left_out, (std::vector<std::string>{"W01", "Islet"}));
    EXPECT_EQ(c.moran->n, static_cast<std::size_t>(number(v, "moran.n")));
    EXPECT_EQ(c.wards.size(), c.moran->n);
    EXPECT_NEAR(c.moran->i, number(v, "moran.i"), 1e-6);
    EXPECT_NEAR(c.moran->expected, number(v, "moran.expected"), 1e-6);
    EXPECT_NEAR(c.moran->variance, number(v, "moran.variance"), 1e-6);
    EXPECT_NEAR(c.moran->z, number(v, "moran.z"), 1e-6);
    EXPECT_NEAR(c.moran->p_value, number(v, "moran.p"), 1e-6);
    EXPECT_EQ(c.wards_without_boundary, std::vector<std::string>{"Ghost"});
    EXPECT_NE(spatial_check_sentence(c, {}).find("no more alike than chance"), std::string::npos);
}

TEST(MoranTest, AlikeNeighboursGiveTheActionableSentenceAndTooFewWardsSayWhy) {
    // a strip of six wards, values rising along it: neighbours are alike
    Neighbours strip{{1}, {0, 2}, {1, 3}, {2, 4}, {3, 5}, {4}};
    SpatialCheck c;
    c.moran = moran_test({1, 2, 3, 4, 5, 6}, strip);
    ASSERT_TRUE(c.moran);
    // I by hand: z = -2.5..2.5, sum z^2 = 17.5; lag products 2*(-2.5*-1.5)/1 ... row-standardised
    const double z[6] = {-2.5, -1.5, -0.5, 0.5, 1.5, 2.5};
    double cross = 0;
    for (int i = 0; i < 6; ++i)
        for (std::size_t j : strip[i]) cross += z[i] * z[j] / strip[i].size();
    EXPECT_NEAR(c.moran->i, 6.0 / 6.0 * cross / 17.5, 1e-12);
    const std::string s = spatial_check_sentence(c, {',', '.'});
    EXPECT_NE(s.find("are alike"), std::string::npos) << s;
    EXPECT_NE(s.find("predictor that varies across the town is probably missing"), std::string::npos);
    EXPECT_NE(s.find("0,"), std::string::npos) << "numbers in the user's separator: " << s;

    c.moran = moran_test({1, 2, 3}, {{1}, {0, 2}, {1}});
    EXPECT_FALSE(c.moran);
    EXPECT_NE(spatial_check_sentence(c, {}).find("not available: fewer than four"), std::string::npos);
    EXPECT_FALSE(moran_test({2, 2, 2, 2}, {{1}, {0, 2}, {1, 3}, {2}}));
}

TEST(BoundaryMessages, SayWhatIsWrongAndWhere) {
    const std::string poly = R"({"type":"Polygon","coordinates":[)" + square(10, 45, 0.01) + "]}";
    EXPECT_NE(message_of("{\"type\": \"FeatureCollection\", ").find("b.geojson is not GeoJSON"), std::string::npos);
    EXPECT_NE(message_of("[1, 2]").find("must be a FeatureCollection"), std::string::npos);
    EXPECT_NE(message_of(collection(feature("A", R"({"type":"Polygon","coordinates":[[[10,45e52103]]]})")))
                  .find("b.geojson is not GeoJSON: number overflow"),
              std::string::npos);
    EXPECT_NE(message_of(R"({"type":"Topology"})").find("must be a FeatureCollection"), std::string::npos);
    EXPECT_NE(message_of(collection("")).find("no ward boundaries"), std::string::npos);
    EXPECT_NE(message_of(collection(feature("A", poly) + "," +
                                    feature("B", R"({"type":"LineString","coordinates":[[10,45],[10.1,45]]})")))
                  .find("feature 2: the geometry is a LineString; a ward must be a Polygon or a MultiPolygon"),
              std::string::npos);
    // projected metres, as an export without reprojection has them
    EXPECT_NE(message_of(collection(feature("A", R"({"type":"Polygon","coordinates":[)" +
                                                     square(512000, 5040000, 100) + "]}")))
                  .find("feature 1: position 1 of ring 1 of the polygon (512000, 5040000) lies outside longitude"),
              std::string::npos);
    EXPECT_NE(message_of(collection(feature(
                             "A", R"({"type":"Polygon","coordinates":[[[10,45],[10.1,45],[10.1,45.1],[10,45.1]]]})")))
                  .find("feature 1: ring 1 of the polygon is not closed"),
              std::string::npos);
    EXPECT_NE(message_of(collection(feature("A", R"({"type":"MultiPolygon","coordinates":[[[[10,45],[10.1,45],[10,45]]]]})")))
                  .find("feature 1: ring 1 of polygon 1 has fewer than four positions"),
              std::string::npos);
    EXPECT_NE(message_of(collection(R"({"type":"Feature","properties":{},"geometry":null})")).find("has no geometry"),
              std::string::npos);

    const BoundaryFile two = parse_boundaries(collection(feature("North", poly) + "," + feature("South", poly)), "b");
    try {
        match_wards(two, {"Elm", "Oak"});
        ADD_FAILURE() << "no ward matches";
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("no property of the boundaries matches a ward name of the data "
                                             "(properties: 'name'"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(match_wards(two, {"North"}, "NAME"), UserError);  // property names keep their case
    EXPECT_EQ(match_wards(two, {"north"}, "name").boundaries_without_ward, std::vector<std::string>{"South"});
}

TEST(BoundaryMessages, KeysInAnyOrderAndNestingChecked) {
    // geometry before properties, coordinates before the type, a number as the name, nested
    // properties passed over
    const BoundaryFile f = parse_boundaries(
        collection(R"({"geometry":{"coordinates":[)" + square(10, 45, 0.01) +
                   R"(],"type":"Polygon"},"properties":{"meta":{"name":"x"},"code":12,"name":"Elm"},"type":"Feature"})"),
        "b");
    ASSERT_EQ(f.features.size(), 1u);
    EXPECT_EQ(f.features[0].properties,
              (std::vector<std::pair<std::string, std::string>>{{"code", "12"}, {"name", "Elm"}}));
    EXPECT_EQ(f.features[0].polygons[0][0].size(), 5u);
    EXPECT_NE(message_of(collection(feature("A", R"({"type":"Polygon","coordinates":[[10,45],[10.1,45],[10,45.1],[10,45]]})")))
                  .find("feature 1: its coordinates are not nested as a Polygon's"),
              std::string::npos);
    EXPECT_NE(message_of(collection(feature("A", R"({"type":"Polygon","coordinates":[[[10,45],[10.1,"x"],[10,45.1],[10,45]]]})")))
                  .find("feature 1: position 2 of ring 1 of the polygon is not a position"),
              std::string::npos);
    EXPECT_NE(message_of(collection(feature("A", poly_of(R"([])")))).find("feature 1: the polygon has no rings"),
              std::string::npos);
    EXPECT_NE(message_of(collection(feature("A", poly_of(square(10, 45, 0.01))) + ",3"))
                  .find("entry 2 of the features list is not a GeoJSON Feature"),
              std::string::npos);
}

TEST(BoundaryMessages, ASelfCrossingRingIsDrawnWithANotice) {
    const std::string bowtie = R"({"type":"Polygon","coordinates":[[[10,45],[10.1,45.1],[10.1,45],[10,45.1],[10,45]]]})";
    const std::string holed = R"({"type":"Polygon","coordinates":[)" + square(10, 45, 0.1) + "," +
                              square(10.02, 45.02, 0.01) + "]}";
    const BoundaryFile f = parse_boundaries(collection(feature("A", holed) + "," + feature("B", bowtie)), "b");
    ASSERT_EQ(f.notices.size(), 1u);
    EXPECT_NE(f.notices[0].find("feature 2: ring 1 of polygon 1 crosses itself"), std::string::npos) << f.notices[0];
    const WardBoundaries b = match_wards(f, {"A", "B"});
    EXPECT_EQ(b.shapes.size(), 2u);
    EXPECT_EQ(b.notices.size(), 1u);
}

TEST(BoundaryMessages, AHookAfterEachFeatureCanStopTheReading) {
    struct Stop {};
    std::size_t seen = 0;
    EXPECT_THROW(read_boundary_file(kDir + "/town.geojson",
                                    [&](std::size_t n) {
                                        seen = n;
                                        if (n == 3) throw Stop{};
                                    }),
                 Stop);
    EXPECT_EQ(seen, 3u);
}

TEST(BoundaryMessages, TwoWardsOfOneNameBothGetTheBoundary) {
    const std::string poly = R"({"type":"Polygon","coordinates":[)" + square(10, 45, 0.01) + "]}";
    const WardBoundaries b = match_wards(parse_boundaries(collection(feature("Elm", poly)), "b"), {"Elm", "ELM "});
    ASSERT_EQ(b.shapes.size(), 2u);
    EXPECT_EQ(b.shapes[0].polygons.size(), 1u);
    EXPECT_EQ(b.shapes[1].polygons.size(), 1u);
    EXPECT_NEAR(b.shapes[0].area_km2, b.shapes[1].area_km2, 1e-12);
    EXPECT_GT(b.shapes[0].area_km2, 0.8);
}
