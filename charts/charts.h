// SPDX-License-Identifier: GPL-3.0-or-later
// The three charts and the scale helpers they share. Each chart is a function of its data
// and a surface; nothing survives a call. Callers clear the surface first where they must.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cycle/number_text.h"
#include "surface.h"

namespace valdmora {

// Maps one data dimension to pixels.
struct AxisScale {
    float lo = 0.0f, hi = 0.0f, mid = 0.0f, factor = 0.0f;
};
// Horizontal: the range fills the middle 80 % of the width.
AxisScale horizontal_scale(float lo, float hi, float width);
// Vertical: the middle 75 % of the height, larger values higher up.
AxisScale vertical_scale(float lo, float hi, float height);
inline float to_x(const AxisScale& s, float v, float width) { return (v - s.mid) * s.factor + width / 2.0f; }
inline float to_y(const AxisScale& s, float v, float height) { return (s.mid - v) * s.factor + height / 2.0f; }

struct Range {
    float hi = -1e20f, lo = 1e20f;
    bool empty() const { return hi == lo; }
};
Range range_scan(std::span<const float> values);

double Log10(double v);
int16_t imin(int16_t a, int16_t b);

// Whole-number step between ticks: a power of ten halved (on whole numbers) until at least
// five steps fit. 0 for a range below 1, which has no whole-number step.
int32_t tick_step(float range);
// Tick values strictly above lo up to the last multiple of step not above hi.
std::vector<float> tick_positions(float lo, float hi, int32_t step);
// Estimated label width: 8 pixels per digit of the step.
float label_width(int32_t step);

// Colours 1..10 of the counts chart's points and the key's names; beyond ten, the other
// wards' one grey.
Rgb point_colours(int index);

// Dog counts (heights) against positions, one circle a ward, with titled and ticked axes.
// Beyond a thousand wards the circles shrink, and the named wards are drawn last so that
// the crowd does not hide them.
void plot_counts(Surface& s, const CountsChartData& d, const NumberFormat& fmt);

// The likelihood profile over totals, with the line 1.92 below its maximum, the limits in
// green, the profile-likelihood limits (when known) dashed in the curve's colour and, for
// simulated data, the true total in red.
void plot_likelihood(Surface& s, const LikelihoodChartData& d, const NumberFormat& fmt);

// Beside the likelihood chart's title: what its axis of totals holds.
extern const char* const kLikelihoodAxisNote;

// The wards (1..n) in the order the counts chart draws their circles.
std::vector<std::size_t> counts_point_order(std::size_t n);

// One point per ward (the first nine in the key's colours, later ones silver), titled and
// ticked axes, and the chart's reference line: y = 0 across, or y = x.
void plot_scatter(Surface& s, const ScatterChartData& d, const NumberFormat& fmt);

// "Key" and up to ten ward names, in the colours of their points; stops at an empty name.
// others: how many wards beyond the named ones the counts chart draws, keyed as one entry.
// The lines given take the key's foot, in black; the names stop above them.
void plot_key(Surface& s, std::span<const std::string> names, std::size_t others = 0,
              std::span<const std::string> lines = {});
extern const Rgb kOtherWardsRgb;

}  // namespace valdmora
