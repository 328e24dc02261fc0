// SPDX-License-Identifier: GPL-3.0-or-later
#include "plan_chart.h"

#include <algorithm>
#include <cmath>

#include "charts.h"
#include "cycle/number_format.h"

namespace valdmora {

Rgb plan_series_colour(std::size_t index) {
    static constexpr Rgb kColours[] = {{0, 0, 192}, {0, 128, 0}, {160, 0, 160}, {192, 96, 0}, {0, 128, 128}};
    return kColours[index % (sizeof kColours / sizeof kColours[0])];
}

void plot_plan(Surface& s, const PlanChartData& d, const NumberFormat& fmt) {
    if (d.surveys.empty()) return;
    const float W = s.width(), H = s.height();
    // the ranges: every value shown, the target and 0 included
    float lo_x = static_cast<float>(d.surveys.front()), hi_x = lo_x, hi_y = 0.0f;
    for (long k : d.surveys) {
        lo_x = std::min(lo_x, static_cast<float>(k));
        hi_x = std::max(hi_x, static_cast<float>(k));
    }
    for (const auto& series : d.series)
        for (const auto& v : series.share)
            if (v && std::isfinite(*v)) hi_y = std::max(hi_y, static_cast<float>(*v * 100.0));
    if (d.target) hi_y = std::max(hi_y, static_cast<float>(*d.target * 100.0));
    if (!(hi_x > lo_x)) hi_x = lo_x + 1.0f;
    if (!(hi_y > 0.0f)) hi_y = 1.0f;
    const AxisScale sx = horizontal_scale(lo_x, hi_x, W);
    const AxisScale sy = vertical_scale(0.0f, hi_y, H);
    s.set_text_colour(kBlackRgb);
    s.move_to(0.02f * W, 0.03f * H);
    s.print("median half-width, % of the town's total");
    s.set_line_width(1.0f);
    const float X0 = to_x(sx, lo_x, W), X1 = to_x(sx, hi_x, W), Y0 = to_y(sy, 0.0f, H), Y1 = to_y(sy, hi_y, H);
    s.line(X0, Y0, X1, Y0, kBlackRgb);
    s.line(X0, Y0, X0, Y1, kBlackRgb);
    for (long k : d.surveys) {
        const float X = to_x(sx, static_cast<float>(k), W);
        s.line(X, Y0, X, Y0 + 6.0f, kBlackRgb);
        const std::string label = std::to_string(k);
        s.move_to(X - s.text_width(label) / 2.0f, Y0 + 10.0f);
        s.print(label);
    }
    // under the ticks' labels, at the axis' end
    const std::string x_title = "wards surveyed";
    s.move_to(X1 - s.text_width(x_title), Y0 + 10.0f + s.line_height());
    s.print(x_title);
    const int32_t step = std::max<int32_t>(1, tick_step(hi_y));
    for (float t : tick_positions(0.0f, hi_y, step)) {
        const float Y = to_y(sy, t, H);
        s.line(X0, Y, X0 - 6.0f, Y, kBlackRgb);
        const std::string label = plain_number(t, fmt, false);
        s.move_to(X0 - 10.0f - s.text_width(label), Y - s.line_height() / 2.0f);
        s.print(label);
    }
    if (d.target) {
        const float Y = to_y(sy, static_cast<float>(*d.target * 100.0), H);
        s.set_dashed(true);
        s.line(X0, Y, X1, Y, kRedRgb);
        s.set_dashed(false);
        s.set_text_colour(kRedRgb);
        const std::string label = "target " + general_number(*d.target * 100.0, fmt) + " %";
        s.move_to(X1 - s.text_width(label), Y - s.line_height());
        s.print(label);
    }
    s.set_line_width(2.0f);
    for (std::size_t i = 0; i < d.series.size(); ++i) {
        const Rgb colour = plan_series_colour(i);
        const auto& v = d.series[i].share;
        std::optional<std::pair<float, float>> last;
        for (std::size_t j = 0; j < d.surveys.size() && j < v.size(); ++j) {
            if (!v[j] || !std::isfinite(*v[j])) {
                last.reset();  // a gap where no limits came
                continue;
            }
            const float X = to_x(sx, static_cast<float>(d.surveys[j]), W), Y = to_y(sy, static_cast<float>(*v[j] * 100.0), H);
            if (last) s.line(last->first, last->second, X, Y, colour);
            s.circle(X, Y, 3.0f, colour);
            last = std::make_pair(X, Y);
        }
        s.set_text_colour(colour);
        s.move_to(W - s.text_width(d.series[i].name) - 8.0f, 0.03f * H + static_cast<float>(i + 1) * s.line_height());
        s.print(d.series[i].name);
    }
    s.set_line_width(1.0f);
    s.set_text_colour(kBlackRgb);
}

}  // namespace valdmora
