// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "charts/charts.h"
#include "charts/plan_chart.h"
#include "charts/svg_surface.h"

using namespace valdmora;

namespace {

// Logs every primitive that reaches the toolkit.
class RecordingSurface : public Surface {
public:
    struct Line {
        float x1, y1, x2, y2;
        Rgb colour;
        bool dashed;
    };
    struct Circle {
        float x, y, r;
        Rgb colour;
    };
    struct Text {
        float x, y;
        std::string text;
        Rgb colour;
        bool bold;
    };
    std::vector<Line> lines;
    std::vector<Circle> circles;
    std::vector<Text> texts;

    float width() const override { return 800.0f; }
    float height() const override { return 280.0f; }
    float line_height() const override { return 13.0f; }
    float text_width(const std::string& t) const override { return 6.0f * static_cast<float>(t.size()); }

    const Text* find_text(const std::string& t) const {
        for (const Text& x : texts)
            if (x.text == t) return &x;
        return nullptr;
    }

protected:
    void draw_line(float x1, float y1, float x2, float y2, Rgb c) override { lines.push_back({x1, y1, x2, y2, c, dashed()}); }
    void draw_circle(float x, float y, float r, Rgb c) override { circles.push_back({x, y, r, c}); }
    void draw_text(float x, float y, const std::string& t) override { texts.push_back({x, y, t, text_colour(), bold()}); }
};

const NumberFormat kPoint{'.', ','};

}  // namespace

TEST(Scales, TickStepsFromTheWorkedExamples) {
    EXPECT_EQ(tick_step(5), 1);
    EXPECT_EQ(tick_step(50), 10);
    EXPECT_EQ(tick_step(99), 10);
    EXPECT_EQ(tick_step(24.9f), 2);
    EXPECT_EQ(tick_step(120), 12);
    EXPECT_EQ(tick_step(37), 5);
    EXPECT_EQ(tick_step(8), 1);
    EXPECT_EQ(tick_step(11), 2);
    EXPECT_EQ(tick_step(0.5f), 0);  // no whole-number step below one unit
}

TEST(Scales, TickPositionsStartStrictlyAboveLow) {
    EXPECT_EQ(tick_positions(0, 37, 5), (std::vector<float>{5, 10, 15, 20, 25, 30, 35}));
    EXPECT_EQ(tick_positions(-3, 12, 3), (std::vector<float>{0, 3, 6, 9, 12}));
    EXPECT_TRUE(tick_positions(0, 10, 0).empty());
    EXPECT_EQ(label_width(5), 8.0f);
    EXPECT_EQ(label_width(12), 16.0f);
}

TEST(Scales, RangeScanAndHelpers) {
    const float one[] = {4.0f};
    EXPECT_TRUE(range_scan(one).empty());
    const float same[] = {2.0f, 2.0f};
    EXPECT_TRUE(range_scan(same).empty());
    const Range none = range_scan({});
    EXPECT_FALSE(none.empty());
    EXPECT_EQ(none.hi, -1e20f);
    EXPECT_EQ(imin(3, 10), 3);
    EXPECT_EQ(imin(12, 10), 10);
    EXPECT_EQ(point_colours(3), (Rgb{255, 128, 0}));
    EXPECT_EQ(point_colours(10), (Rgb{192, 192, 192}));
    EXPECT_NEAR(Log10(1000.0), 3.0, 1e-15);
}

namespace {
CountsChartData counts_data(std::vector<float> heights, std::vector<float> positions, const std::string& title,
                            bool origin) {
    CountsChartData d;
    d.heights = std::move(heights);
    d.positions = std::move(positions);
    d.title = title;
    d.origin_at_zero = origin;
    return d;
}
LikelihoodChartData profile_data(std::vector<float> ll, std::vector<float> total, bool simulated, float sim_total,
                                 double lower, double upper, Rgb colour = Rgb{0, 0, 192}) {
    LikelihoodChartData d;
    d.log_likelihood = std::move(ll);
    d.total = std::move(total);
    d.simulated = simulated;
    d.sim_total = sim_total;
    d.lower = lower;
    d.upper = upper;
    d.colour = colour;
    return d;
}
}  // namespace

TEST(CountsChart, AxesTicksAndColours) {
    RecordingSurface s;
    std::vector<float> counts, preds;
    for (int i = 0; i < 12; ++i) {
        counts.push_back(12.0f + 18.0f * i / 11.0f);  // 12 .. 30
        preds.push_back(10.0f + i);
    }
    plot_counts(s, counts_data(counts, preds, "predicted", true), kPoint);
    ASSERT_EQ(s.circles.size(), 12u);
    EXPECT_EQ(s.circles[0].colour, (Rgb{0, 0, 0}));
    EXPECT_EQ(s.circles[8].colour, (Rgb{255, 0, 0}));
    // the tenth ward keeps its silver; the wards beyond the key's ten are another, named grey
    EXPECT_EQ(s.circles[9].colour, (Rgb{192, 192, 192}));
    for (int i = 10; i < 12; ++i) EXPECT_EQ(s.circles[i].colour, kOtherWardsRgb);
    EXPECT_NE(kOtherWardsRgb, (Rgb{192, 192, 192}));
    // with the origin at zero: counts 0 .. 30, ticks 5 .. 30 labelled " 5 " .. " 30 "
    for (const char* label : {" 5 ", " 10 ", " 30 "}) EXPECT_NE(s.find_text(label), nullptr) << label;
    EXPECT_EQ(s.find_text(" 0 "), nullptr);
    const auto* title = s.find_text("predicted");
    ASSERT_NE(title, nullptr);
    EXPECT_FLOAT_EQ(title->x, 720.0f);
    EXPECT_FLOAT_EQ(title->y, 0.89f * 280.0f);
    // the horizontal axis runs from 0 to 21 at the height of count 0
    const float y0 = (15.0f - 0.0f) * (280.0f / 30.0f * 0.75f) + 140.0f;
    EXPECT_FLOAT_EQ(s.lines[0].y1, y0);
    EXPECT_FLOAT_EQ(s.lines[0].x1, 80.0f);
    EXPECT_FLOAT_EQ(s.lines[0].x2, 720.0f);
}

TEST(CountsChart, WithoutOriginTheAxesStartAtTheData) {
    RecordingSurface s;
    const std::vector<float> counts{12, 30, 20}, preds{1, 50, 20};
    plot_counts(s, counts_data(counts, preds, "x", false), kPoint);
    EXPECT_EQ(s.find_text(" 12 "), nullptr);  // 12 itself gets no tick
    for (const char* label : {" 14 ", " 16 ", " 30 "}) EXPECT_NE(s.find_text(label), nullptr) << label;
}

TEST(CountsChart, EmptyAndTinyRanges) {
    RecordingSurface blank;
    plot_counts(blank, counts_data({}, {}, "predicted", true), kPoint);
    EXPECT_TRUE(blank.texts.empty() && blank.lines.empty());

    // equal counts, or a constant-only model's equal predictions: the points in a line, not
    // an empty chart
    RecordingSurface flat;
    const std::vector<float> same{7, 7, 7}, x{1, 2, 3};
    plot_counts(flat, counts_data(same, x, "predicted", false), kPoint);
    EXPECT_EQ(flat.circles.size(), 3u);
    for (const auto& c : flat.circles) EXPECT_FLOAT_EQ(c.y, flat.circles[0].y);
    RecordingSurface constant;
    const std::vector<float> counts{3, 9, 14}, fitted{8.6667f, 8.6667f, 8.6667f};
    plot_counts(constant, counts_data(counts, fitted, "predicted", true), kPoint);
    ASSERT_EQ(constant.circles.size(), 3u);
    for (const auto& c : constant.circles) {
        EXPECT_FLOAT_EQ(c.x, constant.circles[0].x);
        EXPECT_TRUE(c.x > 0.0f && c.x < 800.0f);
    }

    // positions less than a unit apart: points and axes, no ticks, nothing undefined
    RecordingSurface tiny;
    const std::vector<float> c{3, 9}, p{0.2f, 0.5f};
    plot_counts(tiny, counts_data(c, p, "a", false), kPoint);
    EXPECT_EQ(tiny.circles.size(), 2u);
    for (const auto& l : tiny.lines) EXPECT_TRUE(std::isfinite(l.x1) && std::isfinite(l.y2));
}

TEST(LikelihoodChart, ProfileLabelsAndLines) {
    RecordingSurface s;
    std::vector<float> ll, total;
    for (int k = -10; k <= 10; ++k) {
        ll.push_back(-100.0f - 0.02f * k * k);
        total.push_back(400.0f + 20.0f * k);
    }
    double lower = 300, upper = 500;
    plot_likelihood(s, profile_data(ll, total, true, 450.0f, lower, upper), kPoint);
    // labels alternate rows: point 2 lower (H - 15), point 3 upper (H - 25)
    // whole totals without the pattern's bare separator
    const auto* p2 = s.find_text("220");
    const auto* p3 = s.find_text("240");
    ASSERT_TRUE(p2 && p3);
    EXPECT_FLOAT_EQ(p2->y, 265.0f);
    EXPECT_FLOAT_EQ(p3->y, 255.0f);
    EXPECT_EQ(s.find_text("200"), nullptr);  // the first point has no label
    EXPECT_EQ(s.find_text("220."), nullptr);
    EXPECT_NE(s.find_text("-100.0000"), nullptr);
    EXPECT_NE(s.find_text("-102.0000"), nullptr);
    const auto* title = s.find_text("log likelihood");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->colour, (Rgb{0, 0, 192}));
    EXPECT_FLOAT_EQ(title->x, 600.0f);
    // and under it what the axis of totals holds
    const auto* note = s.find_text("across: the unsurveyed wards' total of dogs");
    ASSERT_NE(note, nullptr);
    EXPECT_LE(note->x + 6.0f * static_cast<float>(note->text.size()), 800.0f);  // whole inside the right edge
    EXPECT_GT(note->y, title->y);

    // the dashed red line 1.92 below the maximum
    int dashed = 0;
    const float scale = 280.0f / 2.0f * 0.75f;
    for (const auto& l : s.lines)
        if (l.dashed && std::fabs(l.x2 - l.x1) > 100.0f) {  // the legend's samples are short
            ++dashed;
            EXPECT_EQ(l.colour, (Rgb{255, 0, 0}));
            EXPECT_NEAR(l.y1, (-101.0f - (-100.0f - 1.92f)) * scale + 140.0f, 1e-3);
        }
    EXPECT_EQ(dashed, 1);
    // vertical lines: red at the true total (x of point 13.5), green at the limits
    auto vertical = [&](Rgb c) {
        std::vector<float> xs;
        for (const auto& l : s.lines)
            if (l.colour == c && l.x1 == l.x2 && l.y1 == 0.0f) xs.push_back(l.x1);
        return xs;
    };
    const float factor = 800.0f / 20.0f * 0.8f;
    ASSERT_EQ(vertical(Rgb{255, 0, 0}).size(), 1u);
    EXPECT_FLOAT_EQ(vertical(Rgb{255, 0, 0})[0], (13.5f - 11.0f) * factor + 400.0f);
    const auto green = vertical(Rgb{0, 255, 0});
    ASSERT_EQ(green.size(), 2u);
    EXPECT_FLOAT_EQ(green[0], (6.0f - 11.0f) * factor + 400.0f);
}

// A range narrower than the limits: each limit drawn at the axis end it lies beyond, with
// its value, so that no limit is drawn outside the chart.
TEST(LikelihoodChart, LimitsBeyondTheAxisAreDrawnAtItsEndsWithTheirValues) {
    RecordingSurface s;
    std::vector<float> ll, total;
    for (int k = -10; k <= 10; ++k) {
        ll.push_back(-100.0f - 0.02f * k * k);
        total.push_back(400.0f + 2.0f * k);  // 380 to 420
    }
    plot_likelihood(s, profile_data(ll, total, false, 0.0f, 300.0, 500.0), kPoint);
    const float factor = 800.0f / 20.0f * 0.8f;
    const float first = (1.0f - 11.0f) * factor + 400.0f, last = (21.0f - 11.0f) * factor + 400.0f;
    std::vector<float> green;
    for (const auto& l : s.lines)
        if (l.colour == (Rgb{0, 255, 0}) && l.x1 == l.x2 && l.y1 == 0.0f) green.push_back(l.x1);
    ASSERT_EQ(green.size(), 2u);
    EXPECT_FLOAT_EQ(green[0], first);
    EXPECT_FLOAT_EQ(green[1], last);
    EXPECT_NE(s.find_text("< 300"), nullptr);
    EXPECT_NE(s.find_text("> 500"), nullptr);
}

TEST(LikelihoodChart, TrueTotalOnlyForSimulatedDataAndDegenerateProfiles) {
    std::vector<float> ll{-5, -4, -5}, total{100, 200, 300};
    double lower = 150, upper = 250;
    RecordingSurface file;
    plot_likelihood(file, profile_data(ll, total, false, 180.0f, lower, upper), kPoint);
    for (const auto& l : file.lines) EXPECT_FALSE(l.colour == kRedRgb && l.x1 == l.x2);

    RecordingSurface flat;
    const std::vector<float> same{-3, -3, -3};
    plot_likelihood(flat, profile_data(same, total, true, 0, lower, upper, Rgb{}), kPoint);
    EXPECT_TRUE(flat.lines.empty() && flat.texts.empty());

    RecordingSurface single;
    plot_likelihood(single, profile_data({ll[0]}, {total[0]}, true, 0, lower, upper, Rgb{}), kPoint);
    EXPECT_TRUE(single.lines.empty());

    // equal first and last totals: no vertical lines, nothing undefined
    RecordingSurface equal;
    const std::vector<float> tot{5, 5, 5};
    plot_likelihood(equal, profile_data(ll, tot, true, 0, lower, upper, Rgb{}), kPoint);
    for (const auto& l : equal.lines) EXPECT_TRUE(std::isfinite(l.x1) && std::isfinite(l.x2));
    EXPECT_FALSE(equal.lines.empty());

    // a limit far outside the profile is clipped to near the surface, not wrapped
    RecordingSurface far;
    double huge_lower = -1e30, huge_upper = 1e30;
    plot_likelihood(far, profile_data(ll, total, false, 0, huge_lower, huge_upper, Rgb{}), kPoint);
    for (const auto& l : far.lines) {
        EXPECT_GE(l.x1, -800.0f);
        EXPECT_LE(l.x1, 1600.0f);
    }
}

TEST(Key, TenNamesAtMostInTheirColours) {
    std::vector<std::string> names;
    for (int i = 1; i <= 12; ++i) names.push_back("Ward" + std::to_string(i));
    names.resize(100);
    RecordingSurface s;
    plot_key(s, names);
    ASSERT_EQ(s.texts.size(), 11u);
    EXPECT_EQ(s.texts[0].text, "Key");
    EXPECT_TRUE(s.texts[0].bold);
    EXPECT_FLOAT_EQ(s.texts[0].y, 28.0f);
    EXPECT_FLOAT_EQ(s.texts[1].x, 100.0f);
    EXPECT_FLOAT_EQ(s.texts[1].y, 28.0f + 13.0f + 8.0f);
    EXPECT_FLOAT_EQ(s.texts[2].y, s.texts[1].y + 16.0f);
    EXPECT_FALSE(s.texts[1].bold);
    EXPECT_EQ(s.texts[2].colour, (Rgb{255, 0, 255}));
    EXPECT_EQ(s.texts[10].colour, (Rgb{192, 192, 192}));
    EXPECT_EQ(s.texts[10].text, "Ward10");

    // the wards beyond the ten: one entry in their own colour, with how many they are
    RecordingSurface more;
    plot_key(more, std::span<const std::string>(names.data(), 10), 22);
    ASSERT_EQ(more.texts.size(), 12u);
    EXPECT_EQ(more.texts[11].text, "other wards (22)");
    EXPECT_EQ(more.texts[11].colour, kOtherWardsRgb);

    RecordingSurface empty;
    std::vector<std::string> none(100);
    plot_key(empty, none);
    EXPECT_EQ(empty.texts.size(), 1u);
}

// The dogs present take the key's foot in black; the names stop above them, never under them.
TEST(Key, LinesBeneathTheNamesFitInsideAndPushNoNameUnderThem) {
    std::vector<std::string> names;
    for (int i = 1; i <= 10; ++i) names.push_back("Ward" + std::to_string(i));
    // three lines leave room for the ten names, eight for the ten closed up; fourteen do not
    for (std::size_t n_lines : {3u, 8u, 14u}) {
        std::vector<std::string> lines;
        for (std::size_t k = 0; k < n_lines; ++k) lines.push_back("line " + std::to_string(k));
        RecordingSurface s;
        plot_key(s, names, 0, lines);
        ASSERT_GE(s.texts.size(), n_lines + 2);
        const std::size_t shown = s.texts.size() - n_lines;  // "Key" and the names
        EXPECT_EQ(shown == 11u, n_lines < 14u) << n_lines;
        for (std::size_t k = 0; k < n_lines; ++k) {
            const auto& t = s.texts[shown + k];
            EXPECT_EQ(t.text, lines[k]);
            EXPECT_EQ(t.colour, kBlackRgb);
            EXPECT_LE(t.y + s.line_height(), s.height());
        }
        EXPECT_LE(s.texts[shown - 1].y + s.line_height(), s.texts[shown].y) << n_lines;
        EXPECT_EQ(s.texts[1].text, "Ward1");
    }
}

TEST(LikelihoodChart, TheAxisTitleFitsInsideTheRightEdgeAndProfileLimitsAreMarked) {
    RecordingSurface s;
    std::vector<float> ll, total;
    for (int k = -10; k <= 10; ++k) {
        ll.push_back(-100.0f - 0.02f * k * k);
        total.push_back(400.0f + 20.0f * k);
    }
    LikelihoodChartData d = profile_data(ll, total, false, 0, 300, 500);
    d.profile_limits = true;
    d.profile_lower = 330;
    d.profile_upper = 470;
    plot_likelihood(s, d, kPoint);
    const auto* title = s.find_text("population");
    ASSERT_NE(title, nullptr);
    EXPECT_LE(title->x + 6.0f * 10, 800.0f - 2.0f);  // ten characters of six pixels
    int marks = 0;
    for (const auto& l : s.lines)
        if (l.dashed && l.colour == (Rgb{0, 0, 192}) && l.x1 == l.x2 && l.y2 - l.y1 > 20.0f) ++marks;
    EXPECT_EQ(marks, 2);
}

TEST(LikelihoodChart, ALegendNamesEachLineAndTickTotalsNeverOverlap) {
    RecordingSurface s;
    std::vector<float> ll, total;
    // large totals: 1.2 million either side, seven-digit ticks 34 pixels apart
    for (int k = -10; k <= 10; ++k) {
        ll.push_back(-100.0f - 0.02f * k * k);
        total.push_back(1234567.0f + 12345.0f * k);
    }
    LikelihoodChartData d = profile_data(ll, total, true, 1234000.0f, 1200000, 1260000);
    d.profile_limits = true;
    d.profile_lower = 1210000;
    d.profile_upper = 1250000;
    const NumberFormat comma{',', '.'};
    plot_likelihood(s, d, comma);
    for (const char* entry : {"profile log likelihood", "maximum - 1,92: the 95 % cut", "Wald prediction limits",
                              "profile-likelihood limits", "true total of the simulation"})
        EXPECT_NE(s.find_text(entry), nullptr) << entry;
    // a decimal-comma reader's ticks end in a digit, never a bare comma
    std::vector<const RecordingSurface::Text*> ticks;
    for (const auto& t : s.texts)
        if (t.y >= 280.0f - 25.0f - 0.5f && t.text != "population") {
            EXPECT_NE(t.text.back(), ',') << t.text;
            ticks.push_back(&t);
        }
    ASSERT_GE(ticks.size(), 4u);
    // no two labels of one row overlap (six pixels a character here)
    for (std::size_t i = 0; i < ticks.size(); ++i)
        for (std::size_t j = i + 1; j < ticks.size(); ++j)
            if (ticks[i]->y == ticks[j]->y) {
                const float a = ticks[i]->x, b = ticks[j]->x;
                const float wa = 6.0f * static_cast<float>(ticks[i]->text.size());
                const float wb = 6.0f * static_cast<float>(ticks[j]->text.size());
                EXPECT_TRUE(a + wa <= b || b + wb <= a) << ticks[i]->text << " / " << ticks[j]->text;
            }
}

TEST(CountsChart, ThousandsOfPointsDrawTheNamedWardsLast) {
    RecordingSurface s;
    std::vector<float> counts, preds;
    for (int i = 0; i < 3000; ++i) {
        counts.push_back(static_cast<float>(10 + i % 50));
        preds.push_back(static_cast<float>(12 + i % 45));
    }
    plot_counts(s, counts_data(counts, preds, "predicted", true), kPoint);
    ASSERT_EQ(s.circles.size(), 3000u);
    EXPECT_EQ(s.circles.back().colour, point_colours(9));  // ward 9 is drawn last, on top
    EXPECT_FLOAT_EQ(s.circles.front().r, 1.5f);       // the crowd is drawn smaller
    EXPECT_FLOAT_EQ(s.circles.back().r, 3.0f);
}

TEST(ScatterChart, PointsReferenceLinesAndEmptyRanges) {
    RecordingSurface s;
    ScatterChartData d;
    d.x = {1, 2, 3};
    d.y = {-1, 0.5, 2};
    d.x_title = "fitted mean";
    d.y_title = "Pearson residual";
    d.reference = ScatterChartData::Reference::Zero;
    plot_scatter(s, d, kPoint);
    EXPECT_EQ(s.circles.size(), 3u);
    EXPECT_EQ(s.circles[0].colour, point_colours(1));
    // a grey line across at zero
    bool zero = false;
    for (const auto& l : s.lines) zero = zero || (l.colour == (Rgb{128, 128, 128}) && l.y1 == l.y2);
    EXPECT_TRUE(zero);
    EXPECT_NE(s.find_text("fitted mean"), nullptr);
    // every value the same still draws, with a unit range
    RecordingSurface flat;
    d.x = {2, 2};
    d.y = {1, 1};
    d.reference = ScatterChartData::Reference::Identity;
    plot_scatter(flat, d, kPoint);
    EXPECT_EQ(flat.circles.size(), 2u);
    for (const auto& c : flat.circles) EXPECT_TRUE(std::isfinite(c.x) && std::isfinite(c.y));
}

// The SVG drawing: one element per primitive the chart drew, in its place, colour, width and
// dash; texts escaped so that any ward name leaves the document well-formed.
TEST(SvgSurface, TheDrawingHoldsWhatTheChartDrew) {
    RecordingSurface recorded;
    SvgSurface::Font font;
    font.width = [&](const std::string& t, bool) { return recorded.text_width(t); };
    font.line_height = recorded.line_height();
    SvgSurface svg(recorded.width(), recorded.height(), font, "likelihood");
    std::vector<float> ll, total;
    for (int k = -10; k <= 10; ++k) {
        ll.push_back(-100.0f - 0.02f * k * k);
        total.push_back(400.0f + 20.0f * k);
    }
    LikelihoodChartData d = profile_data(ll, total, false, 0, 300, 500);
    d.profile_limits = true;
    d.profile_lower = 330;
    d.profile_upper = 470;
    plot_likelihood(recorded, d, kPoint);
    plot_likelihood(svg, d, kPoint);
    const std::string doc = svg.svg();
    const auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = doc.find(what); at != std::string::npos; at = doc.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(doc.rfind("<?xml", 0), 0u);
    EXPECT_NE(doc.find("width=\"800\" height=\"280\" viewBox=\"0 0 800 280\""), std::string::npos);
    EXPECT_EQ(count("<line "), recorded.lines.size());
    EXPECT_EQ(count("<text "), recorded.texts.size());
    // the dashed profile limits in the curve's colour
    std::size_t dashed = 0;
    for (const auto& l : recorded.lines) dashed += l.dashed;
    EXPECT_EQ(count("stroke-dasharray"), dashed);
    EXPECT_GE(count("stroke=\"#0000c0\""), 2u);
    // the first line where the recording surface has it, on pixel centres
    const auto& first = recorded.lines.front();
    const auto centre = [](float v) {
        std::ostringstream s;
        s << std::floor(v) + 0.5f;
        return s.str();
    };
    EXPECT_NE(doc.find("<line x1=\"" + centre(first.x1) + "\" y1=\"" + centre(first.y1) + "\""), std::string::npos) << doc;
}

TEST(SvgSurface, AnyWardNameLeavesAWellFormedDocument) {
    EXPECT_EQ(xml_escaped("A<B & \"C\" 'D'>"), "A&lt;B &amp; &quot;C&quot; &apos;D&apos;&gt;");
    // UTF-8 kept, a Latin-1 byte turned into UTF-8, control characters XML cannot hold dropped
    EXPECT_EQ(xml_escaped("\xc3\xa5ker"), "\xc3\xa5ker");
    EXPECT_EQ(xml_escaped("\xe5ker"), "\xc3\xa5ker");
    EXPECT_EQ(xml_escaped(std::string("a\x01\x1b" "b\tc", 6)), "ab\tc");
    SvgSurface svg(100, 50, {});
    svg.set_bold(true);
    svg.set_text_colour({255, 0, 0});
    svg.move_to(3, 4);
    svg.print("</svg><x>");
    const std::string doc = svg.svg();
    EXPECT_NE(doc.find("fill=\"#ff0000\" font-weight=\"bold\" xml:space=\"preserve\">&lt;/svg&gt;&lt;x&gt;</text>"),
              std::string::npos)
        << doc;
    EXPECT_EQ(doc.find("</svg>"), doc.size() - 7);
}

TEST(CountsChart, CirclesAreDrawnInTheOrderTheirNamesAreGiven) {
    EXPECT_EQ(counts_point_order(3), (std::vector<std::size_t>{1, 2, 3}));
    const std::vector<std::size_t> many = counts_point_order(1001);
    ASSERT_EQ(many.size(), 1001u);
    EXPECT_EQ(many.front(), 10u);  // the key's coloured wards last, on top
    EXPECT_EQ(many[991], 1001u);
    EXPECT_EQ(many[992], 1u);
    EXPECT_EQ(many.back(), 9u);
    // the chart's circles come in that order
    RecordingSurface s;
    CountsChartData d;
    d.heights = {5, 9, 2};
    d.positions = {1, 2, 3};
    plot_counts(s, d, NumberFormat{});
    std::vector<float> ys;
    for (const auto& c : s.circles) ys.push_back(c.y);
    ASSERT_EQ(ys.size(), 3u);
    EXPECT_GT(ys[0], ys[1]);  // 5 lies below 9
    EXPECT_LT(ys[0], ys[2]);  // and above 2
}

// The plan's chart: a circle per value, lines only between neighbouring values (a candidate
// without limits breaks the line), and the target dashed in red at the height of a series
// point of the same value.
TEST(PlanChart, SeriesBreakWhereLimitsAreMissingAndTheTargetLinesUp) {
    RecordingSurface s;
    PlanChartData d;
    d.surveys = {20, 40, 60};
    d.series = {{"Wald", {0.2, 0.1, 0.05}}, {"profile likelihood", {0.15, std::nullopt, 0.04}}};
    d.target = 0.1;
    plot_plan(s, d, kPoint);
    auto circles_of = [&](Rgb c) {
        std::vector<RecordingSurface::Circle> out;
        for (const auto& x : s.circles)
            if (x.colour == c) out.push_back(x);
        return out;
    };
    auto lines_of = [&](Rgb c, bool dashed) {
        int n = 0;
        for (const auto& l : s.lines) n += l.colour == c && l.dashed == dashed ? 1 : 0;
        return n;
    };
    const auto wald = circles_of(plan_series_colour(0));
    const auto profile = circles_of(plan_series_colour(1));
    ASSERT_EQ(wald.size(), 3u);
    ASSERT_EQ(profile.size(), 2u);
    EXPECT_EQ(lines_of(plan_series_colour(0), false), 2);
    EXPECT_EQ(lines_of(plan_series_colour(1), false), 0);
    // larger shares stand higher; more wards further right
    EXPECT_LT(wald[0].y, wald[1].y);
    EXPECT_LT(wald[0].x, wald[1].x);
    EXPECT_FLOAT_EQ(profile[1].x, wald[2].x);
    const RecordingSurface::Line* target = nullptr;
    for (const auto& l : s.lines)
        if (l.dashed && l.colour == kRedRgb) target = &l;
    ASSERT_NE(target, nullptr);
    EXPECT_NEAR(target->y1, wald[1].y, 0.01f);
    EXPECT_FLOAT_EQ(target->y1, target->y2);
    ASSERT_NE(s.find_text("target 10 %"), nullptr);
    EXPECT_NE(s.find_text("Wald"), nullptr);
    EXPECT_NE(s.find_text("40"), nullptr);
}
