// SPDX-License-Identifier: GPL-3.0-or-later
#include "report_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "cycle/user_error.h"
#include "estimation/estimate.h"
#include "estimation/model_average.h"
#include "estimation/report.h"
#include "estimation/residuals.h"

namespace valdmora {

namespace {

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

// Each unsurveyed ward's dogs present beside its dogs seen, when sightings were given.
std::string dogs_present_html(const EstimateResult& e, const NumberFormat& fmt) {
    if (!e.dogs_present || e.ward_predictions.empty()) return {};
    ResultsSummary table;
    table.rows.push_back({"ward", "dogs seen (prediction)", "dogs present"});
    const std::vector<double>& present = e.dogs_present->ward;
    for (std::size_t w = 0; w < e.ward_predictions.size() && w < present.size(); ++w)
        table.rows.push_back({e.ward_predictions[w].name, format_number(e.ward_predictions[w].prediction, "0.0", fmt),
                              format_number(present[w], "0.0", fmt)});
    return "<h3>Dogs present by ward</h3><p>Each unsurveyed ward's prediction over the sighting proportion " +
           html_escaped(sighting_words(e.dogs_present->sighting, fmt)) + ".</p>" + results_html(table);
}

// The report's words: what was read, then the results as the pane has them, then the models.
std::string report_html(const ReportInput& in) {
    const FormState& f = *in.form;
    const EstimationState& s = f.result()->state();
    const ResultOrigin& o = *f.result_origin();
    const ClickResult& r = *f.result();
    std::string html = "<h2>valdmora report</h2><p>" + html_escaped(in.date) + ", valdmora " + html_escaped(in.version) + "</p>";
    // an estimate that no longer belongs to the form says so before anything else
    const std::string stale = f.out_of_date_line();
    if (!stale.empty())
        html += "<p style=\"background-color:#fff3c4\"><b>" + html_escaped(stale) + "</b></p>";
    html += "<p style=\"font-size:large\"><b>" + html_escaped(headline(r.estimate, f.format())) + "</b></p>";
    html += "<h3>Data</h3><p>File: " + html_escaped(o.data_name) + "<br>Wards: " + std::to_string(s.n_surveyed + s.n_unsurveyed) +
            " (" + std::to_string(s.n_surveyed) + " surveyed, " + std::to_string(s.n_unsurveyed) + " unsurveyed)<br>Predictors: ";
    std::string names;
    for (const std::string& n : o.predictor_names) names += (names.empty() ? "" : ", ") + html_escaped(n);
    html += (names.empty() ? std::string("none") : names) + "</p>";
    html += "<h3>Estimate</h3>" + results_html(results_summary(f));
    html += dogs_present_html(f.result()->estimate, f.format());
    if (in.checks) {
        html += "<h3>Model check</h3>";
        const PoissonLimitTest& pt = in.checks->poisson;
        html += "<p>Overdispersion against Poisson counts: " +
                html_escaped(pt.available ? pt.sentence : "not tested (" + pt.reason + ").") + "</p>";
        const SimulatedDispersion& sd = in.checks->simulated;
        html += "<p>Simulated dispersion test: " +
                html_escaped(sd.available ? sd.sentence : "not available (" + sd.reason + ").") + "</p>";
    }
    if (in.models) {
        html += "<h3>Table of models</h3>" + models_html(*in.models, f.format());
        const ModelAverage a = model_average(*in.models, f.format());
        html += "<p>" + html_escaped(a.available ? "Model-averaged total: " + a.sentence + "."
                                                 : "No model-averaged total: " + a.reason + ".") +
                "</p>";
    }
    if (in.plan) html += "<h3>Survey plan</h3>" + plan_html(*in.plan, f.format());
    if (!r.estimate.ward_predictions.empty())
        html += "<h3>Each unsurveyed ward</h3>" + ward_table_html(r.estimate, f.format());
    return html;
}

}  // namespace

std::string html_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string results_html(const ResultsSummary& summary) {
    std::string html;
    bool in_table = false;
    for (const auto& row : summary.rows) {
        if (row.size() <= 1) {
            if (in_table) html += "</table>";
            in_table = false;
            if (!row.empty() && !row[0].empty()) html += "<p>" + html_escaped(row[0]) + "</p>";
            continue;
        }
        if (!in_table) html += "<table cellspacing=\"0\" cellpadding=\"2\">";
        in_table = true;
        html += "<tr>";
        for (const std::string& cell : row) html += "<td>" + html_escaped(cell) + "</td>";
        html += "</tr>";
    }
    if (in_table) html += "</table>";
    return html;
}

std::string ward_table_html(const EstimateResult& e, const NumberFormat& fmt) {
    std::string html = "<table cellspacing=\"0\" cellpadding=\"2\"><tr><th align=\"left\">ward</th>"
                       "<th align=\"right\">predicted dogs</th><th align=\"right\">95 % prediction limits</th></tr>";
    for (const WardPrediction& w : e.ward_predictions) {
        html += "<tr><td>" + html_escaped(w.name) + "</td><td align=\"right\">" +
                html_escaped(format_number(w.prediction, "#,##0.0", fmt)) + "</td><td align=\"right\">" +
                html_escaped(w.limits ? limit_text(w.limits->lower, fmt) + " to " + limit_text(w.limits->upper, fmt)
                                      : "not available: " + w.limits.reason()) +
                "</td></tr>";
    }
    return html + "</table>";
}

std::string models_html(const ModelTable& table, const NumberFormat& fmt) {
    auto number = [&](double v, const char* pattern) {
        return std::isfinite(v) ? html_escaped(format_number(v, pattern, fmt)) : std::string();
    };
    std::string html = "<table cellspacing=\"0\" cellpadding=\"2\"><tr><th>distribution</th><th>predictors</th><th>k</th>"
                       "<th>complete log likelihood</th><th>AICc</th><th>&Delta;AICc</th><th>weight</th>"
                       "<th>unsurveyed wards' total</th><th>95 % Wald limits</th></tr>";
    for (const ModelRow& r : table.rows) {
        html += "<tr><td>" + html_escaped(std::string(distribution(r.dist).name)) + "</td><td>" +
                replaced(html_escaped(r.predictor_names.empty() ? "(constant only)" : r.predictor_names), "+", " + ") +
                "</td><td>" + std::to_string(r.k) + "</td>";
        if (!r.available) {
            html += "<td colspan=\"6\">not available: " + html_escaped(r.reason) + "</td></tr>";
            continue;
        }
        html += "<td>" + number(r.log_lik, "0.000") + "</td><td>" + number(r.aicc, "0.000") + "</td><td>" +
                number(r.delta_aicc, "0.000") + "</td><td>" + number(r.weight, "0.000") + "</td><td>" +
                number(r.pop_est, "##,###") + "</td><td>" +
                (r.limits_ok ? html_escaped(limit_text(r.pop_lower, fmt) + " to " + limit_text(r.pop_upper, fmt)) : std::string()) +
                "</td></tr>";
    }
    return html + "</table><p>" + html_escaped(table.note) + "</p>";
}

ReportPages report_pages(const ReportInput& in) {
    if (!in.form || !in.form->result())
        throw UserError("There is no estimate to report yet: estimate first.", "Export report");
    const FormState& f = *in.form;
    const ClickResult& r = *f.result();
    ReportPages p;
    p.title = "valdmora report: " + f.result_origin()->data_name;
    p.creator = "valdmora " + in.version;
    p.html = report_html(in);
    p.map = in.map;
    p.map_sentence = in.map_sentence;
    p.counts = r.counts;
    const auto& names = r.state().surveyed_name.values();
    p.key_names.assign(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(names.size(), 10)));
    p.key_others = names.size() - p.key_names.size();
    p.likelihood = r.likelihood;
    const Residuals res = model_residuals(r.state(), r.estimate.par_value, static_cast<long>(r.estimate.free_pos.size()), 1);
    p.pearson = pearson_chart(res);
    p.quantile = quantile_chart(res);
    p.format = f.format();
    return p;
}

std::string report_date_today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &now) != 0) return {};
#else
    if (!localtime_r(&now, &local)) return {};
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return text;
}

}  // namespace valdmora
