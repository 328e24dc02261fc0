// SPDX-License-Identifier: GPL-3.0-or-later
#include "moran.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "cycle/number_format.h"

namespace valdmora {

namespace {

struct Vertex {
    int64_t column;  // of width snap in longitude
    double lat, lon;
    std::size_t shape;
    bool operator<(const Vertex& o) const {
        return column != o.column ? column < o.column : lat != o.lat ? lat < o.lat : shape < o.shape;
    }
};

}  // namespace

Neighbours queen_neighbours(const std::vector<const WardShape*>& shapes, double snap) {
    // Every boundary position, sorted by columns one snap wide and by latitude within them:
    // a position's twins within snap lie in its own column or the next, within snap of its
    // latitude, found by binary search. Pairs met from both sides count once.
    std::vector<Vertex> v;
    for (std::size_t s = 0; s < shapes.size(); ++s)
        for (const Polygon& p : shapes[s]->polygons)
            for (const Ring& r : p)
                for (std::size_t k = 0; k + 1 < r.size(); ++k)  // the last repeats the first
                    v.push_back({static_cast<int64_t>(std::floor(r[k].lon / snap)), r[k].lat, r[k].lon, s});
    std::sort(v.begin(), v.end());
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (const Vertex& a : v)
        for (int64_t column : {a.column, a.column + 1}) {
            auto it = std::lower_bound(v.begin(), v.end(), Vertex{column, a.lat - snap, 0.0, 0});
            for (; it != v.end() && it->column == column && it->lat <= a.lat + snap; ++it)
                if (it->shape != a.shape && std::fabs(it->lon - a.lon) <= snap)
                    pairs.emplace_back(std::min(a.shape, it->shape), std::max(a.shape, it->shape));
        }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    Neighbours out(shapes.size());
    for (const auto& [a, b] : pairs) {
        out[a].push_back(b);
        out[b].push_back(a);
    }
    for (std::vector<std::size_t>& n : out) std::sort(n.begin(), n.end());
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
    std::unordered_map<std::string, const WardShape*> by_name;
    for (const WardShape& s : boundaries.shapes) by_name.emplace(s.name, &s);
    for (std::size_t k = 0; k < surveyed.size() && k < pearson.size(); ++k)
        if (const auto hit = by_name.find(surveyed[k]); hit != by_name.end()) {
            const WardShape* s = hit->second;
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
