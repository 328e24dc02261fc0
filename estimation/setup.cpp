// SPDX-License-Identifier: GPL-3.0-or-later
#include "setup.h"

#include <charconv>
#include <algorithm>
#include <cmath>

#include "cycle/text.h"
#include "cycle/number_format.h"
#include "cycle/user_error.h"

namespace valdmora {
namespace {

int32_t whole_count(float v, const std::string& ward) {
    // to the nearest, a half to the even neighbour
    const double r = std::nearbyint(static_cast<double>(v));
    if (!(std::fabs(r) <= 2147483647.0))
        throw UserError("The count of ward " + printable(ward) + " is too large for the model library.", "Estimate");
    return static_cast<int32_t>(r);
}

// The 99-record entries' tables, filled as the set-up always filled them; entries that
// are not written hold 0.
struct Packed {
    std::vector<int32_t> ints;  // entries 1..n at 0..n-1
    std::vector<double> reals;
};

Packed pack(const FitSetup& f) {
    const ModelData& d = f.data;
    Packed p;
    p.ints.assign(13, 0);
    p.ints[0] = static_cast<int32_t>(f.free.size());
    for (std::size_t i = 0; i < f.free.size() && i < 9; ++i) p.ints[1 + i] = f.free[i];
    p.ints[10] = d.np;
    p.ints[11] = static_cast<int32_t>(d.wards);
    p.ints[12] = static_cast<int32_t>(d.nobs());
    const auto n = static_cast<std::size_t>(d.nobs());
    // the old tables' whole numbers; values beyond 32 bits are held at its ends
    auto whole = [](double v) {
        return static_cast<int32_t>(std::clamp(std::nearbyint(v), -2147483648.0, 2147483647.0));
    };
    for (std::size_t i = 0; i < n; ++i) {
        p.ints.push_back(d.y[i]);
        for (int j = 0; j < d.np; ++j) p.ints.push_back(whole(d.x[i + n * static_cast<std::size_t>(j)]));
    }
    for (int j = 0; j < d.np; ++j) p.ints.push_back(whole(d.x_sum[static_cast<std::size_t>(j)]));
    p.ints.push_back(distribution(d.dist).code);
    for (int k = 0; k < f.params.positions(); ++k) {
        const auto u = static_cast<std::size_t>(k);
        p.reals.insert(p.reals.end(), {f.params.value[u], f.params.scale[u], f.params.lower[u], f.params.upper[u]});
    }
    p.reals.push_back(0.0);  // no fixed total
    return p;
}

}  // namespace

ModelData model_data(const EstimationState& s) {
    ModelData d;
    d.np = s.n_pred;
    d.dist = s.err_dist;
    const auto n = static_cast<std::size_t>(s.n_surveyed);
    d.y.resize(n);
    d.x.resize(n * static_cast<std::size_t>(d.np));
    for (std::size_t i = 0; i < n; ++i) d.y[i] = whole_count(s.surveyed_count.values()[i], s.surveyed_name.values()[i]);
    for (int j = 1; j <= d.np; ++j) {
        const std::vector<float>& row = s.surveyed_x.row_values(j);
        for (std::size_t i = 0; i < n; ++i) d.x[i + n * static_cast<std::size_t>(j - 1)] = static_cast<double>(row[i]);
        d.x_sum.push_back(s.unsurveyed_x_sum(j));
    }
    d.wards = static_cast<double>(s.n_unsurveyed);
    return d;
}

ParameterBounds parameter_bounds(const ModelData& d) {
    // A slope can be at most the counts' spread over the predictor's spread, and the
    // intercept must reach the counts from any predictor values; a tenfold margin
    // keeps every plausible survey clear of the bounds.
    double count_scale = 1.0;
    for (int32_t y : d.y) count_scale = std::max(count_scale, std::fabs(static_cast<double>(y)));
    ParameterBounds b;
    const auto n = static_cast<std::size_t>(d.nobs());
    double reach = 1.0;  // the intercept's reach, in counts
    std::vector<double> slope;
    for (int j = 0; j < d.np; ++j) {
        double lo = 0.0, hi = 0.0, largest = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = d.x[i + n * static_cast<std::size_t>(j)];
            if (i == 0 || x < lo) lo = x;
            if (i == 0 || x > hi) hi = x;
            largest = std::max(largest, std::fabs(x));
        }
        // a constant predictor is measured by its size
        const double spread = hi > lo ? hi - lo : largest > 0.0 ? largest : 1.0;
        slope.push_back(std::max(kCoefficientBound, 10.0 * count_scale / spread));
        reach += largest / spread;
    }
    const double intercept = std::max(kCoefficientBound, 10.0 * count_scale * reach);
    b.lower.push_back(-intercept);
    b.upper.push_back(intercept);
    for (double s : slope) {
        b.lower.push_back(-s);
        b.upper.push_back(s);
    }
    b.lower.push_back(kExtraLowerBound);
    b.upper.push_back(std::max(kExtraUpperBound, 10.0 * count_scale));
    return b;
}

FitSetup set_up_fit(const EstimationState& s, const std::array<double, 6>& box_values,
                    const std::array<bool, 5>& checked) {
    FitSetup f;
    f.data = model_data(s);
    const int p = s.n_pred;
    const ParameterBounds bounds = parameter_bounds(f.data);
    for (int k = 1; k <= p + 2; ++k) {
        const bool extra = k == p + 2;
        const auto u = static_cast<std::size_t>(k - 1);
        f.params.value.push_back(box_values[static_cast<std::size_t>(extra ? 5 : k - 1)]);
        f.params.scale.push_back(1.0);
        f.params.lower.push_back(bounds.lower[u]);
        f.params.upper.push_back(bounds.upper[u]);
    }
    // a box of a predictor beyond the model's (ticked in an earlier mode) frees nothing
    for (int j = 0; j <= std::min(4, p); ++j)
        if (checked[static_cast<std::size_t>(j)]) f.free.push_back(j + 1);
    f.free.push_back(p + 2);
    return f;
}

std::string user_file_text(const FitSetup& f, const NumberFormat& fmt) {
    std::string out;
    auto line = [&](double v) {
        out += plain_number(v, fmt);
        out += "\r\n";
    };
    if (f.data.nobs() <= kMaxModelRecords) {
        const Packed p = pack(f);
        line(static_cast<double>(p.ints.size()));
        for (int32_t v : p.ints) line(v);
        line(static_cast<double>(p.reals.size()));
        for (double v : p.reals) line(v);
        return out;
    }
    // The size-free layout: sizes, the free list, one line per record, the sums, then the
    // four entries of each position and the fixed total. Cheap at any size.
    const ModelData& d = f.data;
    out.reserve(static_cast<std::size_t>(d.nobs()) * (8 + 12 * static_cast<std::size_t>(d.np)) + 512);
    out += "valdmora model data, size-free layout\r\n";
    out += "records " + std::to_string(d.nobs()) + "\r\npredictors " + std::to_string(d.np) + "\r\nwards " +
           std::to_string(static_cast<long>(d.wards)) + "\r\ndistribution " + std::to_string(distribution(d.dist).code) + "\r\nfree";
    for (int32_t k : f.free) out += " " + std::to_string(k);
    out += "\r\n";
    const auto n = static_cast<std::size_t>(d.nobs());
    char buf[32];
    for (std::size_t i = 0; i < n; ++i) {
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d.y[i]);
        out.append(buf, end);
        for (int j = 0; j < d.np; ++j) {
            out.push_back(' ');
            out += shortest_number(static_cast<float>(d.x[i + n * static_cast<std::size_t>(j)]));
        }
        out += "\r\n";
    }
    out += "sums";
    for (double v : d.x_sum) out += " " + shortest_number(v);
    out += "\r\n";
    for (int k = 0; k < f.params.positions(); ++k) {
        const auto u = static_cast<std::size_t>(k);
        out += "position " + std::to_string(k + 1);
        for (double v : {f.params.value[u], f.params.scale[u], f.params.lower[u], f.params.upper[u]})
            out += " " + shortest_number(v);
        out += "\r\n";
    }
    out += "fixed total 0\r\n";
    return out;
}

}  // namespace valdmora
