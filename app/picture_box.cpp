// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture_box.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QMenu>
#include <QToolTip>
#include <QPainter>
#include <QResizeEvent>
#include <cmath>

#include "charts/svg_surface.h"
#include "cycle/atomic_file.h"
#include "file_name.h"

namespace valdmora {

PictureBox::PictureBox(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setFocusPolicy(Qt::TabFocus);
    setAutoFillBackground(false);
    rebuild_image();
}

void PictureBox::clear() {
    items_.clear();
    image_.fill(Qt::white);
    update();
}

namespace {

QColor qcolour(Rgb c) { return QColor(c.r, c.g, c.b); }

// the centre of the pixel a coordinate falls in
qreal centre(float v) { return std::floor(static_cast<qreal>(v)) + 0.5; }

}  // namespace

void PictureBox::render(QPainter& p, const Item& item, bool print) const {
    if (const auto* l = std::get_if<Line>(&item)) {
        p.setRenderHint(QPainter::Antialiasing, print);
        QPen pen(qcolour(l->colour), static_cast<qreal>(l->width));
        pen.setCosmetic(!print && l->width <= 1.0f);
        pen.setStyle(l->dashed ? Qt::DashLine : Qt::SolidLine);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.drawLine(QPointF(centre(l->x1), centre(l->y1)), QPointF(centre(l->x2), centre(l->y2)));
    } else if (const auto* c = std::get_if<Circle>(&item)) {
        p.setRenderHint(QPainter::Antialiasing, print);
        QPen pen(qcolour(c->colour), static_cast<qreal>(c->width));
        pen.setCosmetic(!print && c->width <= 1.0f);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(centre(c->x), centre(c->y)), static_cast<qreal>(c->r), static_cast<qreal>(c->r));
    } else if (const auto* t = std::get_if<Text>(&item)) {
        p.setRenderHint(QPainter::TextAntialiasing);
        QFont f = font();
        f.setBold(t->bold);
        p.setFont(f);
        p.setPen(qcolour(t->colour));
        const QFontMetricsF m(f);
        p.drawText(QPointF(t->x, static_cast<qreal>(t->y) + m.ascent()),
                   QString::fromUtf8(t->text.data(), static_cast<qsizetype>(t->text.size())));
    }
}

void PictureBox::add(Item item) {
    {
        QPainter p(&image_);
        render(p, item);
    }
    items_.push_back(std::move(item));
    update();
}

void PictureBox::rebuild_image() {
    const qreal ratio = devicePixelRatioF();
    const QSize logical = contentsRect().size().expandedTo(QSize(1, 1));
    image_ = QImage(logical * ratio, QImage::Format_ARGB32_Premultiplied);
    image_.setDevicePixelRatio(ratio);
    image_.fill(Qt::white);
    QPainter p(&image_);
    for (const Item& item : items_) render(p, item);
}

namespace {

// The file through the one writer.
bool write_whole(const QString& path, const QByteArray& data, QString* error) {
    const std::string e = write_file_atomically(engine_path(path), std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
    if (!e.empty() && error) *error = QString::fromStdString(e);
    return e.empty();
}

// An image as PNG through the one writer.
bool write_png(const QImage& image, const QString& path, QString* error) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        if (error) *error = QStringLiteral("the picture could not be encoded as PNG");
        return false;
    }
    return write_whole(path, png, error);
}

}  // namespace

bool PictureBox::save_png(const QString& path, QString* error) const { return write_png(image_, path, error); }

void PictureBox::feed_svg(SvgSurface& svg, float dx, float dy) const {
    for (const Item& item : items_) {
        if (const auto* l = std::get_if<Line>(&item)) {
            svg.set_line_width(l->width);
            svg.set_dashed(l->dashed);
            svg.line(l->x1 + dx, l->y1 + dy, l->x2 + dx, l->y2 + dy, l->colour);
        } else if (const auto* c = std::get_if<Circle>(&item)) {
            svg.set_line_width(c->width);
            svg.set_dashed(false);
            svg.circle(c->x + dx, c->y + dy, c->r, c->colour);
        } else if (const auto* t = std::get_if<Text>(&item)) {
            svg.move_to(t->x + dx, t->y + dy);
            svg.set_text_colour(t->colour);
            svg.set_bold(t->bold);
            svg.print(t->text);
        }
    }
}

namespace {

// The SVG surface in the window's font and metrics.
SvgSurface::Font svg_font(const QFont& font) {
    SvgSurface::Font f;
    const QFontMetricsF metrics(font);
    f.family = font.family().toStdString();
    f.size = static_cast<float>(QFontInfo(font).pixelSize());
    f.ascent = static_cast<float>(metrics.ascent());
    f.line_height = static_cast<float>(metrics.height());
    return f;
}

constexpr float kKeyGap = 12.0f;

}  // namespace

bool PictureBox::save_svg(const QString& path, QString* error) const {
    // the items again, on a surface that writes SVG, in the window's font and metrics
    SvgSurface svg(width(), height(), svg_font(font()), objectName().toStdString());
    feed_svg(svg, 0.0f, 0.0f);
    return write_whole(path, QByteArray::fromStdString(svg.svg()), error);
}

bool PictureBox::export_svg(const QString& path, const QString& title, const PictureBox* key, QString* error) const {
    const float band = title.isEmpty() ? 0.0f : line_height() + 8.0f;
    const float w = width() + (key ? kKeyGap + key->width() : 0.0f);
    const float h = band + std::max(height(), key ? key->height() : 0.0f);
    SvgSurface svg(w, h, svg_font(font()), objectName().toStdString());
    if (!title.isEmpty()) {
        svg.move_to(4.0f, 4.0f);
        svg.set_bold(true);
        svg.print(title.toStdString());
        svg.set_bold(false);
    }
    feed_svg(svg, 0.0f, band);
    if (key) key->feed_svg(svg, width() + kKeyGap, band);
    return write_whole(path, QByteArray::fromStdString(svg.svg()), error);
}

bool PictureBox::export_png(const QString& path, const QString& title, const PictureBox* key, QString* error) const {
    constexpr qreal kScale = 300.0 / 96.0;  // print resolution, from the window's 96 to the inch
    const qreal band = title.isEmpty() ? 0.0 : static_cast<qreal>(line_height()) + 8.0;
    const qreal w = width() + (key ? static_cast<qreal>(kKeyGap + key->width()) : 0.0);
    const qreal h = band + std::max(static_cast<qreal>(height()), key ? static_cast<qreal>(key->height()) : 0.0);
    QImage image(QSize(static_cast<int>(std::ceil(w * kScale)), static_cast<int>(std::ceil(h * kScale))),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDotsPerMeterX(11811);  // 300 dpi
    image.setDotsPerMeterY(11811);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.scale(kScale, kScale);
        if (!title.isEmpty()) {
            QFont bold = font();
            bold.setBold(true);
            p.setFont(bold);
            p.setPen(Qt::black);
            p.drawText(QPointF(4.0, 4.0 + QFontMetricsF(bold).ascent()), title);
        }
        p.translate(0.0, band);
        for (const Item& item : items_) render(p, item, true);
        if (key) {
            p.translate(static_cast<qreal>(width() + kKeyGap), 0.0);
            for (const Item& item : key->items_) key->render(p, item, true);
        }
    }
    return write_png(image, path, error);
}

std::vector<std::string> PictureBox::texts() const {
    std::vector<std::string> out;
    for (const Item& item : items_)
        if (const auto* t = std::get_if<Text>(&item)) out.push_back(t->text);
    return out;
}

float PictureBox::line_height() const { return static_cast<float>(QFontMetricsF(font()).height()); }

float PictureBox::text_width(const std::string& text) const {
    QFont f = font();
    f.setBold(bold());
    return static_cast<float>(
        QFontMetricsF(f).horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))));
}

void PictureBox::draw_line(float x1, float y1, float x2, float y2, Rgb colour) {
    add(Line{x1, y1, x2, y2, colour, line_width(), dashed()});
}

void PictureBox::draw_circle(float x, float y, float radius, Rgb colour) {
    add(Circle{x, y, radius, colour, line_width()});
}

void PictureBox::draw_text(float x, float y, const std::string& text) { add(Text{x, y, text, text_colour(), bold()}); }

void PictureBox::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* save = menu.addAction(tr("Save chart as PNG or SVG…"));
    if (menu.exec(event->globalPos()) == save) emit saveRequested(this);
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    rebuild_image();
}

QString PictureBox::point_name_at(const QPointF& position) const {
    const QPointF at = position - contentsRect().topLeft();
    std::size_t k = 0;
    QString found;
    for (const Item& item : items_)
        if (const auto* c = std::get_if<Circle>(&item)) {
            const qreal dx = at.x() - static_cast<qreal>(c->x), dy = at.y() - static_cast<qreal>(c->y);
            if (k < point_names_.size() && dx * dx + dy * dy <= std::pow(static_cast<qreal>(c->r) + 3.0, 2))
                found = point_names_[k];  // a later circle lies on top
            ++k;
        }
    return found;
}

bool PictureBox::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(e);
        const QString name = point_name_at(help->pos());
        if (!name.isEmpty()) {
            QToolTip::showText(help->globalPos(), name, this);
            return true;
        }
    }
    return QFrame::event(e);
}

void PictureBox::set_placeholder(const QString& text) {
    if (text == placeholder_) return;
    placeholder_ = text;
    update();
}

void PictureBox::set_out_of_date(const QString& line) {
    if (line == out_of_date_) return;
    out_of_date_ = line;
    setAccessibleDescription(line);
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    // a move to a screen of another density draws the picture afresh at that density
    if (!qFuzzyCompare(image_.devicePixelRatio(), devicePixelRatioF())) rebuild_image();
    QFrame::paintEvent(event);
    QPainter p(this);
    p.drawImage(contentsRect().topLeft(), image_);
    if (items_.empty() && !placeholder_.isEmpty()) {
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(contentsRect().adjusted(24, 24, -24, -24), Qt::AlignCenter | Qt::TextWordWrap, placeholder_);
    }
    if (!out_of_date_.isEmpty() && !items_.empty()) {
        p.fillRect(contentsRect(), QColor(255, 255, 255, 170));
        const QRect band = contentsRect().adjusted(4, 4, -4, 0);
        QRect text = p.fontMetrics().boundingRect(band, Qt::TextWordWrap, out_of_date_);
        p.fillRect(text.adjusted(-3, -2, 3, 2), QColor(255, 248, 200));
        p.setPen(QColor(120, 60, 0));
        p.drawText(band, Qt::TextWordWrap, out_of_date_);
    }
    if (hasFocus()) {
        // where the keyboard is, visibly
        QPen pen(palette().color(QPalette::Highlight), 2);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(contentsRect().adjusted(1, 1, -1, -1));
    }
}

}  // namespace valdmora
