// SPDX-License-Identifier: GPL-3.0-or-later
#include "moran.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <unordered_map>

#include "cycle/number_format.h"

namespace valdmora {

namespace {

struct Vertex {
    std::size_t shape;
    LonLat at;
};

int64_t cell(double v, double snap) { return static_cast<int64_t>(std::floor(v / snap)); }
uint64_t cell_key(int64_t a, int64_t b) { return static_cast<uint64_t>(a) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(b); }

}  // namespace

Neighbours queen_neighbours(const std::vector<const WardShape*>& shapes, double snap) {
    // every boundary position in a grid of cells one snap wide: two positions within snap
    // of each other lie in the same or adjacent cells
    std::unordered_map<uint64_t, std::vector<Vertex>> grid;
    for (std::size_t s = 0; s < shapes.size(); ++s)
        for (const Polygon& p : shapes[s]->polygons)
            for (const Ring& r : p)
                for (const LonLat& q : r) {
                    std::vector<Vertex>& here = grid[cell_key(cell(q.lon, snap), cell(q.lat, snap))];
                    const bool known = std::any_of(here.begin(), here.end(), [&](const Vertex& v) {
                        return v.shape == s && v.at.lon == q.lon && v.at.lat == q.lat;
                    });
                    if (!known) here.push_back({s, q});
                }
    std::vector<std::set<std::size_t>> sets(shapes.size());
    for (const auto& [key, vertices] : grid)
        for (const Vertex& v : vertices) {
            const int64_t cx = cell(v.at.lon, snap), cy = cell(v.at.lat, snap);
            for (int64_t dx = -1; dx <= 1; ++dx)
                for (int64_t dy = -1; dy <= 1; ++dy) {
                    const auto other = grid.find(cell_key(cx + dx, cy + dy));
                    if (other == grid.end()) continue;
                    for (const Vertex& w : other->second)
                        if (w.shape != v.shape && std::fabs(w.at.lon - v.at.lon) <= snap &&
                            std::fabs(w.at.lat - v.at.lat) <= snap)
                            sets[v.shape].insert(w.shape);
                }
        }
    Neighbours out(shapes.size());
    for (std::size_t s = 0; s < shapes.size(); ++s) out[s].assign(sets[s].begin(), sets[s].end());
    return out;
}

// Cliff and Ord's moments of I under randomisation, as the spatial statistics packages give
// them: with weights w (rows summing to 1), S0 = sum w_ij, S1 = 1/2 sum (w_ij + w_ji)^2,
// S2 = sum_i (w_i. + w_.i)^2 and the kurtosis b2 of the values,
// Var I = [n((n^2 - 3n + 3) S1 - n S2 + 3 S0^2) - b2((n^2 - n) S1 - 2n S2 + 6 S0^2)]
//         / ((n-1)(n-2)(n-3) S0^2) - E[I]^2.
Available<MoranTest> moran_test(const std::vector<double>& x, const Neighbours& neighbours) {
    const std::size_t n = x.size();
    if (n < 4) return Available<MoranTest>::why_not("fewer than four surveyed wards have a surveyed neighbour");
    double mean = 0.0;
    for (double v : x) mean += v;
    mean /= static_cast<double>(n);
    double m2 = 0.0, m4 = 0.0;
    for (double v : x) {
        const double z2 = (v - mean) * (v - mean);
        m2 += z2;
        m4 += z2 * z2;
    }
    if (!(m2 > 0.0) || !std::isfinite(m2))
        return Available<MoranTest>::why_not("the residuals do not vary or are not all numbers");

    // row-standardised weights, by pairs: w(i, j) = 1 / |N(i)|
    const auto w = [&](std::size_t i, std::size_t j) {
        const std::vector<std::size_t>& ni = neighbours[i];
        return std::binary_search(ni.begin(), ni.end(), j) ? 1.0 / static_cast<double>(ni.size()) : 0.0;
    };
    double s0 = 0.0, s1 = 0.0, cross = 0.0;
    std::vector<double> row(n, 0.0), col(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (neighbours[i].empty()) return Available<MoranTest>::why_not("a ward without a neighbour was given");
        for (std::size_t j : neighbours[i]) {
            const double wij = w(i, j), wji = w(j, i);
            s0 += wij;
            s1 += (wij + wji) * (wij + wji);
            row[i] += wij;
            col[j] += wij;
            cross += wij * (x[i] - mean) * (x[j] - mean);
        }
    }
    s1 /= 2.0;
    // pairs where only j lists i: their (w_ij + w_ji)^2 was not counted from i's row
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i : neighbours[j])
            if (w(i, j) == 0.0) s1 += w(j, i) * w(j, i) / 2.0;
    double s2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) s2 += (row[i] + col[i]) * (row[i] + col[i]);

    const double dn = static_cast<double>(n);
    MoranTest t;
    t.n = n;
    t.i = dn / s0 * cross / m2;
    t.expected = -1.0 / (dn - 1.0);
    const double b2 = dn * m4 / (m2 * m2);
    const double a = dn * ((dn * dn - 3.0 * dn + 3.0) * s1 - dn * s2 + 3.0 * s0 * s0);
    const double b = b2 * ((dn * dn - dn) * s1 - 2.0 * dn * s2 + 6.0 * s0 * s0);
    t.variance = (a - b) / ((dn - 1.0) * (dn - 2.0) * (dn - 3.0) * s0 * s0) - t.expected * t.expected;
    if (!(t.variance > 0.0)) return Available<MoranTest>::why_not("the variance of Moran's I is not positive");
    t.z = (t.i - t.expected) / std::sqrt(t.variance);
    t.p_value = std::erfc(std::fabs(t.z) / std::sqrt(2.0));
    return Available<MoranTest>::of(t);
}

SpatialCheck spatial_check(const std::vector<std::string>& surveyed, const std::vector<double>& pearson,
                           const WardBoundaries& boundaries) {
    SpatialCheck c;
    c.wards_without_boundary = boundaries.wards_without_boundary;
    c.boundaries_without_ward = boundaries.boundaries_without_ward;
    std::vector<const WardShape*> shapes;
    std::vector<std::size_t> index;  // into surveyed
    for (std::size_t k = 0; k < surveyed.size() && k < pearson.size(); ++k)
        if (const WardShape* s = boundaries.shape(surveyed[k])) {
            shapes.push_back(s);
            index.push_back(k);
        }
    const Neighbours all = queen_neighbours(shapes);
    // wards without a surveyed neighbour leave; the others keep every neighbour they had,
    // none of which is among those leaving
    std::vector<std::size_t> renumber(shapes.size(), 0);
    std::vector<double> x;
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        if (all[s].empty()) {
            c.left_out.push_back(surveyed[index[s]]);
            continue;
        }
        renumber[s] = x.size();
        x.push_back(pearson[index[s]]);
        c.wards.push_back(surveyed[index[s]]);
    }
    Neighbours kept;
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        if (all[s].empty()) continue;
        std::vector<std::size_t> nb;
        for (std::size_t t : all[s]) nb.push_back(renumber[t]);
        kept.push_back(std::move(nb));
    }
    c.moran = moran_test(x, kept);
    return c;
}

namespace {
std::string short_number(double v, const char* pattern, const NumberFormat& fmt) {
    std::string s = format_number(v, pattern, fmt);
    if (!s.empty() && s.back() == fmt.decimal) s.pop_back();
    return s;
}
}  // namespace

std::string spatial_check_sentence(const SpatialCheck& c, const NumberFormat& fmt) {
    if (!c.moran) return "The spatial check of the residuals is not available: " + c.moran.reason() + ".";
    const MoranTest& t = *c.moran;
    const std::string p = t.p_value < 0.001 ? "p < " + short_number(0.001, "0.###", fmt)
                                            : "p = " + short_number(t.p_value, "0.###", fmt);
    const std::string figures = "(Moran's I " + short_number(t.i, "0.##", fmt) + ", " + p + ", " +
                                std::to_string(t.n) + " wards)";
    if (t.p_value >= 0.05)
        return "The residuals of neighbouring wards are no more alike than chance would make them " + figures +
               ": the map shows no sign of a missing predictor.";
    if (t.i > t.expected)
        return "The residuals of neighbouring wards are alike " + figures +
               ": a predictor that varies across the town is probably missing; the limits may be too narrow.";
    return "The residuals of neighbouring wards differ more than chance would make them " + figures +
           ": neighbouring wards may share dogs or surveys, or their boundaries may not fit the data.";
}

}  // namespace valdmora
