// SPDX-License-Identifier: GPL-3.0-or-later
#include "results_summary.h"

#include <algorithm>
#include <cmath>

#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "estimation/model_table.h"
#include "estimation/report.h"
#include "estimation/residuals.h"

namespace valdmora {

namespace {

// Six significant digits: enough to tell estimates apart, few enough to read. Written out
// in full ("0.0000321", not "3.21E-05"), as a statistics package prints a slope; only a
// number beyond 1e15 or below 1e-12 keeps an exponent.
std::string significant(double v, const NumberFormat& fmt) {
    if (!std::isfinite(v)) return "not finite";
    if (v == 0.0) return "0";
    const int magnitude = static_cast<int>(std::floor(std::log10(std::fabs(v))));
    if (magnitude > 15 || magnitude < -12) {
        const double scale = std::pow(10.0, 5 - magnitude);
        return general_number(std::round(v * scale) / scale, fmt);
    }
    return with_locale_decimal(fixed_number(v, std::max(0, 5 - magnitude)), fmt);
}

// Characters, not bytes, for the columns of the text.
std::size_t utf8_length(const std::string& s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string three_decimals(double v, const NumberFormat& fmt) { return format_number(v, "0.000", fmt); }

std::string total_text(double v, const NumberFormat& fmt) { return format_number(v, "##,###", fmt); }

std::string limits_text(double lower, double upper, const NumberFormat& fmt) {
    return limit_text(lower, fmt) + " to " + limit_text(upper, fmt);
}

}  // namespace

std::string ResultsSummary::text() const {
    std::string out;
    std::vector<std::size_t> width;
    // columns align within each block of rows of more than one cell
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        if (row.size() > 1 && (i == 0 || rows[i - 1].size() <= 1)) {
            width.assign(8, 0);
            for (std::size_t j = i; j < rows.size() && rows[j].size() > 1; ++j)
                for (std::size_t c = 0; c < rows[j].size() && c < width.size(); ++c)
                    width[c] = std::max(width[c], utf8_length(rows[j][c]));
        }
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - utf8_length(row[c]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string ResultsSummary::table() const {
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            std::string cell = row[c];
            std::replace(cell.begin(), cell.end(), '\t', ' ');
            std::replace(cell.begin(), cell.end(), '\n', ' ');
            line += (c ? "\t" : "") + cell;
        }
        out += line + "\n";
    }
    return out;
}

ResultsSummary results_summary(const FormState& form) {
    ResultsSummary sum;
    const ClickResult* click = form.result();
    const ResultOrigin* o = form.result_origin();
    if (!click || !o) return sum;
    const EstimateResult* r = &click->estimate;
    const NumberFormat& fmt = form.format();
    const EstimationState& s = r->state;
    auto row = [&](std::vector<std::string> cells) { sum.rows.push_back(std::move(cells)); };

    const std::string stale = form.out_of_date_line();
    if (!stale.empty()) row({stale});
    row({headline(*r, fmt)});
    row({"Data: " + o->data_name + ", " + std::to_string(s.n_surveyed) + " surveyed and " +
         std::to_string(s.n_unsurveyed) + " unsurveyed wards"});
    row({"Model: " + form.model_words(*o)});

    // each parameter: free ones with their standard error and Wald limits, fixed ones so marked
    const long k = static_cast<long>(r->free_pos.size());
    const double t = s.t_value(std::max(1L, r->counts.df));
    row({"parameter", "estimate", "standard error", "95 % limits"});
    const int np = s.n_pred;
    for (int pos = 1; pos <= np + 2; ++pos) {
        const auto u = static_cast<std::size_t>(pos - 1);
        std::string name = pos == 1          ? "constant"
                           : pos == np + 2   ? std::string(distribution(o->dist).extra_name)
                           : pos - 2 < static_cast<int>(o->predictor_names.size())
                               ? "coefficient of " + o->predictor_names[static_cast<std::size_t>(pos - 2)]
                               : "coefficient " + std::to_string(pos - 1);
        const double value = r->par_value.at(u);
        const bool free = std::find(r->free_pos.begin(), r->free_pos.end(), pos) != r->free_pos.end();
        if (!free) {
            row({name, significant(value, fmt) + " (fixed)", "", ""});
            continue;
        }
        const double variance = r->variance(pos);
        if (variance >= 0.0 && std::isfinite(variance)) {
            const double se = std::sqrt(variance);
            row({name, significant(value, fmt), significant(se, fmt),
                 significant(value - t * se, fmt) + " to " + significant(value + t * se, fmt)});
        } else {
            row({name, significant(value, fmt), "not available", ""});
        }
    }
    if (!r->cov) row({"No standard errors: the covariance matrix could not be computed (" + r->cov.reason() + ")."});

    row({""});
    // the likelihood: the complete one beside the form's, which leaves out constants
    const double complete = complete_log_likelihood(o->dist, r->max_ll, s.n_surveyed);
    const double aic = -2.0 * complete + 2.0 * static_cast<double>(k);
    const double gap = static_cast<double>(s.n_surveyed - k - 1);
    row({"log likelihood (complete, with every constant)", three_decimals(complete, fmt)});
    if (distribution(o->dist).likelihood_constant_per_ward != 0.0)
        row({"log likelihood as the form shows it (without -ln(2 pi)/2 a ward)", three_decimals(r->max_ll, fmt)});
    row({"AIC", three_decimals(aic, fmt)});
    row({"AICc", gap > 0.0 ? three_decimals(aic + 2.0 * static_cast<double>(k * (k + 1)) / gap, fmt)
                           : "not defined (too few wards)"});
    row({"free parameters", std::to_string(k)});
    const Residuals res = model_residuals(s, r->par_value, k, 1);
    row({"dispersion statistic (squared Pearson residuals summed over n - k)",
         s.n_surveyed > k ? significant(res.dispersion, fmt) : "not defined"});
    row({"dogs counted in the surveyed wards", total_text(r->counts.counted_total, fmt)});

    row({""});
    // the total and every interval, each named by what it covers
    if (r->no_unsurveyed_ward) {
        row({"There is no unsurveyed ward to estimate."});
    } else {
        const bool ward = !o->ward.empty() && !r->total.ward_missing;
        row({ward ? "estimated dogs in ward " + o->ward : "estimated dogs in the unsurveyed wards",
             total_text(r->total.pop_est, fmt)});
        row({""});
        row({"interval", "covers", "95 % limits"});
        for (const Interval& iv : r->intervals)
            row({std::string(iv.traits().name), std::string(target_traits(iv.traits().target).covers),
                 iv.limits ? limits_text(iv.limits->lower, iv.limits->upper, fmt) : "not available: " + iv.limits.reason()});
    }
    if (r->dogs_present) {
        // the dogs present, seen or not, beside the dogs seen
        const DogsPresent& d = *r->dogs_present;
        row({""});
        row({"sighting proportion (marked dogs seen)", sighting_words(d.sighting, fmt)});
        row({"dogs seen (counted and estimated)", total_text(d.seen, fmt)});
        row({"dogs present, seen or not", total_text(d.estimate, fmt)});
        row({""});
        row({"interval of the dogs present", "covers", "95 % limits"});
        for (const Interval& iv : d.intervals)
            row({std::string(iv.traits().name), std::string(target_traits(iv.target).covers),
                 iv.limits ? limits_text(iv.limits->lower, iv.limits->upper, fmt) : "not available: " + iv.limits.reason()});
    }
    if (!r->fit_ok) row({"The fit did not converge (failure code " + std::to_string(r->fail_code) + ")."});
    for (const Notice& n : click->notices) row({"Notice: " + n.text + (n.detail.empty() ? "" : " " + n.detail)});
    return sum;
}

}  // namespace valdmora
