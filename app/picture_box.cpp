#include "picture_box.h"

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
