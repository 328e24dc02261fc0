// SPDX-License-Identifier: GPL-3.0-or-later
#include "plan_files.h"

#include "cycle/csv.h"
#include "cycle/distributions.h"

namespace valdmora {

std::vector<IntervalKind> kinds_planned(const std::vector<PlanRow>& rows) {
    std::vector<IntervalKind> out;
    for (const IntervalTraits& t : kIntervalKinds)
        for (const PlanRow& r : rows)
            if (r.kind(t.kind)) {
                out.push_back(t.kind);
                break;
            }
    return out;
}

std::string plan_csv_header(const std::vector<IntervalKind>& kinds) {
    std::string h = "surveys,reps,failed,relative_rmse";
    for (IntervalKind k : kinds) h += "," + std::string(interval_traits(k).key) + "_relative_half_width";
    for (IntervalKind k : kinds) h += "," + std::string(interval_traits(k).key) + "_coverage";
    return h + "\n";
}

std::string plan_csv_row(const PlanRow& r, const std::vector<IntervalKind>& kinds) {
    CsvRow row;
    auto maybe = [&](const std::optional<double>& v) {
        if (v)
            row.number(*v);
        else
            row.empty();
    };
    row.whole(r.surveys).whole(r.reps).whole(r.failed);
    maybe(r.relative_rmse);
    for (IntervalKind k : kinds) maybe(r.kind(k) ? r.kind(k)->relative_half_width : std::nullopt);
    for (IntervalKind k : kinds) maybe(r.kind(k) ? r.kind(k)->coverage : std::nullopt);
    return row.line();
}

std::string selection_csv(const Town& town, const std::vector<std::string>& predictors,
                          const std::vector<std::size_t>& chosen, const std::vector<double>& probability) {
    CsvRow header;
    header.text("ward");
    for (int j = 1; j <= town.n_pred; ++j) header.text(predictor_name(predictors, j));
    header.text("selection_probability");
    std::string out = header.line();
    for (std::size_t i : chosen) {
        CsvRow row;
        row.text(town.names[i]);
        // as the file gave them: the single precision the wards are held in
        for (int j = 0; j < town.n_pred; ++j) row.number(static_cast<float>(town.x[i][static_cast<std::size_t>(j)]));
        row.number(probability[i]);
        out += row.line();
    }
    return out;
}

}  // namespace valdmora
