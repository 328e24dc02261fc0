// The whole analysis as one PDF, to hand on: the data file, the model, the estimates with
// their standard errors, the total with each interval and what it covers, the counts and
// likelihood charts and both residual charts as vector drawings, the table of models, the
// dispersion statistic and every notice, with the date and the program's version.
#pragma once

#include <optional>
#include <string>

#include "estimation/model_table.h"
#include "form/form_state.h"

namespace valdmora {

struct ReportInput {
    const FormState* form = nullptr;        // holds the data, the model and its result
    std::optional<ModelTable> models;       // the table of models of the data, when made
    std::string date;                       // as the report shows it, e.g. 2026-12-08
    std::string version;
};

// The PDF's bytes. Needs a Qt GUI application (fonts); throws a UserError without a result.
std::string report_pdf(const ReportInput& in);

// Writes the report whole or not at all; the reason when it was not written.
std::string write_report_pdf(const ReportInput& in, const std::string& path);

}  // namespace valdmora
