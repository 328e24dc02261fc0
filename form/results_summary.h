// SPDX-License-Identifier: GPL-3.0-or-later
// The last estimate as a reader takes it in and hands it on: the model, each estimate with
// its standard error and limits, the complete log likelihood and the information criteria,
// the dogs counted, the total with every interval named by what it covers, the dispersion
// statistic and every notice. Numbers in the reader's decimals; no widgets.
#pragma once

#include <string>
#include <vector>

#include "cycle/number_text.h"
#include "estimation/click.h"
#include "form_state.h"

namespace valdmora {

struct ResultsSummary {
    // Rows of cells; a row of one cell is a heading or a sentence.
    std::vector<std::vector<std::string>> rows;
    // As text: cells of a row two blanks apart, columns aligned within each block of rows.
    std::string text() const;
    // Tab-separated, one row a line, for a spreadsheet.
    std::string table() const;
};

// The summary of the form's result (empty without one); an out-of-date result says so first.
ResultsSummary results_summary(const FormState& form);

}  // namespace valdmora
