// SPDX-License-Identifier: GPL-3.0-or-later
// The total averaged over the table of models by their Akaike weights, with the
// unconditional standard error of Burnham and Anderson: each model's own variance plus the
// spread of the models' totals about the average.
#pragma once

#include <string>

#include "model_table.h"

namespace valdmora {

struct ModelAverage {
    bool available = false;
    std::string reason;
    double total = 0.0;
    double se = 0.0;     // sum_i w_i sqrt(var_i + (T_i - T)^2)
    double lower = 0.0, upper = 0.0;  // T -/+ 1.96 se
    int models = 0;      // the rows that count: a weight and a variance
    std::string sentence;
};

// Over the rows with an AICc weight and Wald limits, their weights taken anew to sum to 1.
// The sentence's numbers in fmt's separators (the reader's, in the window).
ModelAverage model_average(const ModelTable& table, const NumberFormat& fmt = {'.', ','});

}  // namespace valdmora
