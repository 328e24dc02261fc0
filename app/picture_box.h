// SPDX-License-Identifier: GPL-3.0-or-later
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
    // The picture for print: PNG at 300 dpi, or SVG, with a title line above it and, when
    // given, the key beside it; whole or not at all.
    bool export_png(const QString& path, const QString& title, const PictureBox* key, QString* error = nullptr) const;
    bool export_svg(const QString& path, const QString& title, const PictureBox* key, QString* error = nullptr) const;
    bool empty() const { return items_.empty(); }
    // A picture that no longer belongs to what the form shows: washed grey on screen, with
    // this line across its top; empty: shown as drawn. Saved pictures are never washed.
    void set_out_of_date(const QString& line);
    const QString& out_of_date() const { return out_of_date_; }
    // The names of the circles in the order they were drawn, shown on hovering over one.
    void set_point_names(std::vector<QString> names) { point_names_ = std::move(names); }
    // The name of the circle at a point of the picture (the last drawn on top), or empty.
    QString point_name_at(const QPointF& position) const;
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
    bool event(QEvent* event) override;
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

    // for print, lines keep their width in the picture's units, smoothed
    void render(QPainter& p, const Item& item, bool print = false) const;
    void feed_svg(class SvgSurface& svg, float dx, float dy) const;
    void add(Item item);
    void rebuild_image();
    std::vector<Item> items_;
    QImage image_;
    QString out_of_date_;
    QString placeholder_;
    std::vector<QString> point_names_;
};

}  // namespace valdmora
