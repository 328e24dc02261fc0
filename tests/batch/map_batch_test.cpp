// SPDX-License-Identifier: GPL-3.0-or-later
// Ward boundaries on the command line: the spatial check in estimate's JSON and lines, the
// map as SVG and PNG, and bad boundaries or options refused before anything is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "spatial/boundaries.h"
#include "spatial/moran.h"
#include "testkit/csv_reader.h"
#include "testkit/process.h"
#include "testkit/scratch_dir.h"

namespace fs = std::filesystem;
using valdmora::testing::Outcome;

namespace {

class BoundariesBatch : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_map");
        const fs::path ref = VALDMORA_REFERENCE_DIR;
        fs::copy_file(ref / "town_counts.txt", dir_ / "town.txt");
        fs::copy_file(ref / "town.geojson", dir_ / "town.geojson");
    }
    void TearDown() override { fs::remove_all(dir_); }
    Outcome run(std::vector<std::string> args) {
        return valdmora::testing::run_program(VALDMORA_BATCH, args, dir_, {});
    }
    std::string file(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name, std::ios::binary) << text; }
    bool nothing_written() {
        return !fs::exists(dir_ / "ward_predictions.txt") && !fs::exists(dir_ / "user.txt") &&
               !fs::exists(dir_ / "map.svg") && !fs::exists(dir_ / "map.png");
    }
    fs::path dir_;
};

const std::vector<std::string> kModel{"--dist", "negbin", "--free", "0,households"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(BoundariesBatch, EstimateAddsTheSpatialObjectOfThePearsonResiduals) {
    const Outcome o = run(with(with({"estimate", "town.txt"}, kModel),
                               {"--boundaries", "town.geojson", "--json", "--residuals", "res.csv"}));
    ASSERT_EQ(o.status, 0) << o.err;
    const auto j = nlohmann::json::parse(o.out);
    ASSERT_TRUE(j.contains("spatial")) << o.out;
    const auto& s = j["spatial"];
    for (const char* key : {"morans_i", "expected", "variance", "z", "p_value"}) EXPECT_TRUE(s[key].is_number()) << key;
    EXPECT_EQ(s["wards"], 18);
    EXPECT_EQ(s["left_out"], (nlohmann::json{"W01", "Islet"}));
    EXPECT_EQ(s["wards_without_boundary"], nlohmann::json{"Ghost"});
    EXPECT_EQ(s["boundaries_without_ward"], nlohmann::json{"Quarry"});
    EXPECT_EQ(s["name_property"], "ward_name");
    EXPECT_NEAR(s["expected"].get<double>(), -1.0 / 17, 1e-15);
    // the test is of the Pearson residuals the residuals file holds, ward by ward
    const auto rows = valdmora::testing::read_csv(file("res.csv"));
    std::vector<std::string> names;
    std::vector<double> pearson;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        names.push_back(rows[r][0]);
        pearson.push_back(std::stod(rows[r][3]));
    }
    const auto b = valdmora::match_wards(valdmora::read_boundary_file((dir_ / "town.geojson").string()),
                                         {names.begin(), names.end()});
    const auto check = valdmora::spatial_check(names, pearson, b);
    ASSERT_TRUE(check.moran);
    EXPECT_NEAR(s["morans_i"].get<double>(), check.moran->i, 1e-9);
    EXPECT_NEAR(s["p_value"].get<double>(), check.moran->p_value, 1e-9);
    // the unmatched named where a user reads them
    EXPECT_NE(o.err.find("Wards without a boundary (not on the map): Ghost"), std::string::npos) << o.err;

    const Outcome lines = run(with(with({"estimate", "town.txt"}, kModel), {"--boundaries", "town.geojson", "--checks"}));
    ASSERT_EQ(lines.status, 0) << lines.err;
    EXPECT_NE(lines.out.find("The residuals of neighbouring wards are alike (Moran's I"), std::string::npos) << lines.out;
}

TEST_F(BoundariesBatch, BadBoundariesOrOptionsWriteNothing) {
    write("lines.geojson", R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"n":"W01"},)"
                           R"("geometry":{"type":"LineString","coordinates":[[10,45],[10.1,45]]}}]})");
    Outcome o = run(with(with({"estimate", "town.txt"}, kModel), {"--boundaries", "lines.geojson"}));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("lines.geojson, feature 1: the geometry is a LineString"), std::string::npos) << o.err;
    EXPECT_TRUE(nothing_written());

    o = run(with(with({"estimate", "town.txt"}, kModel), {"--boundaries", "town.geojson", "--name-property", "district"}));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("no value of 'district' of the boundaries matches a ward name"), std::string::npos) << o.err;
    EXPECT_TRUE(nothing_written());

    o = run(with(with({"estimate", "town.txt"}, kModel), {"--name-property", "ward_name"}));
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("--name-property needs --boundaries"), std::string::npos) << o.err;
    o = run({"map", "town.txt", "--boundaries", "town.geojson"});
    EXPECT_EQ(o.status, 2);
    o = run({"map", "town.txt", "--boundaries", "town.geojson", "--svg", "map.svg", "--layer", "dogs"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("the layers are predicted, counted, density, width, residual, present"), std::string::npos);
    o = run({"map", "town.txt", "--boundaries", "town.geojson", "--svg", "town.geojson"});
    EXPECT_EQ(o.status, 2) << "the boundaries file is never replaced";
    EXPECT_TRUE(nothing_written());
}

TEST_F(BoundariesBatch, TheSvgMapHoldsOneShapePerMatchedWardAndThePngIs300Dpi) {
    Outcome o = run(with(with({"map", "town.txt"}, kModel), {"--boundaries", "town.geojson", "--svg", "map.svg",
                                                             "--layer", "density"}));
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string svg = file("map.svg");
    std::size_t shapes = 0;
    for (std::size_t at = 0; (at = svg.find("<path data-ward=", at)) != std::string::npos; ++at) ++shapes;
    EXPECT_EQ(shapes, 30u) << "29 matched wards and the quarry";
    for (const char* w : {"W01", "W08", "W16", "Islet", "Quarry"}) {
        const std::string tag = std::string("data-ward=\"") + w + "\"";
        const std::size_t first = svg.find(tag);
        ASSERT_NE(first, std::string::npos) << w;
        EXPECT_EQ(svg.find(tag, first + 1), std::string::npos) << w;
    }
    EXPECT_EQ(svg.find("data-ward=\"Ghost\""), std::string::npos);
    EXPECT_NE(svg.find("Dogs per km\u00b2"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "ward_predictions.txt"));

    o = run({"map", "town.txt", "--boundaries", "town.geojson", "--svg", "present.svg", "--layer", "present"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(file("present.svg").find("needs the sighting correction"), std::string::npos);
    // with sightings each ward's dogs present are drawn: no ward is left without a value
    o = run({"map", "town.txt", "--boundaries", "town.geojson", "--svg", "present.svg", "--layer", "present",
             "--sighting", "40,22,25"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string present = file("present.svg");
    EXPECT_EQ(present.find("needs the sighting correction"), std::string::npos);
    EXPECT_NE(present.find("Dogs present"), std::string::npos);

    o = run(with(with({"map", "town.txt"}, kModel), {"--boundaries", "town.geojson", "--png", "map.png"}));
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string png = file("map.png");
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    // pHYs: pixels per metre, 300 dpi
    const std::size_t phys = png.find("pHYs");
    ASSERT_NE(phys, std::string::npos);
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(png[phys + 4 + k]); };
    EXPECT_EQ((byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3), 11811);
}
