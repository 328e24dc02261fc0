// SPDX-License-Identifier: GPL-3.0-or-later
// The whole analysis as one PDF, to hand on: the data file, the model, the estimates with
// their standard errors, the total with each interval and what it covers, the counts and
// likelihood charts and both residual charts as vector drawings, the table of models, the
// dispersion statistic and every notice, with the date and the program's version.
#pragma once

#include <string>

#include "report_text.h"

namespace valdmora {

// The PDF's bytes. Needs a Qt GUI application (fonts); throws a UserError without a result.
std::string report_pdf(const ReportInput& in);

// Writes the report whole or not at all; the reason when it was not written.
std::string write_report_pdf(const ReportInput& in, const std::string& path);

}  // namespace valdmora
