#include "summary_html.h"

#include <cmath>

#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "estimation/report.h"

namespace valdmora {

namespace {
QString text_of(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())).toHtmlEscaped(); }
}  // namespace

QString summary_html(const ResultsSummary& summary) {
    QString html;
    bool in_table = false;
    for (const auto& row : summary.rows) {
        if (row.size() <= 1) {
            if (in_table) html += "</table>";
            in_table = false;
            if (!row.empty() && !row[0].empty()) html += "<p>" + text_of(row[0]) + "</p>";
            continue;
        }
        if (!in_table) html += "<table cellspacing=\"0\" cellpadding=\"2\">";
        in_table = true;
        html += "<tr>";
        for (const std::string& cell : row) html += "<td>" + text_of(cell) + "</td>";
        html += "</tr>";
    }
    if (in_table) html += "</table>";
    return html;
}

QString model_table_html(const ModelTable& table, const NumberFormat& fmt) {
    auto number = [&](double v, const char* pattern) {
        return std::isfinite(v) ? text_of(format_number(v, pattern, fmt)) : QString();
    };
    QString html = "<table cellspacing=\"0\" cellpadding=\"2\"><tr><th>distribution</th><th>predictors</th><th>k</th>"
                   "<th>complete log likelihood</th><th>AICc</th><th>&Delta;AICc</th><th>weight</th>"
                   "<th>unsurveyed wards' total</th><th>95 % Wald limits</th></tr>";
    for (const ModelRow& r : table.rows) {
        html += "<tr><td>" + text_of(std::string(distribution(r.dist).name)) + "</td><td>" +
                text_of(r.predictor_names.empty() ? "(constant only)" : r.predictor_names).replace("+", " + ") + "</td><td>" +
                QString::number(r.k) + "</td>";
        if (!r.available) {
            html += "<td colspan=\"6\">not available: " + text_of(r.reason) + "</td></tr>";
            continue;
        }
        html += "<td>" + number(r.log_lik, "0.000") + "</td><td>" + number(r.aicc, "0.000") + "</td><td>" +
                number(r.delta_aicc, "0.000") + "</td><td>" + number(r.weight, "0.000") + "</td><td>" +
                number(r.pop_est, "##,###") + "</td><td>" +
                (r.limits_ok ? text_of(limit_text(r.pop_lower, fmt) + " to " + limit_text(r.pop_upper, fmt)) : QString()) +
                "</td></tr>";
    }
    return html + "</table><p>" + text_of(table.note) + "</p>";
}

}  // namespace valdmora
