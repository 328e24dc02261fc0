// SPDX-License-Identifier: GPL-3.0-or-later
// The report's content, made from a result without any toolkit: its words as HTML, the data
// of its charts, and the date it bears. Only the painter (pdf_report.h) needs Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "estimation/dispersion_checks.h"
#include "estimation/model_table.h"
#include "form/form_state.h"
#include "form/results_summary.h"
#include "plan_text.h"
#include "report_pages.h"

namespace valdmora {

struct ReportInput {
    const FormState* form = nullptr;   // holds the data, the model and its result
    std::optional<ModelTable> models;  // the table of models of the data, when made
    std::optional<DispersionChecks> checks;  // the model check's verdicts, when made
    std::optional<PlanRecord> plan;    // the survey plan of the data, when one was made
    std::string date;                  // as the report shows it, e.g. 2026-12-08
    std::string version;
    std::optional<WardMapData> map;  // the ward map's page, with its sentence
    std::string map_sentence;
};

// Throws a UserError when the form holds no result yet.
ReportPages report_pages(const ReportInput& in);

// Today's local date as YYYY-MM-DD, whatever the locale.
std::string report_date_today();

// <, >, & and " as HTML entities.
std::string html_escaped(std::string_view text);

// The summary's sentences as paragraphs and its runs of rows as tables.
std::string results_html(const ResultsSummary& summary);

// Every unsurveyed ward's prediction with its 95 % Wald prediction limits.
std::string ward_table_html(const EstimateResult& e, const NumberFormat& fmt);

// The table of models, each column named for what it holds: the complete log likelihood,
// and totals of the unsurveyed wards alone.
std::string models_html(const ModelTable& table, const NumberFormat& fmt);

}  // namespace valdmora
