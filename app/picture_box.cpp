#include "picture_box.h"

#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QResizeEvent>

namespace valdmora {

PictureBox::PictureBox(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setFocusPolicy(Qt::TabFocus);
    setAutoFillBackground(false);
    fit_image();
}

void PictureBox::clear() {
    image_.fill(Qt::white);
    update();
}

void PictureBox::fit_image() {
    const qreal ratio = devicePixelRatioF();
    const QSize logical = contentsRect().size().expandedTo(QSize(1, 1));
    QImage next(logical * ratio, QImage::Format_ARGB32_Premultiplied);
    next.setDevicePixelRatio(ratio);
    next.fill(Qt::white);
    if (!image_.isNull()) {
        // a resize keeps what was drawn, anchored at the top left
        QPainter p(&next);
        p.drawImage(QPoint(0, 0), image_);
    }
    image_ = std::move(next);
}

bool PictureBox::save_png(const QString& path) const { return image_.save(path, "PNG"); }

float PictureBox::line_height() const { return static_cast<float>(QFontMetricsF(font()).height()); }

namespace {

QColor qcolour(Rgb c) { return QColor(c.r, c.g, c.b); }

}  // namespace

void PictureBox::draw_line(float x1, float y1, float x2, float y2, Rgb colour) {
    QPainter p(&image_);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(qcolour(colour), static_cast<qreal>(line_width()));
    pen.setStyle(dashed() ? Qt::DashLine : Qt::SolidLine);
    p.setPen(pen);
    p.drawLine(QPointF(x1, y1), QPointF(x2, y2));
    update();
}

void PictureBox::draw_circle(float x, float y, float radius, Rgb colour) {
    QPainter p(&image_);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(qcolour(colour), static_cast<qreal>(line_width())));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(x, y), static_cast<qreal>(radius), static_cast<qreal>(radius));
    update();
}

void PictureBox::draw_text(float x, float y, const std::string& text) {
    QPainter p(&image_);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont f = font();
    f.setBold(bold());
    p.setFont(f);
    p.setPen(qcolour(text_colour()));
    const QFontMetricsF m(f);
    p.drawText(QPointF(x, static_cast<qreal>(y) + m.ascent()), QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
    update();
}

void PictureBox::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* save = menu.addAction(tr("Save chart as PNG…"));
    if (menu.exec(event->globalPos()) != save) return;
    const QString path = QFileDialog::getSaveFileName(this, tr("Save chart as PNG"), objectName() + ".png",
                                                      tr("PNG images (*.png)"));
    if (path.isEmpty()) return;
    if (!save_png(path))
        QMessageBox::critical(this, tr("Save chart"), tr("The chart could not be written to %1.").arg(path));
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    fit_image();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter p(this);
    p.drawImage(contentsRect().topLeft(), image_);
}

}  // namespace valdmora
