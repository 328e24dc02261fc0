// A drawing surface that keeps what is drawn on it: the picture lives in an image that is
// painted on every repaint, so it stays until cleared and survives being covered.
#pragma once

#include <QFrame>
#include <QImage>

namespace valdmora {

class PictureBox : public QFrame {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    // Empties the picture (white).
    void clear();
    // The picture at the screen's pixel density; its logical size is the inner area.
    QImage& image() { return image_; }
    const QImage& image() const { return image_; }
    // Inner drawing area in pixels.
    int inner_width() const { return contentsRect().width(); }
    int inner_height() const { return contentsRect().height(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit_image();
    QImage image_;
};

}  // namespace valdmora
