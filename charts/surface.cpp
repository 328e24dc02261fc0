// SPDX-License-Identifier: GPL-3.0-or-later
#include "surface.h"

#include <cmath>

namespace valdmora {
namespace {

// Liang-Barsky clipping of a segment to the box [xmin, xmax] x [ymin, ymax].
bool clip(double& x1, double& y1, double& x2, double& y2, double xmin, double ymin, double xmax, double ymax) {
    double t0 = 0.0, t1 = 1.0;
    const double dx = x2 - x1, dy = y2 - y1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x1 - xmin, xmax - x1, y1 - ymin, ymax - y1};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0) return false;
        } else {
            const double t = q[i] / p[i];
            if (p[i] < 0.0) {
                if (t > t1) return false;
                if (t > t0) t0 = t;
            } else {
                if (t < t0) return false;
                if (t < t1) t1 = t;
            }
        }
    }
    const double nx1 = x1 + t0 * dx, ny1 = y1 + t0 * dy;
    x2 = x1 + t1 * dx;
    y2 = y1 + t1 * dy;
    x1 = nx1;
    y1 = ny1;
    return true;
}

bool finite(float a, float b) { return std::isfinite(a) && std::isfinite(b); }

}  // namespace

void Surface::line(float x1, float y1, float x2, float y2, Rgb colour) {
    cx_ = x2;
    cy_ = y2;
    if (!finite(x1, y1) || !finite(x2, y2)) return;
    double a = x1, b = y1, c = x2, d = y2;
    const double w = width(), h = height();
    if (clip(a, b, c, d, -w, -h, 2.0 * w, 2.0 * h))
        draw_line(static_cast<float>(a), static_cast<float>(b), static_cast<float>(c), static_cast<float>(d), colour);
}

void Surface::circle(float x, float y, float radius, Rgb colour) {
    if (!finite(x, y) || std::fabs(x) > 1e6f || std::fabs(y) > 1e6f) return;
    draw_circle(x, y, radius, colour);
}

void Surface::shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string& name) {
    for (const PixelRing& r : rings)
        for (const auto& [x, y] : r)
            if (!finite(x, y) || std::fabs(x) > 1e6f || std::fabs(y) > 1e6f) return;
    draw_shape(rings, style, name);
}

void Surface::draw_shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string&) {
    const float w = line_width();
    set_line_width(style.outline_width);
    for (const PixelRing& r : rings)
        for (std::size_t k = 0; k < r.size(); ++k) {
            const auto& [x1, y1] = r[k];
            const auto& [x2, y2] = r[(k + 1) % r.size()];
            draw_line(x1, y1, x2, y2, style.outline);
        }
    set_line_width(w);
}

void Surface::print(const std::string& text) {
    if (finite(cx_, cy_) && std::fabs(cx_) < 1e6f && std::fabs(cy_) < 1e6f) draw_text(cx_, cy_, text);
    cx_ = 0.0f;
    cy_ += line_height();
}

}  // namespace valdmora
