// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimation_state.h"

#include "distributions.h"

namespace valdmora {

void form_load(EstimationState& s) {
    s.prev_max_ll = 0.0;
    s.err_dist = Dist::lognormal;
    for (int k = 0; k < 3; ++k) s.extra_param_name(k) = kDistributions[static_cast<std::size_t>(k)].extra_name;
    s.extra_param_name(3) = "null";
    // two-sided 95 % Student t quantiles by degrees of freedom
    static constexpr float kT[20] = {12.706f, 4.303f, 3.182f, 2.776f, 2.571f, 2.447f, 2.365f,
                                     2.306f,  2.262f, 2.228f, 2.201f, 2.179f, 2.160f, 2.145f,
                                     2.131f,  2.120f, 2.110f, 2.101f, 2.093f, 2.086f};
    for (int k = 1; k <= 20; ++k) s.t_crit(k) = kT[k - 1];
    for (int k = 21; k <= 100; ++k) s.t_crit(k) = 2.0f;
    s.data_read = 0;
}

void EstimationState::resize_wards(int32_t surveyed, int32_t unsurveyed) {
    surveyed_name.resize(surveyed);
    surveyed_x.resize(surveyed);
    surveyed_count.resize(surveyed);
    surveyed_pred.resize(surveyed);
    unsurveyed_name.resize(unsurveyed);
    unsurveyed_x.resize(unsurveyed);
    unsurveyed_pred.resize(unsurveyed);
    n_surveyed = surveyed;
    n_unsurveyed = unsurveyed;
}

double EstimationState::t_value(long df) const { return df > 100 ? 2.0 : static_cast<double>(t_crit(df)); }

}  // namespace valdmora
