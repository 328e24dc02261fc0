// Results as HTML: the summary's sentences as paragraphs and its runs of rows as tables, and
// the table of models.
#pragma once

#include <QString>

#include "cycle/number_text.h"
#include "estimation/model_table.h"
#include "form/results_summary.h"

namespace valdmora {

QString summary_html(const ResultsSummary& summary);

// The table of models, each column named for what it holds: the complete log likelihood,
// and totals of the unsurveyed wards alone.
QString model_table_html(const ModelTable& table, const NumberFormat& fmt);

}  // namespace valdmora
