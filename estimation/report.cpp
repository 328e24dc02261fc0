// SPDX-License-Identifier: GPL-3.0-or-later
#include "report.h"

#include <algorithm>
#include <cmath>

#include "cycle/number_format.h"

namespace valdmora {


double profile_total(double range_percent, int k, double pop_est) {
    const double total = (range_percent * k / 1000.0 + 1.0) * pop_est;
    return total < 1.0 ? 1.0 : total;
}

std::string ward_prediction_line(const std::string& name, double pred, double variance, double t,
                                 const NumberFormat& fmt) {
    std::string line = name + ", " + format_number(pred, "###", fmt) + ",(";
    if (variance >= 0.0 && std::isfinite(variance)) {
        double lower = pred - t * std::sqrt(variance);
        if (lower < 0.0) lower = 0.0;
        const double upper = pred - lower + pred;
        line += format_number(lower, "0", fmt) + "," + format_number(upper, "###", fmt);
    } else {
        line += ",";
    }
    return line + ")";
}

std::string limit_text(double v, const NumberFormat& fmt) {
    const std::string text = format_number(v, "##,###", fmt);
    return text.empty() || text == "-" ? "0" : text;
}

bool outside_limits(double lower, double upper, float sim_total) {
    return static_cast<float>(lower) >= sim_total || static_cast<float>(upper) <= sim_total;
}

std::string likelihood_line(double max_ll, std::optional<double> previous_max_ll, bool higher_profile_point,
                            const NumberFormat& fmt) {
    std::string line = "maximum log likelihood = " + format_number(max_ll, "####.###", fmt);
    if (previous_max_ll) line += ", change = " + format_number(max_ll - *previous_max_ll, "####.###", fmt);
    if (higher_profile_point)
        line += "; the profile found a higher likelihood than the fit, so the fit did not reach the maximum";
    return line;
}

bool scored_outside(ScoreTarget target, const Available<Limits>& limits, double truth) {
    if (!limits) return true;
    return target == ScoreTarget::dogs_drawn ? outside_limits(limits->lower, limits->upper, static_cast<float>(truth))
                                             : !covers(limits->lower, limits->upper, truth);
}

std::optional<double> coverage_share(int outside, int scored) {
    if (scored <= 0) return std::nullopt;
    return 1.0 - static_cast<double>(outside) / scored;
}

std::string simulation_summary_text(float sim_total, double sim_total_sum, double est_total_sum, int16_t n_outside,
                                    int16_t n_sims, const NumberFormat& fmt) {
    return format_number(sim_total, "0", fmt) + " dogs simulated, on average " +
           format_number(sim_total_sum / n_sims, "0", fmt) + ", average estimate " +
           format_number(est_total_sum / n_sims, "0", fmt) + ", simulated population outside CLs (the 95 % Wald prediction limits) in " +
           std::to_string(n_outside) + " of " + std::to_string(n_sims) + " simulations";
}

}  // namespace valdmora

namespace valdmora {

std::string simulation_summary_line(const EstimationState& s, const NumberFormat& fmt) {
    if (s.n_sims > 0)
        return simulation_summary_text(s.sim_total, s.sim_total_sum, s.est_total_sum,
                                       s.tally_of(IntervalKind::wald).outside, s.n_sims, fmt);
    return "no simulation of this series had an unsurveyed ward to estimate";
}

std::string interval_scores(const EstimationState& s) {
    std::string text;
    auto line = [&](const std::string& l) { text += (text.empty() ? "" : "\n") + l; };
    // each interval against its own target: the dogs drawn, or their expected number
    for (const IntervalTraits& k : kIntervalKinds) {
        const EstimationState::Tally& t = s.tally_of(k.kind);
        if (!k.score_words.empty() && t.scored > 0)
            line(std::string(k.score_words) + " outside in " + std::to_string(t.outside) + " of " +
                 std::to_string(t.scored) + " simulations");
    }
    if (s.n_sims_left_out > 0)
        line(std::to_string(s.n_sims_left_out) +
             (s.n_sims_left_out == 1 ? " simulation had no unsurveyed ward and was"
                                     : " simulations had no unsurveyed ward and were") +
             " left out of the score");
    return text;
}

}  // namespace valdmora
