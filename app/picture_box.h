// A drawing surface that keeps what is drawn on it: the picture lives in an image that is
// painted on every repaint, so it stays until cleared and survives being covered.
#pragma once

#include <QFrame>
#include <QImage>

#include "charts/surface.h"

namespace valdmora {

class PictureBox : public QFrame, public Surface {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    // Empties the picture (white).
    void clear();
    // The picture at the screen's pixel density; its logical size is the inner area.
    QImage& image() { return image_; }
    const QImage& image() const { return image_; }
    // Writes the current picture at its pixel density; false when it cannot be written.
    bool save_png(const QString& path) const;

    float width() const override { return static_cast<float>(contentsRect().width()); }
    float height() const override { return static_cast<float>(contentsRect().height()); }
    float line_height() const override;

protected:
    void draw_line(float x1, float y1, float x2, float y2, Rgb colour) override;
    void draw_circle(float x, float y, float radius, Rgb colour) override;
    void draw_text(float x, float y, const std::string& text) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit_image();
    QImage image_;
};

}  // namespace valdmora
