// SPDX-License-Identifier: GPL-3.0-or-later
#include "model_table.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "click.h"
#include "covariance.h"
#include "estimate.h"
#include "cycle/csv.h"
#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "parallel.h"

namespace valdmora {

double complete_log_likelihood(Dist dist, double reported, long n) {
    return reported + static_cast<double>(n) * distribution(dist).likelihood_constant_per_ward;
}

namespace {

// A start from the counts: the constant at their mean, the extra parameter from their
// spread (coefficient of variation, standard deviation, or variance over mean less one).
BoxValues start_from_counts(const EstimationState& s, Dist dist) {
    double sum = 0.0, sum2 = 0.0;
    for (float c : s.surveyed_count.values()) {
        sum += c;
        sum2 += static_cast<double>(c) * c;
    }
    const double n = std::max(1.0, static_cast<double>(s.n_surveyed));
    const double mean = sum / n, var = std::max(0.0, sum2 / n - mean * mean);
    double extra = 0.0;
    switch (dist) {
    case Dist::lognormal: extra = std::sqrt(var) / std::max(mean, 1.0); break;
    case Dist::normal: extra = std::sqrt(var); break;
    case Dist::negbin: extra = var / std::max(mean, 1.0) - 1.0; break;
    }
    return {std::round(mean * 100.0) / 100.0, 0.0, 0.0, 0.0, 0.0,
            std::clamp(std::round(extra * 1000.0) / 1000.0, 0.01, 100.0)};
}

}  // namespace

ModelTable compare_models(const EstimationState& state, const std::vector<std::string>& predictor_names,
                          const ClickServices& services, const NumberFormat& fmt) {
    ModelTable table;
    table.note = kModelTableNote;
    const int np = state.n_pred;
    bool count_below_one = false;
    for (float c : state.surveyed_count.values()) count_below_one = count_below_one || c < 1.0f;

    for (const Distribution& d : kDistributions)
        for (int subset = 0; subset < (1 << np); ++subset) {
            ModelRow row;
            row.dist = d.dist;
            for (int j = 1; j <= np; ++j)
                if (subset & (1 << (j - 1))) {
                    row.predictors.push_back(j);
                    if (!row.predictor_names.empty()) row.predictor_names += "+";
                    row.predictor_names += predictor_name(predictor_names, j);
                }
            row.k = static_cast<int>(row.predictors.size()) + 2;
            row.n = state.n_surveyed;
            table.rows.push_back(std::move(row));
        }

    for (ModelRow& row : table.rows) {
        if (row.dist != kDistributions[0].dist) {
            // the design is the same under every distribution
            const ModelRow& first = table.rows[static_cast<std::size_t>(&row - table.rows.data()) % (1u << np)];
            if (!first.aliased_with.empty())
                row.aliased_with = std::string(distribution(row.dist).key) + first.aliased_with.substr(first.aliased_with.find(' '));
            continue;
        }
        services.progress.check_cancel();
        const std::vector<int> kept = identified_predictors(state, row.predictors);
        if (kept.size() == row.predictors.size()) continue;
        std::string names;
        for (int j : kept)
            names += (names.empty() ? "" : "+") + predictor_name(predictor_names, j);
        row.aliased_with = std::string(distribution(row.dist).key) + " " + (names.empty() ? "(constant only)" : names);
    }

    const Progress& progress = services.progress;
    progress.stage("models", static_cast<int>(table.rows.size()));
    parallel_for(static_cast<int>(table.rows.size()), true, [&](int index) {
        ModelRow& row = table.rows[static_cast<std::size_t>(index)];
        progress.check_cancel();
        if (distribution(row.dist).counts_at_least_one && count_below_one) {
            row.reason = "a surveyed count is below 1, which the lognormal cannot take";
            progress.step();
            return;
        }
        EstimateRequest q;
        q.dist = row.dist;
        q.start = {kDefaultConstantValue, 0.0, 0.0, 0.0, 0.0, distribution(row.dist).default_extra_value};
        q.free = {true, false, false, false, false};
        for (int j : row.predictors) q.free[static_cast<std::size_t>(j)] = true;
        q.extra_starts.push_back(start_from_counts(state, row.dist));
        q.profile = false;
        q.ward_predictions = false;
        ClickServices sv;
        sv.library = services.library;
        sv.progress = progress.silent();
        try {
            const EstimateResult r = run_estimate(q, state, sv);
            row.available = true;
            row.fail_code = r.fail_code;
            row.log_lik = complete_log_likelihood(row.dist, r.max_ll, row.n);
            row.aic = -2.0 * row.log_lik + 2.0 * row.k;
            const double gap = static_cast<double>(row.n - row.k - 1);
            row.aicc = gap > 0.0 ? row.aic + 2.0 * row.k * (row.k + 1) / gap : std::nan("");
            row.pop_est = r.total.pop_est;
            const Available<Limits>& wald = r.wald();
            row.limits_ok = wald.ok();
            row.pop_lower = wald ? wald->lower : std::nan("");
            row.pop_upper = wald ? wald->upper : std::nan("");
            row.total_variance = row.limits_ok ? r.total.variance : std::nan("");
            // the estimates as the boxes would show them, for "Use this model"
            for (std::size_t i = 0; i < 6; ++i)
                row.boxes[i] = i == 5 || q.free[std::min<std::size_t>(i, 4)] ? box_text(r.values[i], fmt) : "0";
            if (!r.fit_ok) row.reason = "the fit did not converge (failure code " + std::to_string(r.fail_code) + ")";
            if (!row.aliased_with.empty()) {
                row.limits_ok = false;
                row.pop_lower = row.pop_upper = std::nan("");
                if (row.reason.empty())
                    row.reason = "aliased with " + row.aliased_with +
                                 ": its predictors are not of full rank on the surveyed wards, so it has no limits";
            }
        } catch (const UserError& e) {
            row.reason = e.what();
        }
        progress.step();
    });

    // by AICc; rows without one after, by AIC; the unavailable last
    std::stable_sort(table.rows.begin(), table.rows.end(), [](const ModelRow& a, const ModelRow& b) {
        auto rank = [](const ModelRow& r) { return !r.available ? 2 : std::isnan(r.aicc) ? 1 : 0; };
        if (rank(a) != rank(b)) return rank(a) < rank(b);
        if (rank(a) == 0) return a.aicc < b.aicc;
        if (rank(a) == 1) return a.aic < b.aic;
        return false;
    });
    double best = std::nan(""), total = 0.0;
    for (const ModelRow& r : table.rows)
        if (r.available && !std::isnan(r.aicc) && std::isnan(best)) best = r.aicc;
    for (ModelRow& r : table.rows) {
        r.delta_aicc = r.available && !std::isnan(r.aicc) ? r.aicc - best : std::nan("");
        // a model counted twice would take twice its weight
        r.weight = std::isnan(r.delta_aicc) || !r.aliased_with.empty() ? std::nan("") : std::exp(-r.delta_aicc / 2.0);
        if (!std::isnan(r.weight)) total += r.weight;
    }
    for (ModelRow& r : table.rows)
        if (!std::isnan(r.weight)) r.weight /= total;
    return table;
}

namespace {

constexpr const char* kModelTableColumns[] = {"dist",   "predictors", "k",          "n",       "fail_code",
                                              "log_lik", "aic",        "aicc",       "delta_aicc", "weight",
                                              "pop_est", "pop_lower",  "pop_upper"};

// A row of tab-separated cells, written as CsvRow writes its cells.
class TsvRow {
public:
    explicit TsvRow(char decimal = '.') : decimal_(decimal) {}
    TsvRow& text(std::string_view cell) {
        separate();
        for (char c : cell) line_ += c == '\t' || c == '\r' || c == '\n' ? ' ' : c;
        return *this;
    }
    TsvRow& number(double value) {
        separate();
        std::string digits = shortest_number(value);
        // the reader's decimal separator, so that a spreadsheet pastes numbers as numbers
        std::replace(digits.begin(), digits.end(), '.', decimal_);
        line_ += digits;
        return *this;
    }
    TsvRow& whole(long long value) {
        separate();
        line_ += std::to_string(value);
        return *this;
    }
    TsvRow& empty() {
        separate();
        return *this;
    }
    std::string line() const { return line_ + "\n"; }

private:
    void separate() {
        if (!first_) line_ += '\t';
        first_ = false;
    }
    std::string line_;
    bool first_ = true;
    char decimal_;
};

// The header and one line per model, each cell through Row's text, number, whole or empty.
template <class Row, class... RowArgs>
std::string model_table_lines(const ModelTable& table, RowArgs... row_args) {
    Row header(row_args...);
    for (const char* column : kModelTableColumns) header.text(column);
    std::string out = header.line();
    for (const ModelRow& m : table.rows) {
        Row row(row_args...);
        row.text(distribution(m.dist).key).text(m.predictor_names).whole(m.k).whole(m.n);
        if (m.available) {
            row.whole(m.fail_code).number(m.log_lik).number(m.aic).number(m.aicc).number(m.delta_aicc).number(m.weight);
            row.number(m.pop_est).number(m.pop_lower).number(m.pop_upper);
        } else {
            for (int c = 0; c < 9; ++c) row.empty();
        }
        out += row.line();
    }
    return out;
}

}  // namespace

std::string model_table_csv(const ModelTable& table) { return model_table_lines<CsvRow>(table); }

std::string model_table_tsv(const ModelTable& table, char decimal) { return model_table_lines<TsvRow>(table, decimal); }

}  // namespace valdmora
