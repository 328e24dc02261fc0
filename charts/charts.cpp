// SPDX-License-Identifier: GPL-3.0-or-later
#include "charts.h"

#include <algorithm>
#include <cmath>

#include "cycle/number_format.h"

namespace valdmora {

AxisScale horizontal_scale(float lo, float hi, float width) {
    return {lo, hi, (hi + lo) / 2.0f, width / (hi - lo) * 0.8f};
}

AxisScale vertical_scale(float lo, float hi, float height) {
    return {lo, hi, (hi + lo) / 2.0f, height / (hi - lo) * 0.75f};
}

Range range_scan(std::span<const float> values) {
    Range r;
    for (float v : values) {
        if (v > r.hi) r.hi = v;
        if (v < r.lo) r.lo = v;
    }
    return r;
}

double Log10(double v) { return std::log(v) / std::log(10.0); }

int16_t imin(int16_t a, int16_t b) { return b < a ? b : a; }

int32_t tick_step(float range) {
    if (!(range >= 1.0f) || !std::isfinite(range)) return 0;
    auto step = static_cast<int32_t>(std::nearbyint(std::pow(10.0, std::floor(Log10(range)))));
    while (static_cast<double>(range) / step < 5.0 && step >= 2) step /= 2;
    return step;
}

std::vector<float> tick_positions(float lo, float hi, int32_t step) {
    std::vector<float> ticks;
    if (step < 1) return ticks;
    const auto first = static_cast<float>((std::floor(static_cast<double>(lo) / step) + 1.0) * step);
    const auto last = static_cast<float>(std::floor(static_cast<double>(hi) / step) * step);
    for (float t = first; t <= last; t += static_cast<float>(step)) ticks.push_back(t);
    return ticks;
}

float label_width(int32_t step) { return static_cast<float>((std::floor(Log10(step)) + 1.0) * 8.0); }

// darker than the tenth ward's silver, so that the key tells them apart
const Rgb kOtherWardsRgb{96, 96, 96};

Rgb point_colours(int index) {
    static constexpr Rgb kColours[10] = {{0, 0, 0},   {255, 0, 255}, {255, 128, 0}, {192, 192, 0}, {0, 255, 0},
                                         {0, 255, 255}, {0, 0, 255},  {128, 64, 0},  {255, 0, 0},   {192, 192, 192}};
    return index > 10 ? kOtherWardsRgb : kColours[std::max(index, 1) - 1];
}

void plot_counts(Surface& s, const CountsChartData& d, const NumberFormat& fmt) {
    const std::size_t n = std::min(d.heights.size(), d.positions.size());
    if (n == 0) return;
    const std::span<const float> heights(d.heights.data(), n), positions(d.positions.data(), n);
    const float W = s.width(), H = s.height();
    s.move_to(0.9f * W, 0.89f * H);
    s.print(d.title);
    s.move_to(0.02f * W, 0.05f * H);
    s.print("dogs");

    Range ry = range_scan(heights);
    Range rx = range_scan(positions);
    // One value across (a constant-only model predicts every ward alike) or up (equal
    // counts) is still a chart: the points stand in a line at it, the axis around it.
    auto widen = [](Range& r) {
        if (!r.empty() || !std::isfinite(r.lo)) return;
        const float half = std::max(1.0f, 0.5f * std::fabs(r.lo));
        r.lo -= half;
        r.hi += half;
    };
    widen(ry);
    widen(rx);
    if (rx.empty() || ry.empty()) return;
    if (d.origin_at_zero) {
        rx.lo = 0.0f;
        ry.lo = 0.0f;
        // all values at or below zero leave no range once the axes start at zero
        if (rx.hi <= rx.lo || ry.hi <= ry.lo) return;
    }
    const AxisScale sx = horizontal_scale(rx.lo, rx.hi, W);
    const AxisScale sy = vertical_scale(ry.lo, ry.hi, H);

    s.set_line_width(1.0f);
    auto point = [&](std::size_t i, float radius) {
        s.circle(to_x(sx, positions[i - 1], W), to_y(sy, heights[i - 1], H), radius,
                 point_colours(static_cast<int>(std::min<std::size_t>(i, 11))));
    };
    for (std::size_t i : counts_point_order(n)) point(i, n <= 1000 || i < 10 ? 3.0f : 1.5f);

    s.set_line_width(1.0f);
    const float X0 = to_x(sx, rx.lo, W), X1 = to_x(sx, rx.hi, W), Y0 = to_y(sy, ry.lo, H);
    s.line(X0, Y0, X1, Y0, kBlackRgb);
    int32_t step = tick_step(rx.hi - rx.lo);
    float w = step >= 1 ? label_width(step) : 0.0f;
    for (float t : tick_positions(rx.lo, rx.hi, step)) {
        const float X = to_x(sx, t, W);
        s.line(X, Y0, X, Y0 + 10.0f, kBlackRgb);
        s.move_to(X - w / 2.0f, Y0 + 16.0f);
        s.print(plain_number(t, fmt));
    }

    const float Y1 = to_y(sy, ry.hi, H);
    s.line(X0, Y0, X0, Y1, kBlackRgb);
    step = tick_step(ry.hi - ry.lo);
    w = step >= 1 ? label_width(step) : 0.0f;
    for (float t : tick_positions(ry.lo, ry.hi, step)) {
        const float Y = to_y(sy, t, H);
        s.line(X0, Y, X0 - 10.0f, Y, kBlackRgb);
        s.move_to(X0 - 10.0f - 12.0f - w, Y - 6.0f);
        s.print(plain_number(t, fmt));
    }
}

const char* const kLikelihoodAxisNote = "across: the unsurveyed wards' total of dogs";

std::vector<std::size_t> counts_point_order(std::size_t n) {
    std::vector<std::size_t> order;
    order.reserve(n);
    // beyond a thousand points the key's nine coloured wards are drawn last, on top
    const std::size_t first = n <= 1000 ? 1 : 10;
    for (std::size_t i = first; i <= n; ++i) order.push_back(i);
    for (std::size_t i = 1; i < first && i <= n; ++i) order.push_back(i);
    return order;
}

namespace {

// What each line of the likelihood chart is, top left, where the curve's low ends leave room.
void likelihood_legend(Surface& s, const LikelihoodChartData& d, Rgb colour, float cut_y, const NumberFormat& fmt) {
    struct Entry {
        Rgb colour;
        bool dashed;
        bool upright;
        std::string text;
    };
    std::vector<Entry> entries{{colour, false, false, "profile log likelihood"},
                               {kRedRgb, true, false, "maximum - " + with_locale_decimal("1.92", fmt) + ": the 95 % cut"},
                               {kGreenRgb, false, true, "Wald prediction limits"}};
    if (d.profile_limits) entries.push_back({colour, true, true, "profile-likelihood limits"});
    if (d.simulated) entries.push_back({kRedRgb, false, true, "true total of the simulation"});
    const float x = 0.12f * s.width(), step = s.line_height();
    // below the 95 % cut where it would run through the entries
    float y = 4.0f;
    if (cut_y > y - 2.0f && cut_y < y + step * static_cast<float>(entries.size()) + 2.0f) y = cut_y + 4.0f;
    for (const Entry& e : entries) {
        s.set_dashed(e.dashed);
        const float mid = y + step / 2.0f;
        if (e.upright)
            s.line(x + 9.0f, y + 1.0f, x + 9.0f, y + step - 1.0f, e.colour);
        else
            s.line(x, mid, x + 18.0f, mid, e.colour);
        s.set_dashed(false);
        s.set_text_colour(kBlackRgb);
        s.move_to(x + 24.0f, y);
        s.print(e.text);
        y += step;
    }
}

}  // namespace

void plot_likelihood(Surface& s, const LikelihoodChartData& d, const NumberFormat& fmt) {
    s.set_text_colour(kBlackRgb);
    const auto n = static_cast<int>(std::min(d.log_likelihood.size(), d.total.size()));
    const std::span<const float> ll(d.log_likelihood.data(), static_cast<std::size_t>(n));
    const std::span<const float> total(d.total.data(), static_cast<std::size_t>(n));
    const Rgb colour = d.colour;
    // One point, or none, gives no horizontal scale.
    if (n < 2) return;
    const float W = s.width(), H = s.height();
    const float mid_x = (static_cast<float>(n) + 1.0f) / 2.0f;
    const float factor_x = W / static_cast<float>(n - 1) * 0.8f;
    auto px = [&](float i) { return (i - mid_x) * factor_x + W / 2.0f; };

    const Range r = range_scan(ll.first(n));
    if (r.empty()) return;
    const AxisScale sy = vertical_scale(r.lo, r.hi, H);
    auto py = [&](float v) { return to_y(sy, v, H); };

    float xp = px(1.0f), yp = py(ll[0]);
    // the ticks' totals alternate between two rows; one that would run into the last of its
    // row (large totals on a narrow chart) is left out, its tick kept
    float row_end[2] = {-1e9f, -1e9f};
    for (int i = 2; i <= n; ++i) {
        const float x = px(static_cast<float>(i)), y = py(ll[i - 1]);
        if (std::fabs(y) < 1e8f) s.line(xp, yp, x, y, colour);
        xp = x;
        yp = y;
        s.line(x, H - 30.0f, x, H - 40.0f, kBlackRgb);
        std::string tick = format_number(total[i - 1], "##.#", fmt);
        // a whole number ends in its separator under this pattern: "1006." is "1006"
        if (!tick.empty() && tick.back() == fmt.decimal) tick.pop_back();
        const int row = i % 2;
        const float left = x - 10.0f;
        if (left < row_end[row] + 4.0f) continue;
        s.move_to(left, row == 0 ? H - 15.0f : H - 25.0f);
        s.print(tick);
        row_end[row] = left + s.text_width(tick);
    }
    // 50 pixels from the right edge, or further in where the face needs the room
    s.set_current_x(std::min(W - 50.0f, W - s.text_width("population") - 2.0f));
    s.print("population");

    s.move_to(0.0f, py(r.lo) - 5.0f);
    s.print(format_number(r.lo, "#.###0", fmt));
    s.move_to(0.0f, py(r.hi) - 5.0f);
    s.print(format_number(r.hi, "#.###0", fmt));
    s.move_to(0.0f, H / 2.0f - 5.0f);
    s.print(format_number(sy.mid, "#.###0", fmt));

    s.set_text_colour(colour);
    s.move_to(W - 200.0f, d.title_y);
    s.print(d.title);
    // "population" along the axis is the total of the unsurveyed wards alone, not a predictor
    s.set_text_colour(kBlackRgb);
    s.move_to(std::min(W - 200.0f, W - s.text_width(kLikelihoodAxisNote) - 4.0f), static_cast<float>(d.title_y) + s.line_height());
    s.print(kLikelihoodAxisNote);

    s.set_dashed(true);
    const float y_c = py(r.hi - 1.92f);
    s.line(px(1.0f), y_c, px(static_cast<float>(n)), y_c, kRedRgb);
    s.set_dashed(false);

    // Totals placed on the point scale by linear interpolation; equal end totals give none.
    const double first = total[0], last = total[n - 1];
    if (last == first) return;
    auto point_of = [&](double t) { return (t - first) * (n - 1) / (last - first) + 1.0; };
    auto px_double = [&](double i) {
        return static_cast<float>((i - static_cast<double>(mid_x)) * factor_x + static_cast<double>(W) / 2.0);
    };
    // A total beyond the axis is drawn at its end, with its value and which way it lies, so
    // that every limit drawn can be seen.
    const float x_first = px(1.0f), x_last = px(static_cast<float>(n));
    float beyond_y = 2.0f;
    auto x_of = [&](double t, Rgb c) {
        const float x = px_double(point_of(t));
        if (x >= x_first && x <= x_last) return x;
        const bool below = x < x_first;
        const std::string text = (below ? "< " : "> ") + format_number(t, "0", fmt);
        s.set_text_colour(c);
        s.move_to(below ? x_first + 3.0f : x_last - s.text_width(text) - 3.0f, beyond_y);
        s.print(text);
        beyond_y += s.line_height();
        return below ? x_first : x_last;
    };
    if (d.simulated) {
        const float x = x_of(d.sim_total, kRedRgb);
        s.line(x, 0.0f, x, H, kRedRgb);
    }
    const float xl = x_of(d.lower, kGreenRgb);
    s.line(xl, 0.0f, xl, H, kGreenRgb);
    const float xu = x_of(d.upper, kGreenRgb);
    s.line(xu, 0.0f, xu, H, kGreenRgb);
    if (d.profile_limits) {
        // where the profile crosses the dashed line, from the refits
        for (double limit : {d.profile_lower, d.profile_upper}) {
            const float x = x_of(limit, colour);
            s.set_dashed(true);
            s.line(x, y_c - 25.0f, x, y_c + 25.0f, colour);
            s.set_dashed(false);
        }
    }
    likelihood_legend(s, d, colour, y_c, fmt);
}

void plot_scatter(Surface& s, const ScatterChartData& d, const NumberFormat& fmt) {
    const std::size_t n = std::min(d.x.size(), d.y.size());
    if (n == 0) return;
    const float W = s.width(), H = s.height();
    s.set_text_colour(kBlackRgb);
    s.move_to(std::min(0.9f * W, W - s.text_width(d.x_title) - 2.0f), 0.89f * H);
    s.print(d.x_title);
    s.move_to(0.02f * W, 0.05f * H);
    s.print(d.y_title);
    Range rx = range_scan(std::span<const float>(d.x.data(), n));
    Range ry = range_scan(std::span<const float>(d.y.data(), n));
    // room for the reference line, and a range even when every value is the same
    if (d.reference == ScatterChartData::Reference::Zero) {
        ry.lo = std::min(ry.lo, 0.0f);
        ry.hi = std::max(ry.hi, 0.0f);
    } else if (d.reference == ScatterChartData::Reference::Identity) {
        const float lo = std::min(rx.lo, ry.lo), hi = std::max(rx.hi, ry.hi);
        rx.lo = ry.lo = lo;
        rx.hi = ry.hi = hi;
    }
    if (!(rx.hi > rx.lo)) rx.hi = rx.lo + 1.0f;
    if (!(ry.hi > ry.lo)) ry.hi = ry.lo + 1.0f;
    const AxisScale sx = horizontal_scale(rx.lo, rx.hi, W);
    const AxisScale sy = vertical_scale(ry.lo, ry.hi, H);
    s.set_line_width(1.0f);
    const Rgb grey{128, 128, 128};
    if (d.reference == ScatterChartData::Reference::Zero) {
        const float y0 = to_y(sy, 0.0f, H);
        s.line(to_x(sx, rx.lo, W), y0, to_x(sx, rx.hi, W), y0, grey);
    } else if (d.reference == ScatterChartData::Reference::Identity) {
        s.line(to_x(sx, rx.lo, W), to_y(sy, rx.lo, H), to_x(sx, rx.hi, W), to_y(sy, rx.hi, H), grey);
    }
    auto point = [&](std::size_t i, float radius) {
        s.circle(to_x(sx, d.x[i - 1], W), to_y(sy, d.y[i - 1], H), radius,
                 point_colours(static_cast<int>(std::min<std::size_t>(i, 11))));
    };
    // in the counts chart's order, so that a hovered point is named as there
    for (std::size_t i : counts_point_order(n)) point(i, n <= 1000 || i < 10 ? 3.0f : 1.5f);
    // axes along the lower and left edges of the data, with ticks where the range allows
    const float X0 = to_x(sx, rx.lo, W), X1 = to_x(sx, rx.hi, W), Y0 = to_y(sy, ry.lo, H), Y1 = to_y(sy, ry.hi, H);
    s.line(X0, Y0, X1, Y0, kBlackRgb);
    s.line(X0, Y0, X0, Y1, kBlackRgb);
    auto ticks = [&](float lo, float hi) {
        // whole-number steps where the range allows, else tenths
        const float range = hi - lo;
        std::vector<float> out;
        const int32_t step = tick_step(range);
        if (step >= 1) return tick_positions(lo, hi, step);
        const int32_t tenth = tick_step(range * 10.0f);
        for (float t : tick_positions(lo * 10.0f, hi * 10.0f, std::max(tenth, 1))) out.push_back(t / 10.0f);
        return out;
    };
    for (float t : ticks(rx.lo, rx.hi)) {
        const float X = to_x(sx, t, W);
        s.line(X, Y0, X, Y0 + 6.0f, kBlackRgb);
        const std::string label = plain_number(t, fmt, false);
        s.move_to(X - s.text_width(label) / 2.0f, Y0 + 10.0f);
        s.print(label);
    }
    for (float t : ticks(ry.lo, ry.hi)) {
        const float Y = to_y(sy, t, H);
        s.line(X0, Y, X0 - 6.0f, Y, kBlackRgb);
        const std::string label = plain_number(t, fmt, false);
        s.move_to(X0 - 10.0f - s.text_width(label), Y - s.line_height() / 2.0f);
        s.print(label);
    }
}

void plot_key(Surface& s, std::span<const std::string> names, std::size_t others, std::span<const std::string> lines) {
    const float W = s.width(), H = s.height();
    // a key shortened on a small screen closes up its lines before it drops any
    std::size_t entries = others > 0 ? 1 : 0;
    for (std::size_t i = 0; i < names.size() && i < 10 && !names[i].empty(); ++i) ++entries;
    const float lh = s.line_height();
    const bool tight = H / 10.0f + lh + 5.0f + static_cast<float>(entries) * (lh + 3.0f) +
                           static_cast<float>(lines.size()) * lh + 4.0f >
                       H;
    const float gap = tight ? 0.0f : 3.0f;
    s.move_to(W / 8.0f, tight ? 2.0f : H / 10.0f);
    s.set_text_colour(kBlackRgb);
    s.set_bold(true);
    s.print("Key");
    s.set_bold(false);
    s.set_current_y(s.current_y() + 5.0f);
    // the lines take the foot of the key; the names stop above them
    const float lines_top = H - static_cast<float>(lines.size()) * s.line_height() - 4.0f;
    auto room = [&] { return lines.empty() || s.current_y() + gap + s.line_height() <= lines_top - 4.0f; };
    for (std::size_t i = 1; i <= names.size(); ++i) {
        if (names[i - 1].empty() || i > 10) break;
        if (!room()) break;
        s.set_current_x(W / 8.0f);
        s.set_current_y(s.current_y() + gap);
        s.set_text_colour(point_colours(static_cast<int>(i)));
        s.print(names[i - 1]);
    }
    if (others > 0 && room()) {
        s.set_current_x(W / 8.0f);
        s.set_current_y(s.current_y() + gap);
        s.set_text_colour(kOtherWardsRgb);
        s.print("other wards (" + std::to_string(others) + ")");
    }
    s.set_text_colour(kBlackRgb);
    s.set_current_y(lines_top);
    for (const std::string& line : lines) {
        s.set_current_x(4.0f);
        s.print(line);
    }
}

}  // namespace valdmora
