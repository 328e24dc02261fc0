// A drawing surface that keeps what is drawn on it: every primitive goes to a list that is
// rendered into an image at the screen's pixel density, so the picture stays until cleared,
// survives being covered, stays sharp on a high-density screen, and can be written as PNG
// or SVG. Lines and circles are drawn aliased, one pixel wide on pixel centres, in exactly
// their colours.
#pragma once

#include <QFrame>
#include <QImage>
#include <variant>
#include <vector>

#include "charts/surface.h"

class QPainter;

namespace valdmora {

class PictureBox : public QFrame, public Surface {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    // Empties the picture (white).
    void clear();
    // The picture at the screen's pixel density; its logical size is the inner area.
    const QImage& image() const { return image_; }
    // Write the picture whole or not at all; false with the reason in *error.
    bool save_png(const QString& path, QString* error = nullptr) const;
    bool save_svg(const QString& path, QString* error = nullptr) const;
    bool empty() const { return items_.empty(); }
    // A picture that no longer belongs to what the form shows: washed grey on screen, with
    // this line across its top; empty: shown as drawn. Saved pictures are never washed.
    void set_out_of_date(const QString& line);
    const QString& out_of_date() const { return out_of_date_; }
    // What an empty picture says, in grey, until something is drawn.
    void set_placeholder(const QString& text);
    const QString& placeholder() const { return placeholder_; }
    // The texts printed on the picture, in order.
    std::vector<std::string> texts() const;

    float width() const override { return static_cast<float>(contentsRect().width()); }
    float height() const override { return static_cast<float>(contentsRect().height()); }
    float line_height() const override;
    float text_width(const std::string& text) const override;

signals:
    void saveRequested(PictureBox* box);

protected:
    void draw_line(float x1, float y1, float x2, float y2, Rgb colour) override;
    void draw_circle(float x, float y, float radius, Rgb colour) override;
    void draw_text(float x, float y, const std::string& text) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Line {
        float x1, y1, x2, y2;
        Rgb colour;
        float width;
        bool dashed;
    };
    struct Circle {
        float x, y, r;
        Rgb colour;
        float width;
    };
    struct Text {
        float x, y;
        std::string text;
        Rgb colour;
        bool bold;
    };
    using Item = std::variant<Line, Circle, Text>;

    void render(QPainter& p, const Item& item) const;
    void add(Item item);
    void rebuild_image();
    std::vector<Item> items_;
    QImage image_;
    QString out_of_date_;
    QString placeholder_;
};

}  // namespace valdmora
