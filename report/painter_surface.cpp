// SPDX-License-Identifier: GPL-3.0-or-later
#include "painter_surface.h"

#include <QFontMetricsF>
#include <QPainterPath>
#include <QPen>

namespace valdmora {

namespace {
QColor qcolour(Rgb c) { return QColor(c.r, c.g, c.b); }
QString text_of(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

PainterSurface::PainterSurface(QPainter& painter, const QRectF& area, const QFont& font)
    : p_(painter), area_(area), font_(font) {
    p_.save();
    p_.setPen(QPen(Qt::black, 0.5));
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(area_);
    p_.restore();
}

QFont PainterSurface::current_font() const {
    QFont f = font_;
    f.setBold(bold());
    return f;
}

float PainterSurface::line_height() const { return static_cast<float>(QFontMetricsF(font_, p_.device()).height()); }

float PainterSurface::text_width(const std::string& text) const {
    return static_cast<float>(QFontMetricsF(current_font(), p_.device()).horizontalAdvance(text_of(text)));
}

void PainterSurface::draw_line(float x1, float y1, float x2, float y2, Rgb colour) {
    QPen pen(qcolour(colour), static_cast<qreal>(line_width()) * 0.75);
    pen.setStyle(dashed() ? Qt::DashLine : Qt::SolidLine);
    p_.setPen(pen);
    p_.drawLine(area_.topLeft() + QPointF(x1, y1), area_.topLeft() + QPointF(x2, y2));
}

void PainterSurface::draw_circle(float x, float y, float radius, Rgb colour) {
    p_.setPen(QPen(qcolour(colour), static_cast<qreal>(line_width()) * 0.75));
    p_.setBrush(Qt::NoBrush);
    p_.drawEllipse(area_.topLeft() + QPointF(x, y), static_cast<qreal>(radius), static_cast<qreal>(radius));
}

void PainterSurface::draw_text(float x, float y, const std::string& text) {
    const QFont f = current_font();
    p_.setFont(f);
    p_.setPen(qcolour(text_colour()));
    p_.drawText(area_.topLeft() + QPointF(x, static_cast<qreal>(y) + QFontMetricsF(f, p_.device()).ascent()), text_of(text));
}

void PainterSurface::draw_shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string&) {
    p_.save();
    p_.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath path = shape_path(rings);
    path.translate(area_.topLeft());
    p_.setPen(QPen(qcolour(style.outline), static_cast<qreal>(style.outline_width) * 0.75));
    p_.setBrush(qcolour(style.fill));
    p_.drawPath(path);
    if (style.hatched) {
        p_.setPen(Qt::NoPen);
        p_.setBrush(QBrush(QColor(112, 112, 112), Qt::BDiagPattern));
        p_.drawPath(path);
    }
    p_.restore();
}

QPainterPath shape_path(const std::vector<PixelRing>& rings) {
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    for (const PixelRing& r : rings) {
        if (r.empty()) continue;
        path.moveTo(r[0].first, r[0].second);
        for (std::size_t k = 1; k < r.size(); ++k) path.lineTo(r[k].first, r[k].second);
        path.closeSubpath();
    }
    return path;
}

}  // namespace valdmora
