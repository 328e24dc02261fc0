// SPDX-License-Identifier: GPL-3.0-or-later
#include "ward_map.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "cycle/number_format.h"

namespace valdmora {

namespace {

constexpr Rgb kOtherGrey{220, 220, 220};
constexpr Rgb kNoDataFill{246, 246, 246};
constexpr Rgb kThinOutline{96, 96, 96};

// ColorBrewer (Cynthia Brewer, colorbrewer2.org), the nine- and eleven-class schemes.
constexpr std::array<Rgb, 9> kYlGnBu{{{255, 255, 217}, {237, 248, 177}, {199, 233, 180}, {127, 205, 187}, {65, 182, 196},
                                      {29, 145, 192}, {34, 94, 168}, {37, 52, 148}, {8, 29, 88}}};
constexpr std::array<Rgb, 11> kPuOr{{{127, 59, 8}, {179, 88, 6}, {224, 130, 20}, {253, 184, 99}, {254, 224, 182},
                                     {247, 247, 247}, {216, 218, 235}, {178, 171, 210}, {128, 115, 172}, {84, 39, 136},
                                     {45, 0, 75}}};

// Type 7 quantile of sorted values: linear between order statistics.
double quantile(const std::vector<double>& sorted, double p) {
    const double h = (static_cast<double>(sorted.size()) - 1.0) * p;
    const auto lo = static_cast<std::size_t>(std::floor(h));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

// A number without a separator left over when its decimals are all zeros.
std::string short_number(double v, const char* pattern, const NumberFormat& fmt) {
    std::string s = format_number(v, pattern, fmt);
    if (!s.empty() && s.back() == fmt.decimal) s.pop_back();
    return s;
}

std::string legend_number(double v, double magnitude, const NumberFormat& fmt) {
    const char* pattern = magnitude >= 100 ? "#,##0" : magnitude >= 10 ? "0.#" : magnitude >= 1 ? "0.##" : "0.###";
    return short_number(v, pattern, fmt);
}

int class_of(double v, const std::vector<double>& limits) {
    const int n = static_cast<int>(limits.size()) - 1;
    for (int k = 0; k < n; ++k)
        if (v <= limits[static_cast<std::size_t>(k) + 1]) return k;
    return std::max(0, n - 1);
}

// Inside an odd number of the rings: the even-odd rule the shapes are filled with.
bool inside(const MapWard& w, double x, double y) {
    bool in = false;
    for (const MapPolygon& p : w.polygons)
        for (const std::vector<MapPoint>& r : p)
            for (std::size_t i = 0, j = r.size() - 1; i < r.size(); j = i++)
                if ((r[i].y > y) != (r[j].y > y) &&
                    x < (r[j].x - r[i].x) * (y - r[i].y) / (r[j].y - r[i].y) + r[i].x)
                    in = !in;
    return in;
}

void swatch(Surface& s, float x, float y, const ShapeStyle& style) {
    s.shape({{{x, y}, {x + 16, y}, {x + 16, y + 10}, {x, y + 10}}}, style);
}

}  // namespace

std::vector<double> class_limits(std::vector<double> values, int classes, bool quantiles, bool diverging) {
    std::erase_if(values, [](double v) { return !std::isfinite(v); });
    if (values.empty()) return {};
    classes = std::max(classes, 1);
    std::vector<double> limits;
    if (diverging) {
        const int half = std::max(1, (classes + 1) / 2);
        std::vector<double> size;
        for (double v : values) size.push_back(std::fabs(v));
        std::sort(size.begin(), size.end());
        std::vector<double> upper;
        for (int j = 1; j <= half; ++j)
            upper.push_back(quantiles ? quantile(size, static_cast<double>(j) / half) : size.back() * j / half);
        for (auto it = upper.rbegin(); it != upper.rend(); ++it) limits.push_back(-*it);
        limits.push_back(0.0);
        limits.insert(limits.end(), upper.begin(), upper.end());
    } else {
        std::sort(values.begin(), values.end());
        for (int k = 0; k <= classes; ++k)
            limits.push_back(quantiles ? quantile(values, static_cast<double>(k) / classes)
                                       : values.front() + (values.back() - values.front()) * k / classes);
    }
    limits.erase(std::unique(limits.begin(), limits.end()), limits.end());
    if (limits.size() == 1) limits.push_back(limits.front());
    return limits;
}

Rgb class_colour(int k, int n, bool diverging) {
    if (n <= 1) return diverging ? kPuOr[5] : kYlGnBu[4];
    k = std::clamp(k, 0, n - 1);
    if (!diverging) return kYlGnBu[static_cast<std::size_t>(1 + std::lround(7.0 * k / (n - 1)))];
    const int half = n / 2;
    const double step = half > 1 ? 3.0 / (half - 1) : 0.0;
    if (k < half) return kPuOr[static_cast<std::size_t>(1 + std::lround(step * k))];
    return kPuOr[static_cast<std::size_t>(6 + std::lround(step * (k - half)))];
}

double scale_bar_metres(double max_metres) {
    if (!(max_metres > 0.0) || !std::isfinite(max_metres)) return 0.0;
    const double power = std::pow(10.0, std::floor(std::log10(max_metres)));
    for (double m : {5.0, 2.0, 1.0})
        if (m * power <= max_metres) return m * power;
    return power;
}

MapFrame map_frame(const WardMapData& d, float width, float height, float lh) {
    MapFrame f;
    f.legend_left = width - std::clamp(0.3f * width, 150.0f, 260.0f);
    f.map_top = static_cast<float>(d.title.size()) * lh + 10.0f;
    f.map_bottom = height - 2.0f * lh - 12.0f;
    double x_min = INFINITY, x_max = -INFINITY, y_min = INFINITY, y_max = -INFINITY;
    for (const MapWard& w : d.wards)
        for (const MapPolygon& p : w.polygons)
            for (const MapPoint& q : p.front()) {
                x_min = std::min(x_min, q.x), x_max = std::max(x_max, q.x);
                y_min = std::min(y_min, q.y), y_max = std::max(y_max, q.y);
            }
    if (!std::isfinite(x_min)) return f;
    const double aw = std::max(1.0f, f.legend_left - 16.0f), ah = std::max(1.0f, f.map_bottom - f.map_top);
    f.scale = std::min(aw / std::max(x_max - x_min, 1.0), ah / std::max(y_max - y_min, 1.0));
    f.x_min = x_min;
    f.y_max = y_max;
    f.left = 8.0 + (aw - (x_max - x_min) * f.scale) / 2.0;
    f.top = f.map_top + (ah - (y_max - y_min) * f.scale) / 2.0;
    return f;
}

void plot_ward_map(Surface& s, const WardMapData& d, const NumberFormat& fmt) {
    const float lh = s.line_height();
    const MapFrame f = map_frame(d, s.width(), s.height(), lh);
    s.set_text_colour(kBlackRgb);
    s.move_to(4, 4);
    for (std::size_t k = 0; k < d.title.size(); ++k) {
        s.set_bold(k == 0);
        s.set_current_x(4);
        s.print(d.title[k]);
    }
    s.set_bold(false);

    const bool drawable = d.no_value_reason.empty();
    std::vector<double> values;
    for (const MapWard& w : d.wards)
        if (w.shown == MapWard::Shown::value) values.push_back(w.value);
    const std::vector<double> limits = drawable ? class_limits(values, d.classes, d.quantile_classes, d.diverging)
                                                : std::vector<double>{};
    const int n = std::max(0, static_cast<int>(limits.size()) - 1);

    // the wards, then their names above them all
    bool any_other = false;
    std::vector<std::string> no_data;
    for (const MapWard& w : d.wards) {
        std::vector<PixelRing> rings;
        for (const MapPolygon& p : w.polygons)
            for (const std::vector<MapPoint>& r : p) {
                PixelRing pr;
                pr.reserve(r.size());
                for (const MapPoint& q : r) pr.emplace_back(f.px(q), f.py(q));
                rings.push_back(std::move(pr));
            }
        ShapeStyle style;
        style.outline = w.surveyed ? kBlackRgb : kThinOutline;
        style.outline_width = w.surveyed ? 2.0f : 0.75f;
        if (!drawable || w.shown == MapWard::Shown::other || (w.shown == MapWard::Shown::value && n == 0)) {
            style.fill = kOtherGrey;
            any_other = any_other || drawable;
        } else if (w.shown == MapWard::Shown::no_data || !std::isfinite(w.value)) {
            style.fill = kNoDataFill;
            style.hatched = true;
            no_data.push_back(w.name);
        } else {
            style.fill = class_colour(class_of(w.value, limits), n, d.diverging);
        }
        s.shape(rings, style, w.name);
    }
    if (d.names)
        for (const MapWard& w : d.wards) {
            if (w.polygons.empty()) continue;
            const std::vector<MapPoint>& outer = w.polygons.front().front();
            double x = 0, y = 0;
            for (std::size_t k = 0; k + 1 < outer.size(); ++k) x += outer[k].x, y += outer[k].y;
            const double m = static_cast<double>(std::max<std::size_t>(1, outer.size() - 1));
            const MapPoint c{x / m, y / m};
            s.move_to(f.px(c) - s.text_width(w.name) / 2, f.py(c) - lh / 2);
            s.print(w.name);
        }

    // the legend
    const float lx = f.legend_left + 6;
    float y = f.map_top;
    const auto text_at = [&](float x, float ty, const std::string& t) {
        s.move_to(x, ty);
        s.print(t);
    };
    s.set_bold(true);
    text_at(lx, y, d.legend_title);
    s.set_bold(false);
    y += lh + 4;
    if (!drawable) {
        text_at(lx, y, d.no_value_reason);
        y += lh + 4;
    }
    const double magnitude = limits.empty() ? 0.0 : std::max(std::fabs(limits.front()), std::fabs(limits.back()));
    for (int k = n - 1; k >= 0; --k) {  // the largest on top
        ShapeStyle style;
        style.fill = class_colour(k, n, d.diverging);
        style.outline = kThinOutline;
        style.outline_width = 0.75f;
        swatch(s, lx, y + (lh - 10) / 2, style);
        const auto u = static_cast<std::size_t>(k);
        text_at(lx + 22, y,
                limits[u] == limits[u + 1]
                    ? legend_number(limits[u], magnitude, fmt) + ", every ward"
                    : legend_number(limits[u], magnitude, fmt) + " to " + legend_number(limits[u + 1], magnitude, fmt));
        y += lh + 2;
    }
    if (n == 0 && !values.empty() && drawable) {
        text_at(lx, y, "every ward " + legend_number(values.front(), std::fabs(values.front()), fmt));
        y += lh + 2;
    }
    if (any_other) {
        swatch(s, lx, y + (lh - 10) / 2, {kOtherGrey, false, kThinOutline, 0.75f});
        text_at(lx + 22, y, d.other_label);
        y += lh + 2;
    }
    {
        swatch(s, lx, y + (lh - 10) / 2, {kOtherGrey, false, kBlackRgb, 2.0f});
        text_at(lx + 22, y, "bold outline: surveyed");
        y += lh + 2;
    }
    if (!no_data.empty()) {
        swatch(s, lx, y + (lh - 10) / 2, {kNoDataFill, true, kThinOutline, 0.75f});
        text_at(lx + 22, y, "no data:");
        y += lh;
        // the names, as many to a line as fit, then how many more
        std::string line;
        std::size_t shown = 0;
        const float room = s.width() - lx - 26;
        for (const std::string& name : no_data) {
            const std::string next = line.empty() ? name : line + ", " + name;
            if (s.text_width(next) > room && !line.empty()) {
                if (y + 2 * lh > s.height()) break;
                text_at(lx + 22, y, line + ",");
                y += lh;
                line = name;
            } else {
                line = next;
            }
            ++shown;
        }
        if (shown < no_data.size()) line += " and " + std::to_string(no_data.size() - shown) + " more";
        text_at(lx + 22, y, line);
    }

    // the scale bar
    if (f.scale > 0.0) {
        const double metres = scale_bar_metres((f.legend_left - 40) * 0.3 / f.scale);
        const float x0 = 10, x1 = x0 + static_cast<float>(metres * f.scale), yb = s.height() - lh - 8;
        s.set_line_width(2);
        s.line(x0, yb, x1, yb, kBlackRgb);
        s.set_line_width(1);
        s.line(x0, yb - 4, x0, yb + 1, kBlackRgb);
        s.line(x1, yb - 4, x1, yb + 1, kBlackRgb);
        const std::string label = metres >= 1000 ? short_number(metres / 1000, "0.#", fmt) + " km"
                                                 : format_number(metres, "0", fmt) + " m";
        text_at(x0, yb + 3, label);
    }
}

std::optional<std::size_t> ward_at(const WardMapData& d, float width, float height, float lh, float x, float y) {
    const MapFrame f = map_frame(d, width, height, lh);
    if (!(f.scale > 0.0)) return std::nullopt;
    const double mx = f.x_min + (x - f.left) / f.scale, my = f.y_max - (y - f.top) / f.scale;
    for (std::size_t k = d.wards.size(); k-- > 0;)
        if (inside(d.wards[k], mx, my)) return k;
    return std::nullopt;
}

}  // namespace valdmora
