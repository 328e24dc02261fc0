// SPDX-License-Identifier: GPL-3.0-or-later
// A table of models for choosing one: every subset of the data's predictors under each of
// the three distributions, fitted with the constant, the subset's slopes and the extra
// parameter free, ranked by AICc.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "click_input.h"
#include "cycle/distributions.h"
#include "cycle/number_text.h"
#include "cycle/estimation_state.h"

namespace valdmora {

struct ModelRow {
    Dist dist = Dist::lognormal;
    std::vector<int> predictors;       // 1..np
    std::string predictor_names;       // joined by '+', "" for the constant alone
    int k = 0;                         // free parameters
    long n = 0;                        // surveyed wards
    bool available = false;
    std::string reason;                // why not
    int32_t fail_code = 0;
    double log_lik = 0.0;              // complete: the log density or log probability of the counts
    double aic = 0.0, aicc = 0.0;      // aicc NaN where n - k - 1 <= 0
    double delta_aicc = 0.0, weight = 0.0;  // NaN without an AICc
    double pop_est = 0.0, pop_lower = 0.0, pop_upper = 0.0;
    bool limits_ok = false;
    double total_variance = 0.0;       // the variance behind the Wald limits (NaN without them)
    // A design not of full rank (a constant predictor, or one that copies others) is the
    // model named here again: it gets no limits and no Akaike weight of its own.
    std::string aliased_with;
    std::array<std::string, 6> boxes;  // the estimates as the boxes show them
};

struct ModelTable {
    std::vector<ModelRow> rows;  // by AICc, then those without one, then the unavailable
    std::string note;
};

// The complete log likelihood from the one the model library reports: the normal and the
// lognormal leave out -ln(2 pi) / 2 for each record.
double complete_log_likelihood(Dist dist, double reported, long n);

// Fits every model, two at a time; each from the window's default start values and from a
// start taken from the counts' mean and spread, the better kept.
ModelTable compare_models(const EstimationState& s, const std::vector<std::string>& predictor_names,
                          const ClickServices& services, const NumberFormat& fmt);

// The table as CSV (RFC 4180 quoting, names guarded against formulas), for the batch and
// the window alike.
std::string model_table_csv(const ModelTable& table);
// The same cells tab-separated, for the clipboard: a tab or line break inside a name
// becomes a space, so that every row keeps its thirteen cells; numbers with the reader's
// decimal separator.
std::string model_table_tsv(const ModelTable& table, char decimal = '.');

// The sentence under the table.
inline constexpr const char* kModelTableNote =
    "Comparisons within one distribution are sound. Comparing a density (normal, lognormal) with a probability "
    "(negative binomial) is only approximate: the counts are whole numbers, and a density is not a probability.";

}  // namespace valdmora
