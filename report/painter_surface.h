// SPDX-License-Identifier: GPL-3.0-or-later
// A chart surface over any QPainter: on a PDF page the charts stay vector drawings.
#pragma once

#include <QFont>
#include <QPainter>
#include <QPainterPath>

#include "charts/surface.h"

namespace valdmora {

class PainterSurface : public Surface {
public:
    // Draws into the rectangle (left, top, width, height) of the painter's page, in its units.
    PainterSurface(QPainter& painter, const QRectF& area, const QFont& font);

    float width() const override { return static_cast<float>(area_.width()); }
    float height() const override { return static_cast<float>(area_.height()); }
    float line_height() const override;
    float text_width(const std::string& text) const override;

protected:
    void draw_line(float x1, float y1, float x2, float y2, Rgb colour) override;
    void draw_circle(float x, float y, float radius, Rgb colour) override;
    void draw_text(float x, float y, const std::string& text) override;
    void draw_shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string& name) override;

private:
    QFont current_font() const;
    QPainter& p_;
    QRectF area_;
    QFont font_;
};

// The rings as one path, filled even-odd (the picture box fills shapes the same way).
QPainterPath shape_path(const std::vector<PixelRing>& rings);

}  // namespace valdmora
