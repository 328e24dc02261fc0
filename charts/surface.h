// SPDX-License-Identifier: GPL-3.0-or-later
// The drawing surface the charts draw on: a pixel grid with its origin at the top left, a
// current position, a text colour, a line width, a dashed or solid line style and a bold
// setting. Lines are clipped to a margin around the surface, and a coordinate that is not
// a number draws nothing, so that no chart can hand the toolkit a wild coordinate.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cycle/chart_data.h"

namespace valdmora {

// A closed ring of pixel positions (the last joins the first).
using PixelRing = std::vector<std::pair<float, float>>;

// How a filled shape looks: its fill, hatched over in grey or not, and its outline.
struct ShapeStyle {
    Rgb fill{255, 255, 255};
    bool hatched = false;
    Rgb outline{0, 0, 0};
    float outline_width = 1.0f;
};

class Surface {
public:
    virtual ~Surface() = default;

    // inner size and the height of one text line, in pixels
    virtual float width() const = 0;
    virtual float height() const = 0;
    virtual float line_height() const = 0;
    // How wide a text prints in the surface's font (bold or not, as set).
    virtual float text_width(const std::string& text) const = 0;

    // A line from (x1, y1) to (x2, y2); afterwards the current position is (x2, y2).
    void line(float x1, float y1, float x2, float y2, Rgb colour);
    // The outline of a circle.
    void circle(float x, float y, float radius, Rgb colour);
    // A filled shape of rings, a point inside an odd number of them filled (so holes stay
    // open), and outlined. A name labels the shape where the surface can (an SVG title).
    void shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string& name = {});
    // Text with its top left at the current position, in the text colour; afterwards the
    // current position is (0, y + one text line).
    void print(const std::string& text);

    float current_x() const { return cx_; }
    float current_y() const { return cy_; }
    void set_current_x(float x) { cx_ = x; }
    void set_current_y(float y) { cy_ = y; }
    void move_to(float x, float y) { cx_ = x, cy_ = y; }

    Rgb text_colour() const { return text_colour_; }
    void set_text_colour(Rgb c) { text_colour_ = c; }
    float line_width() const { return line_width_; }
    void set_line_width(float w) { line_width_ = w; }
    bool dashed() const { return dashed_; }
    void set_dashed(bool d) { dashed_ = d; }
    bool bold() const { return bold_; }
    void set_bold(bool b) { bold_ = b; }

protected:
    // What a toolkit draws; coordinates here are finite and near the surface.
    virtual void draw_line(float x1, float y1, float x2, float y2, Rgb colour) = 0;
    virtual void draw_circle(float x, float y, float radius, Rgb colour) = 0;
    virtual void draw_text(float x, float y, const std::string& text) = 0;
    // Without a fill of its own a surface draws the outline.
    virtual void draw_shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string& name);

private:
    float cx_ = 0.0f, cy_ = 0.0f;
    Rgb text_colour_{};
    float line_width_ = 1.0f;
    bool dashed_ = false;
    bool bold_ = false;
};

}  // namespace valdmora
