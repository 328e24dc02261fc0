// SPDX-License-Identifier: GPL-3.0-or-later
// The ward map: its classes, colours, legend, scale bar and shapes, recorded as drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "charts/svg_surface.h"
#include "charts/ward_map.h"

using namespace valdmora;

namespace {

class ShapeRecorder : public Surface {
public:
    struct Shape {
        std::vector<PixelRing> rings;
        ShapeStyle style;
        std::string name;
    };
    std::vector<Shape> shapes;
    std::vector<std::string> texts;

    float width() const override { return 800; }
    float height() const override { return 500; }
    float line_height() const override { return 15; }
    float text_width(const std::string& t) const override { return 7.0f * t.size(); }

    const Shape* named(const std::string& n) const {
        for (const Shape& s : shapes)
            if (s.name == n) return &s;
        return nullptr;
    }
    bool printed(const std::string& part) const {
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
    }

protected:
    void draw_line(float, float, float, float, Rgb) override {}
    void draw_circle(float, float, float, Rgb) override {}
    void draw_text(float, float, const std::string& t) override { texts.push_back(t); }
    void draw_shape(const std::vector<PixelRing>& r, const ShapeStyle& s, const std::string& n) override {
        shapes.push_back({r, s, n});
    }
};

MapWard square_ward(const std::string& name, double x0, MapWard::Shown shown, double value, bool surveyed) {
    MapWard w;
    w.name = name;
    w.polygons = {{{{x0, 0}, {x0 + 1000, 0}, {x0 + 1000, 1000}, {x0, 1000}, {x0, 0}}}};
    w.shown = shown;
    w.value = value;
    w.surveyed = surveyed;
    return w;
}

WardMapData three_wards() {
    WardMapData d;
    d.title = {"town.txt: negative binomial model", "Dogs per km\u00b2"};
    d.legend_title = "Dogs per km\u00b2";
    d.other_label = "surveyed";
    d.wards = {square_ward("Elm", 0, MapWard::Shown::value, 12, true),
               square_ward("Oak", 1000, MapWard::Shown::value, 40, false),
               square_ward("Quarry", 2000, MapWard::Shown::no_data, NAN, false)};
    return d;
}

}  // namespace

TEST(WardMapClasses, QuantileEqualAndDivergingLimits) {
    EXPECT_EQ(class_limits({0, 0, 0, 1, 10}, 4, true, false), (std::vector<double>{0, 1, 10}));
    EXPECT_EQ(class_limits({0, 0, 0, 1, 10}, 4, false, false), (std::vector<double>{0, 2.5, 5, 7.5, 10}));
    // type 7 quantiles of 1..10: 1 + 9 p
    const std::vector<double> q = class_limits({10, 9, 8, 7, 6, 5, 4, 3, 2, 1, NAN}, 5, true, false);
    ASSERT_EQ(q.size(), 6u);
    EXPECT_NEAR(q[1], 2.8, 1e-12);
    EXPECT_NEAR(q[4], 8.2, 1e-12);
    // about 0, the largest size either side
    EXPECT_EQ(class_limits({-3, 1, 2}, 4, false, true), (std::vector<double>{-3, -1.5, 0, 1.5, 3}));
    EXPECT_EQ(class_limits({5, 5}, 5, true, false), (std::vector<double>{5, 5}));
    EXPECT_TRUE(class_limits({NAN}, 5, true, false).empty());
}

TEST(WardMapClasses, PalettesRunOneWayAndDivergeAtZero) {
    for (int n : {2, 3, 5, 7}) {
        // sequential: each class darker than the one below
        for (int k = 1; k < n; ++k) {
            const Rgb a = class_colour(k - 1, n, false), b = class_colour(k, n, false);
            EXPECT_LT(b.r + b.g + b.b, a.r + a.g + a.b) << n << " classes, class " << k;
        }
    }
    // below 0 orange, above purple, darkest at the ends
    EXPECT_GT(class_colour(0, 6, true).r, class_colour(0, 6, true).b);
    EXPECT_GT(class_colour(5, 6, true).b, class_colour(5, 6, true).r);
    EXPECT_NE(class_colour(2, 6, true), class_colour(3, 6, true));
    EXPECT_EQ(scale_bar_metres(730), 500);
    EXPECT_EQ(scale_bar_metres(1999), 1000);
    EXPECT_EQ(scale_bar_metres(2000), 2000);
    EXPECT_EQ(scale_bar_metres(0), 0);
}

TEST(WardMap, DrawsEachWardOnceWithLegendScaleBarAndNoDataNamed) {
    ShapeRecorder s;
    plot_ward_map(s, three_wards(), NumberFormat{});
    for (const char* n : {"Elm", "Oak", "Quarry"}) ASSERT_NE(s.named(n), nullptr) << n;
    EXPECT_EQ(s.named("Elm")->style.outline_width, 2.0f);  // surveyed
    EXPECT_LT(s.named("Oak")->style.outline_width, 2.0f);
    EXPECT_TRUE(s.named("Quarry")->style.hatched);
    EXPECT_FALSE(s.named("Elm")->style.hatched);
    EXPECT_NE(s.named("Elm")->style.fill, s.named("Oak")->style.fill);
    // the larger value in the darker colour
    const Rgb lo = s.named("Elm")->style.fill, hi = s.named("Oak")->style.fill;
    EXPECT_LT(hi.r + hi.g + hi.b, lo.r + lo.g + lo.b);
    // squares stay square: the plane is not stretched
    const PixelRing& r = s.named("Elm")->rings[0];
    EXPECT_NEAR(r[1].first - r[0].first, r[0].second - r[2].second, 0.01);
    EXPECT_TRUE(s.printed("town.txt: negative binomial model"));
    EXPECT_TRUE(s.printed("Dogs per km\u00b2"));
    EXPECT_TRUE(s.printed("no data:"));
    EXPECT_TRUE(s.printed("Quarry"));
    EXPECT_TRUE(s.printed(" m") || s.printed(" km"));  // the scale bar's length
    EXPECT_TRUE(s.printed("12 to "));
    // one value throughout: one class, said so
    WardMapData same = three_wards();
    same.wards[1].value = 12;
    ShapeRecorder one;
    plot_ward_map(one, same, NumberFormat{});
    EXPECT_TRUE(one.printed("12, every ward"));
    EXPECT_EQ(one.named("Elm")->style.fill, one.named("Oak")->style.fill);

    // the ward under a pixel, the last drawn on top
    const WardMapData d = three_wards();
    const PixelRing& oak = s.named("Oak")->rings[0];
    const float cx = (oak[0].first + oak[1].first) / 2, cy = (oak[0].second + oak[2].second) / 2;
    EXPECT_EQ(ward_at(d, 800, 500, 15, cx, cy), std::optional<std::size_t>(1));
    EXPECT_EQ(ward_at(d, 800, 500, 15, 1, 499), std::nullopt);
}

TEST(WardMap, ALayerThatCannotBeDrawnSaysWhyAndTheSvgHoldsOneShapeAWard) {
    WardMapData d = three_wards();
    d.no_value_reason = "needs the sighting correction";
    ShapeRecorder s;
    plot_ward_map(s, d, NumberFormat{});
    EXPECT_TRUE(s.printed("needs the sighting correction"));
    EXPECT_FALSE(s.printed(" to "));  // no classes

    SvgSurface svg(800, 500, SvgSurface::Font{}, "map");
    d.names = true;
    plot_ward_map(svg, three_wards(), NumberFormat{});
    const std::string text = svg.svg();
    for (const char* n : {"Elm", "Oak", "Quarry"}) {
        const std::string tag = std::string("data-ward=\"") + n + "\"";
        const std::size_t first = text.find(tag);
        ASSERT_NE(first, std::string::npos) << n;
        EXPECT_EQ(text.find(tag, first + 1), std::string::npos) << n << " drawn twice";
    }
    EXPECT_NE(text.find("fill-rule=\"evenodd\""), std::string::npos);
    EXPECT_NE(text.find("<pattern id=\"hatch\""), std::string::npos);
}
