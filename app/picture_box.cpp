#include "picture_box.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QMenu>
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

void PictureBox::render(QPainter& p, const Item& item) const {
    if (const auto* l = std::get_if<Line>(&item)) {
        p.setRenderHint(QPainter::Antialiasing, false);
        QPen pen(qcolour(l->colour), static_cast<qreal>(l->width));
        pen.setCosmetic(l->width <= 1.0f);
        pen.setStyle(l->dashed ? Qt::DashLine : Qt::SolidLine);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.drawLine(QPointF(centre(l->x1), centre(l->y1)), QPointF(centre(l->x2), centre(l->y2)));
    } else if (const auto* c = std::get_if<Circle>(&item)) {
        p.setRenderHint(QPainter::Antialiasing, false);
        QPen pen(qcolour(c->colour), static_cast<qreal>(c->width));
        pen.setCosmetic(c->width <= 1.0f);
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

}  // namespace

bool PictureBox::save_png(const QString& path, QString* error) const {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image_.save(&buffer, "PNG")) {
        if (error) *error = tr("the picture could not be encoded as PNG");
        return false;
    }
    return write_whole(path, png, error);
}

bool PictureBox::save_svg(const QString& path, QString* error) const {
    // the items again, on a surface that writes SVG, in the window's font and metrics
    SvgSurface::Font f;
    const QFontMetricsF metrics(font());
    f.family = font().family().toStdString();
    f.size = static_cast<float>(QFontInfo(font()).pixelSize());
    f.ascent = static_cast<float>(metrics.ascent());
    f.line_height = static_cast<float>(metrics.height());
    SvgSurface svg(width(), height(), f, objectName().toStdString());
    for (const Item& item : items_) {
        if (const auto* l = std::get_if<Line>(&item)) {
            svg.set_line_width(l->width);
            svg.set_dashed(l->dashed);
            svg.line(l->x1, l->y1, l->x2, l->y2, l->colour);
        } else if (const auto* c = std::get_if<Circle>(&item)) {
            svg.set_line_width(c->width);
            svg.set_dashed(false);
            svg.circle(c->x, c->y, c->r, c->colour);
        } else if (const auto* t = std::get_if<Text>(&item)) {
            svg.move_to(t->x, t->y);
            svg.set_text_colour(t->colour);
            svg.set_bold(t->bold);
            svg.print(t->text);
        }
    }
    return write_whole(path, QByteArray::fromStdString(svg.svg()), error);
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
