// SPDX-License-Identifier: GPL-3.0-or-later
#include "svg_surface.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace valdmora {
namespace {

// Shortest text that reads back as the same float; never the locale's comma.
std::string num(float v) {
    std::array<char, 32> buffer{};
    const auto r = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v == 0.0f ? 0.0f : v);
    return std::string(buffer.data(), r.ptr);
}

std::string hex(Rgb c) {
    char out[8];
    std::snprintf(out, sizeof out, "#%02x%02x%02x", c.r, c.g, c.b);
    return out;
}

// the length of the UTF-8 sequence starting at i, or 0 when there is none
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    const std::size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    if (c >= 0xf5 || n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '<': out += "&lt;"; break;
                case '>': out += "&gt;"; break;
                case '&': out += "&amp;"; break;
                case '"': out += "&quot;"; break;
                case '\'': out += "&apos;"; break;
                default:
                    if (c >= 0x20 || c == '\t') out += static_cast<char>(c);
            }
            ++i;
        } else if (const std::size_t n = utf8_length(text, i)) {
            out.append(text, i, n);
            i += n;
        } else {
            // Latin-1, as the count file's names may be
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
            ++i;
        }
    }
    return out;
}

SvgSurface::SvgSurface(float width, float height, Font font, std::string title)
    : width_(width), height_(height), font_(std::move(font)), title_(std::move(title)) {}

float SvgSurface::text_width(const std::string& text) const {
    if (font_.width) return font_.width(text, bold());
    return 0.6f * font_.size * static_cast<float>(text.size());
}

std::string SvgSurface::stroke(Rgb colour) const {
    std::string s = " stroke=\"" + hex(colour) + "\" stroke-width=\"" + num(line_width()) + "\"";
    if (dashed()) s += " stroke-dasharray=\"" + num(3 * line_width()) + "," + num(2 * line_width()) + "\"";
    return s;
}

// Lines and circles on pixel centres, as the window draws them.
void SvgSurface::draw_line(float x1, float y1, float x2, float y2, Rgb colour) {
    const auto centre = [](float v) { return std::floor(v) + 0.5f; };
    body_ += "<line x1=\"" + num(centre(x1)) + "\" y1=\"" + num(centre(y1)) + "\" x2=\"" + num(centre(x2)) + "\" y2=\"" +
             num(centre(y2)) + "\"" + stroke(colour) + "/>\n";
}

void SvgSurface::draw_circle(float x, float y, float radius, Rgb colour) {
    const auto centre = [](float v) { return std::floor(v) + 0.5f; };
    body_ += "<circle cx=\"" + num(centre(x)) + "\" cy=\"" + num(centre(y)) + "\" r=\"" + num(radius) +
             "\" fill=\"none\"" + stroke(colour) + "/>\n";
}

void SvgSurface::draw_text(float x, float y, const std::string& text) {
    body_ += "<text x=\"" + num(x) + "\" y=\"" + num(y + font_.ascent) + "\" fill=\"" + hex(text_colour()) + "\"" +
             (bold() ? " font-weight=\"bold\"" : "") + " xml:space=\"preserve\">" + xml_escaped(text) + "</text>\n";
}

// One path a shape, its rings filled even-odd; a named shape carries its name as a title
// (shown on hover) and a data-ward attribute.
void SvgSurface::draw_shape(const std::vector<PixelRing>& rings, const ShapeStyle& style, const std::string& name) {
    std::string d;
    for (const PixelRing& r : rings) {
        for (std::size_t k = 0; k < r.size(); ++k) d += (k == 0 ? "M" : "L") + num(r[k].first) + " " + num(r[k].second);
        if (!r.empty()) d += "Z";
    }
    const std::string attributes = " stroke=\"" + hex(style.outline) + "\" stroke-width=\"" + num(style.outline_width) +
                                   "\" fill-rule=\"evenodd\" stroke-linejoin=\"round\"";
    const std::string label = name.empty() ? "" : " data-ward=\"" + xml_escaped(name) + "\"";
    const std::string title = name.empty() ? "" : "<title>" + xml_escaped(name) + "</title>";
    body_ += "<path" + label + " d=\"" + d + "\" fill=\"" + hex(style.fill) + "\"" + attributes + ">" + title + "</path>\n";
    if (style.hatched) {
        hatch_used_ = true;
        body_ += "<path d=\"" + d + "\" fill=\"url(#hatch)\" fill-rule=\"evenodd\" stroke=\"none\"/>\n";
    }
}

std::string SvgSurface::svg() const {
    const std::string w = num(width_), h = num(height_);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
                      w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " + h + "\" font-family=\"" +
                      xml_escaped(font_.family) + "\" font-size=\"" + num(font_.size) +
                      "\" stroke-linecap=\"butt\">\n";
    if (!title_.empty()) out += "<title>" + xml_escaped(title_) + "</title>\n";
    if (hatch_used_)
        out += "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
               "patternTransform=\"rotate(45)\"><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#707070\" "
               "stroke-width=\"1.5\"/></pattern></defs>\n";
    out += "<rect width=\"" + w + "\" height=\"" + h + "\" fill=\"#ffffff\"/>\n";
    return out + body_ + "</svg>\n";
}

}  // namespace valdmora
