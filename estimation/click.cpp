// SPDX-License-Identifier: GPL-3.0-or-later
#include "click.h"

#include <cmath>
#include <memory>

#include "cycle/command_cycle.h"
#include "cycle/csv.h"
#include "cycle/number_format.h"
#include "cycle/text.h"
#include "estimate.h"
#include "predictions.h"
#include "report.h"
#include "setup.h"
#include "simulation.h"

namespace valdmora {
namespace {

const Rgb kGreen{0, 192, 0};
const Rgb kRed{255, 0, 0};


std::string limits_sentence(double lower, double upper, const NumberFormat& fmt) {
    return limit_text(lower, fmt) + " to " + limit_text(upper, fmt);
}

// The notices a result needs before it can be trusted: an estimate on a bound, limits of
// no width, a lower limit far below zero.
void trust_notices(ClickResult& r, const ClickInput& in, int np) {
    const EstimateResult& e = r.estimate;
    for (int32_t k : e.on_bound) {
        const auto u = static_cast<std::size_t>(k - 1);
        const int box = k <= np + 1 ? k - 1 : 5;
        const bool lower = std::fabs(e.par_value[u] - e.lower_bound[u]) <= std::fabs(e.par_value[u] - e.upper_bound[u]);
        r.notices.push_back(
            {"Estimate",
             "The estimate of " + in.beta_label[static_cast<std::size_t>(box)] + " ended on its " +
                 (lower ? "lower" : "upper") + " bound of " + general_number(lower ? e.lower_bound[u] : e.upper_bound[u], in.fmt) +
                 ": the likelihood still rises beyond it, so that estimate, its standard error and the Wald limits "
                 "are unreliable.",
             box == 5 && lower && distribution(e.state.err_dist).whole_counts
                 ? "The counts vary no more than Poisson counts would; see the overdispersion check."
                 : "Check the counts and the predictors, or fix this parameter and estimate again.",
             false});
    }
    const Interval* boot = e.interval(IntervalKind::bootstrap);
    if (boot && boot->limits && !(boot->limits->upper > boot->limits->lower))
        r.notices.push_back({"Bootstrap",
                             "The bootstrap limits have no width: every replicate drew the same total, so they say "
                             "nothing about the uncertainty.",
                             "The counts may all be equal, or a parameter may sit on a bound.", false});
    const Available<Limits>& wald = e.wald();
    if (wald && !e.no_unsurveyed_ward) {
        if (!(wald->upper > wald->lower))
            r.notices.push_back({"Estimate",
                                 "The limits of the estimate have no width: the model sees no uncertainty in it, "
                                 "which real counts never justify.",
                                 "A parameter may sit on a bound, or the counts may all be equal.", false});
        else if (wald->lower < -0.1 * e.total.pop_est)
            r.notices.push_back({"Estimate",
                                 "The lower limit of the estimate is far below zero: the symmetric Wald interval "
                                 "does not suit these data.",
                                 "Read the profile-likelihood or bootstrap limits instead.", false});
    }
}

// What the sighting proportion warns of.
void sighting_notices(ClickResult& r) {
    const std::optional<DogsPresent>& d = r.estimate.dogs_present;
    if (!d) return;
    if (d->all_seen)
        r.notices.push_back({"Sighting correction",
                             std::string(d->sighting.counts > 0 ? "Every count saw every marked dog (sighting proportion 1)"
                                                                : "The sighting proportion is 1") +
                                 ": the correction changes nothing.",
                             "Marked dogs may be easier to see than the others; mark dogs that roam like the rest.",
                             false});
    if (d->few_seen)
        r.notices.push_back({"Sighting correction",
                             "The counts saw few of the marked dogs (sighting proportion below 0.2): the limits of "
                             "the dogs present are wide.",
                             "Repeat the counts, or count at the hours when dogs are about.", false});
    if (d->few_marked)
        r.notices.push_back({"Sighting correction",
                             "Fewer than 30 marked-dog sightings were possible (counts times marked dogs): the "
                             "binomial approximation behind the delta-method limits is rough.",
                             "Ask for bootstrap limits, or mark more dogs.", false});
}

// Scores each interval of a simulation against its own target and counts it in the series.
void score_simulation(EstimationState& s, const EstimateResult& e) {
    for (const Interval& iv : e.intervals) {
        if (!iv.attempted) continue;
        // without limits the truth cannot be shown inside them: it counts as outside
        const ScoreTarget target = iv.traits().target;
        const double truth = target == ScoreTarget::dogs_drawn ? s.sim_total : s.sim_expected_total;
        EstimationState::Tally& tally = s.tally_of(iv.kind);
        tally.scored = add16(tally.scored, 1, "number of simulations scored");
        if (scored_outside(target, iv.limits, truth))
            tally.outside = add16(tally.outside, 1, "number of simulations outside the limits");
    }
}

}  // namespace

std::string box_text(double value, const NumberFormat& fmt) {
    std::string text = format_number(value, "###.####", fmt);
    if (text == std::string(1, fmt.decimal)) text = "0";  // the box's own change rule
    return text;
}

std::string interval_line(const Interval& iv, const EstimateResult& e, const NumberFormat& fmt) {
    const IntervalTraits& k = iv.traits();
    if (k.needs_unsurveyed_ward && e.no_unsurveyed_ward) return {};
    if (!iv.limits) return k.missing.empty() ? std::string() : std::string(k.missing) + iv.limits.reason();
    std::string line(k.available);
    if (k.limits_in_estimate_line) return line + (e.total.ward_named ? "ward" : "unsurveyed wards");
    if (iv.monte_carlo) {
        const MonteCarlo& mc = *iv.monte_carlo;
        return line + " (" + std::to_string(mc.reps - mc.failed) + " of " + std::to_string(mc.reps) +
               " replicates): " + limits_sentence(iv.limits->lower, iv.limits->upper, fmt) + ", Monte Carlo error " +
               limit_text(mc.lower_error, fmt) + " and " + limit_text(mc.upper_error, fmt) +
               (mc.failed > 0 ? "; " + std::to_string(mc.failed) + " refits failed and were left out" : "");
    }
    return line + limits_sentence(iv.limits->lower, iv.limits->upper, fmt);
}

std::string sighting_words(const SightingProportion& p, const NumberFormat& fmt) {
    std::string words = format_number(p.p, "0.000", fmt) + " \u00b1 " + format_number(p.se(), "0.000", fmt);
    if (p.counts > 0)
        words += " (" + std::to_string(p.counts) + (p.counts == 1 ? " count" : " counts") + " of " +
                 std::to_string(p.marked) + " marked dogs)";
    else
        words += " (from an earlier study)";
    return words;
}

std::string dogs_present_lines(const EstimateResult& e, const NumberFormat& fmt) {
    if (!e.dogs_present) return {};
    const DogsPresent& d = *e.dogs_present;
    std::string text = "dogs present = " + limit_text(d.estimate, fmt) + ": the " + limit_text(d.seen, fmt) +
                       (e.total.ward_named ? " dogs seen in the ward" : " dogs seen (counted and estimated)") +
                       " over the sighting proportion " + sighting_words(d.sighting, fmt);
    for (const Interval& iv : d.intervals) {
        const std::string name = iv.kind == IntervalKind::delta ? "delta-method (log scale)" : "bootstrap";
        text += "\n" + name + " 95 % limits of the dogs present";
        if (!iv.limits) {
            text += " not available: " + iv.limits.reason();
            continue;
        }
        if (iv.monte_carlo) {
            const MonteCarlo& mc = *iv.monte_carlo;
            text += " (" + std::to_string(mc.reps - mc.failed) + " of " + std::to_string(mc.reps) + " replicates): " +
                    limits_sentence(iv.limits->lower, iv.limits->upper, fmt) + ", Monte Carlo error " +
                    limit_text(mc.lower_error, fmt) + " and " + limit_text(mc.upper_error, fmt);
        } else {
            text += ": " + limits_sentence(iv.limits->lower, iv.limits->upper, fmt);
        }
    }
    return text;
}

std::string ward_dogs_present_csv(const EstimateResult& e) {
    std::string csv = "ward,prediction,dogs_present\n";
    if (!e.dogs_present) return csv;
    const std::vector<double>& present = e.dogs_present->ward;
    for (std::size_t w = 0; w < e.ward_predictions.size() && w < present.size(); ++w) {
        CsvRow row;
        row.text(e.ward_predictions[w].name).number(e.ward_predictions[w].prediction).number(present[w]);
        csv += row.line();
    }
    return csv;
}

ClickResult run_estimating_click(const ClickInput& in, const EstimationState& state, const ClickServices& services) {
    ClickResult r;
    EstimationState s = state;
    const Progress& progress = services.progress;
    const NumberFormat& fmt = in.fmt;
    EstimateRequest request = in.request;

    if (in.simulate) {
        std::unique_ptr<UniformSource> own;
        UniformSource* u = services.random;
        if (!u) {
            own = std::make_unique<MersenneUniform>();
            u = own.get();
        }
        if (services.reseed_from_clock || !services.random) u->reseed(clock_seed());
        s.err_dist = request.dist;
        r.key_names = simulate_data({in.surveys, in.generator, fmt}, s, *u, progress).key_names;
        r.simulated = true;
        // the fit starts from the true values
        for (int i = 0; i < 6; ++i) request.start[static_cast<std::size_t>(i)] = s.beta_entered(i);
    }
    check_data_carries_model(s, request.free, fmt);
    const double prev_max_ll = s.prev_max_ll;
    r.estimate = run_estimate(request, s, services);
    EstimateResult& e = r.estimate;
    EstimationState& st = e.state;

    // the fit
    if (in.files) r.files.push_back({kUserFile, user_file_text(e.setup, fmt)});
    if (!e.fit_ok)
        r.notices.push_back({"Estimate",
                             "The fit did not converge (failure code " + std::to_string(e.fail_code) +
                                 "): the estimates, the likelihood and the limits shown are those of the point where "
                                 "the search stopped.",
                             "Try other start values, or fewer free parameters.", false});
    r.label8_colour = e.fit_ok && (e.no_unsurveyed_ward ? e.cov.ok() : e.wald().ok()) ? kGreen : kRed;
    if (in.simulate && !e.no_unsurveyed_ward) st.est_total_sum += e.unsurveyed_total;
    // the likelihood line
    r.label7 = likelihood_line(e.max_ll, prev_max_ll, false, fmt);
    // the counts chart
    r.counts.heights = st.surveyed_count.values();
    r.counts.positions = st.surveyed_pred.values();
    r.counts.title = "predicted";
    r.counts.origin_at_zero = in.origin_at_zero;
    // the predictions file
    if (in.files)
        r.files.push_back({kPredictionsFile, predictions_file_text(st, e.counts, e.lp, e.cov.ok(), e.t, fmt)});
    // the estimate sentence
    if (e.no_unsurveyed_ward)
        r.label8 = "no unsurveyed ward to estimate; " + format_number(e.counts.counted_total, "0", fmt) + " dogs counted";
    else
        r.label8 = estimate_sentence(e.total, e.wald(), e.counts.counted_total, fmt);
    if (e.total.ward_missing)
        r.notices.push_back({"Ward", "specified unsurveyed ward not found in data file",
                             "No unsurveyed ward is named \"" + printable(request.ward, 200) +
                                 "\" (nor one that differs only in letter case); the estimate shown is for all unsurveyed wards.",
                             true});
    else if (e.total.ward_named && st.unsurveyed_name(e.total.ward_index) != request.ward)
        r.notices.push_back({"Ward", "The ward \"" + printable(request.ward, 200) + "\" is taken to be \"" +
                                         printable(st.unsurveyed_name(e.total.ward_index), 200) +
                                         "\", the one unsurveyed ward of that name in other letter case.",
                             "", false});

    // the likelihood profile's chart
    if (e.profiled) {
        LikelihoodChartData chart;
        for (const ProfilePoint& p : e.profile) {
            chart.log_likelihood.push_back(static_cast<float>(p.log_likelihood));
            chart.total.push_back(static_cast<float>(std::round(p.total)));  // as the pattern "0" writes it
        }
        chart.sim_total = st.sim_total;
        const Available<Limits>& wald = e.wald();
        chart.lower = wald ? wald->lower : std::nan("");
        chart.upper = wald ? wald->upper : std::nan("");
        chart.simulated = !in.data_file;
        const Available<Limits>& prof = e.limits(IntervalKind::profile);
        chart.profile_limits = prof.ok();
        chart.profile_lower = prof ? prof->lower : 0.0;
        chart.profile_upper = prof ? prof->upper : 0.0;
        r.likelihood = std::move(chart);
        if (e.higher_profile_point) r.label7 = likelihood_line(e.max_ll, prev_max_ll, true, fmt);
    } else {
        r.clear_likelihood = e.no_unsurveyed_ward;
    }
    // Two targets: the dogs actually in the unsurveyed wards (prediction limits) and their
    // expected number (confidence limits). Each line names its own.
    std::string intervals;
    for (const Interval& iv : e.intervals) {
        const std::string line = interval_line(iv, e, fmt);
        if (!line.empty()) intervals += (intervals.empty() ? "" : "\n") + line;
    }
    // the score of a simulation series, once every interval is known
    if (in.simulate) {
        if (!e.no_unsurveyed_ward) score_simulation(st, e);
        r.lbl_tot_sim_dog = simulation_summary_line(st, fmt);
        if (!e.no_unsurveyed_ward)
            intervals += "\nthis simulation: " + format_number(st.sim_total, "0", fmt) +
                         " dogs drawn in the unsurveyed wards (the target of the prediction limits) about an expected " +
                         format_number(st.sim_expected_total, "0", fmt) + " (the target of the confidence limits)";
        const std::string score = interval_scores(st);
        if (!score.empty()) intervals += "\n" + score;
    }
    const std::string present = dogs_present_lines(e, fmt);
    if (!present.empty()) intervals += (intervals.empty() ? "" : "\n") + present;
    r.interval_text = intervals;
    trust_notices(r, in, st.n_pred);
    sighting_notices(r);
    if (e.dogs_present) {
        const DogsPresent& d = *e.dogs_present;
        // short lines: the key is narrow
        r.key_lines.push_back("dogs seen " + limit_text(d.seen, fmt));
        r.key_lines.push_back("dogs present " + limit_text(d.estimate, fmt));
        for (const Interval& iv : d.intervals)
            if (iv.limits)
                r.key_lines.push_back((iv.kind == IntervalKind::delta ? "delta " : "bootstrap ") +
                                      limit_text(iv.limits->lower, fmt) + "\u2013" + limit_text(iv.limits->upper, fmt));
    }
    if (in.files && e.dogs_present) r.files.push_back({kDogsPresentFile, ward_dogs_present_csv(e)});
    const Available<Limits>& prof = e.limits(IntervalKind::profile);
    if (prof && prof->upper <= prof->lower)
        r.notices.push_back({"Estimate", "The profile-likelihood limits have no width.", "", false});
    r.show_ward_controls = in.data_file;
    return r;
}

std::string ward_predictions_csv(const std::vector<WardPrediction>& wards) {
    // for programs: points for decimals, whatever the locale
    // every column named, the limits' kind among them; dogs to a hundredth
    std::string csv = "ward,predicted_dogs,prediction_lower_95,prediction_upper_95\n";
    for (const WardPrediction& w : wards) {
        CsvRow row;
        row.text(w.name).rounded(w.prediction, 2);
        if (w.limits)
            row.rounded(w.limits->lower, 2).rounded(w.limits->upper, 2);
        else
            row.empty().empty();
        csv += row.line();
    }
    return csv;
}

}  // namespace valdmora
