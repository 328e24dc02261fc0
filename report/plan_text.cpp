// SPDX-License-Identifier: GPL-3.0-or-later
#include "plan_text.h"

#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "form/plan_files.h"
#include "report_text.h"

namespace valdmora {

std::string design_words(const SampleDesign& d, const std::vector<std::string>& predictors) {
    if (d.kind != DesignKind::stratified) return std::string(design_traits(d.kind).name);
    return "stratified by " + predictor_name(predictors, d.predictor) + " (" + std::to_string(d.strata) + " strata)";
}

std::string plan_html(const PlanRecord& plan, const NumberFormat& fmt) {
    const PlanRequest& q = plan.request;
    auto percent = [&](const std::optional<double>& v) {
        return v ? format_number(*v * 100.0, "0.0", fmt) + " %" : std::string("–");
    };
    std::string html = "<p>Design: " + html_escaped(design_words(q.design, plan.predictors)) + "; " +
                       std::to_string(q.reps) + " simulated surveys for each number of wards; seed " +
                       std::to_string(q.seed) + ". Each survey's counts were drawn from the values ";
    for (int box = 0; box <= 5; ++box) html += (box ? ", " : "") + general_number(q.truth[static_cast<std::size_t>(box)], fmt);
    html += " (constant, four coefficients, " + html_escaped(std::string(distribution(q.estimate.dist).extra_name)) +
            "), fitted under the " + html_escaped(std::string(distribution(q.estimate.dist).name)) +
            " distribution, and every interval scored against its own target. Half-widths are over the town's "
            "estimated total.</p>";
    const std::vector<IntervalKind> kinds = kinds_planned(plan.result.rows);
    html += "<table cellspacing=\"0\" cellpadding=\"2\"><tr><td>wards</td><td>failed</td><td>relative RMSE</td>";
    for (IntervalKind k : kinds) html += "<td>" + html_escaped(std::string(interval_traits(k).name)) + " half-width</td>";
    for (IntervalKind k : kinds) html += "<td>" + html_escaped(std::string(interval_traits(k).name)) + " coverage</td>";
    html += "</tr>";
    for (const PlanRow& r : plan.result.rows) {
        html += "<tr><td>" + std::to_string(r.surveys) + "</td><td>" + std::to_string(r.failed) + " of " +
                std::to_string(r.reps) + "</td><td>" + percent(r.relative_rmse) + "</td>";
        for (IntervalKind k : kinds) html += "<td>" + percent(r.kind(k) ? r.kind(k)->relative_half_width : std::nullopt) + "</td>";
        for (IntervalKind k : kinds) html += "<td>" + percent(r.kind(k) ? r.kind(k)->coverage : std::nullopt) + "</td>";
        html += "</tr>";
    }
    html += "</table>";
    if (q.precision) {
        const std::string goal = "±" + general_number(*q.precision * 100.0, fmt) + " % (" +
                                 std::string(interval_traits(q.target_kind).name) + ")";
        html += "<p>" + html_escaped(plan.result.target_surveys
                                         ? "Surveying " + std::to_string(*plan.result.target_surveys) + " wards reaches " + goal + "."
                                         : "No number of wards in the list reaches " + goal + ".") +
                "</p>";
    }
    return html;
}

}  // namespace valdmora
