// SPDX-License-Identifier: GPL-3.0-or-later
#include "model_average.h"

#include <cmath>

#include "cycle/number_format.h"

namespace valdmora {

ModelAverage model_average(const ModelTable& table, const NumberFormat& point) {
    ModelAverage a;
    double weights = 0.0, total = 0.0;
    for (const ModelRow& r : table.rows)
        if (r.available && r.limits_ok && std::isfinite(r.weight) && std::isfinite(r.total_variance)) {
            weights += r.weight;
            total += r.weight * r.pop_est;
            ++a.models;
        }
    if (a.models == 0 || !(weights > 0.0)) {
        a.reason = "no model has both an AICc weight and limits";
        return a;
    }
    a.total = total / weights;
    for (const ModelRow& r : table.rows)
        if (r.available && r.limits_ok && std::isfinite(r.weight) && std::isfinite(r.total_variance)) {
            const double spread = r.pop_est - a.total;
            a.se += r.weight / weights * std::sqrt(r.total_variance + spread * spread);
        }
    a.lower = a.total - 1.96 * a.se;
    a.upper = a.total + 1.96 * a.se;
    a.available = true;
    a.sentence = "averaged over " + std::to_string(a.models) +
                 " models by their AICc weights: " + format_number(a.total, "##,###", point) +
                 " dogs in the unsurveyed wards, unconditional standard error " + format_number(a.se, "##,###", point) +
                 " (95 % limits " + format_number(a.lower, "##,###", point) + " to " +
                 format_number(a.upper, "##,###", point) + ")";
    return a;
}

}  // namespace valdmora
