// SPDX-License-Identifier: GPL-3.0-or-later
// A surface that writes SVG text: what is drawn on it becomes one element each, in order,
// on a white page of the surface's size. Numbers are written with a point whatever the
// locale. Text widths come from the caller, so that a chart laid out for the window's font
// is laid out the same in the drawing.
#pragma once

#include <functional>
#include <string>

#include "surface.h"

namespace valdmora {

class SvgSurface : public Surface {
public:
    struct Font {
        std::string family = "sans-serif";
        float size = 12.0f;        // pixels
        float ascent = 10.0f;      // from a line's top to its baseline
        float line_height = 15.0f;
        // the width of a text, bold or not; without it 0.6 of the size a character
        std::function<float(const std::string& text, bool bold)> width;
    };
    SvgSurface(float width, float height, Font font, std::string title = {});

    float width() const override { return width_; }
    float height() const override { return height_; }
    float line_height() const override { return font_.line_height; }
    float text_width(const std::string& text) const override;

    // The whole document.
    std::string svg() const;

protected:
    void draw_line(float x1, float y1, float x2, float y2, Rgb colour) override;
    void draw_circle(float x, float y, float radius, Rgb colour) override;
    void draw_text(float x, float y, const std::string& text) override;
    void draw_shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string& name) override;

private:
    std::string stroke(Rgb colour) const;
    float width_, height_;
    Font font_;
    std::string title_;
    std::string body_;
    bool hatch_used_ = false;
};

// Text made safe for XML character data and attribute values; bytes that are not UTF-8
// are taken as Latin-1, and control characters XML cannot hold are dropped.
std::string xml_escaped(const std::string& text);

}  // namespace valdmora
