// SPDX-License-Identifier: GPL-3.0-or-later
// Results as HTML for the window's clipboard: the summary's sentences as paragraphs and its
// runs of rows as tables, as the report has them.
#pragma once

#include <QString>

#include "form/results_summary.h"
#include "report_text.h"

namespace valdmora {

inline QString summary_html(const ResultsSummary& summary) {
    const std::string html = results_html(summary);
    return QString::fromUtf8(html.data(), static_cast<qsizetype>(html.size()));
}

}  // namespace valdmora
