// SPDX-License-Identifier: GPL-3.0-or-later
#include "predictions.h"

#include <cmath>

#include "cycle/text.h"
#include "cycle/number_format.h"
#include "cycle/user_error.h"
#include "report.h"
#include "valdmora/floored_mean.h"

namespace valdmora {

double unsurveyed_linear_predictor(const EstimationState& s, const BoxValues& b, long w) {
    double h = b[0];
    for (int j = 1; j <= s.n_pred; ++j) h += b[static_cast<std::size_t>(j)] * s.unsurveyed_x(j, w);
    return h;
}

void predict_unsurveyed(EstimationState& s, const BoxValues& b) {
    s.pop_est = 0.0;
    for (long w = 1; w <= s.n_unsurveyed; ++w) {
        const double mu_ward = floored_mean(unsurveyed_linear_predictor(s, b, w));
        if (!std::isfinite(mu_ward))
            throw UserError("The prediction for ward " + printable(s.unsurveyed_name(w)) + " is not a finite number.", "Estimate");
        s.unsurveyed_pred(w) = mu_ward;
        s.pop_est += mu_ward;
    }
}

void predict_surveyed(EstimationState& s, const BoxValues& b) {
    for (long r = 1; r <= s.n_surveyed; ++r) {
        auto v = static_cast<float>(b[0]);
        for (int j = 1; j <= s.n_pred; ++j)
            v = static_cast<float>(v + static_cast<float>(b[static_cast<std::size_t>(j)]) * s.surveyed_x(j, r));
        s.surveyed_pred(r) = static_cast<float>(floored_mean(v));
    }
}

CountVariances count_variances(const EstimationState& s, const BoxValues& b, long n_free) {
    CountVariances c;
    for (float count : s.surveyed_count.values()) c.counted_total += count;
    c.df = s.n_surveyed - n_free;
    const double e = b[5];
    c.ward.resize(static_cast<std::size_t>(s.n_unsurveyed));
    for (long w = 1; w <= s.n_unsurveyed; ++w) {
        const double mu = unsurveyed_linear_predictor(s, b, w);
        double v = distribution(s.err_dist).variance(mu, e);
        v = static_cast<double>(s.n_surveyed) * v / static_cast<double>(c.df);
        c.ward[static_cast<std::size_t>(w - 1)] = v;
        c.sum += v;
    }
    return c;
}

PredictorVariances linear_predictor_variances(const EstimationState& s, const CovarianceMatrix& cov) {
    PredictorVariances lp;
    const int p = s.n_pred;
    lp.ward.resize(static_cast<std::size_t>(s.n_unsurveyed));
    double x[kMaxPredictors + 1];
    x[0] = 1.0;  // the intercept's regressor
    for (long w = 1; w <= s.n_unsurveyed; ++w) {
        for (int j = 1; j <= p; ++j) x[j] = static_cast<double>(s.unsurveyed_x(j, w));
        double v = 0.0;
        for (int a = 0; a <= p; ++a)
            for (int b = 0; b <= p; ++b) v += x[a] * cov[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)] * x[b];
        lp.ward[static_cast<std::size_t>(w - 1)] = v;
    }
    double sum[kMaxPredictors + 1];
    sum[0] = static_cast<double>(s.n_unsurveyed);
    for (int j = 1; j <= p; ++j) sum[j] = s.unsurveyed_x_sum(j);
    for (int a = 0; a <= p; ++a)
        for (int b = 0; b <= p; ++b)
            lp.total += sum[a] * cov[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)] * sum[b];
    return lp;
}

std::string predictions_file_text(const EstimationState& s, const CountVariances& counts,
                                  const PredictorVariances& lp, bool covariance_ok, double t,
                                  const NumberFormat& fmt) {
    std::string out;
    out.reserve(static_cast<std::size_t>(s.n_unsurveyed) * 32);
    for (long w = 1; w <= s.n_unsurveyed; ++w) {
        const auto k = static_cast<std::size_t>(w - 1);
        // limits that cannot be computed are left empty
        const double variance = covariance_ok ? counts.ward[k] + lp.ward[k] : std::nan("");
        out += ward_prediction_line(s.unsurveyed_name(w), s.unsurveyed_pred(w), variance, t, fmt);
        out += "\r\n";
    }
    return out;
}

long find_unsurveyed_ward(const EstimationState& s, const std::string& name) {
    if (name.empty()) return 0;
    for (long w = 1; w <= s.n_unsurveyed; ++w)
        if (s.unsurveyed_name(w) == name) return w;
    const std::string key = ascii_lower(name);
    long found = 0;
    for (long w = 1; w <= s.n_unsurveyed; ++w)
        if (ascii_lower(s.unsurveyed_name(w)) == key) {
            if (found > 0) return 0;  // "Oak" and "OAK" both there: the user must say which
            found = w;
        }
    return found;
}

Estimate estimate(const EstimationState& s, const std::string& ward, const CountVariances& counts,
                  const PredictorVariances& lp) {
    Estimate e;
    e.pop_est = s.pop_est;
    double lp_var = lp.total, count_var = counts.sum;
    if (!ward.empty()) {
        const long w = find_unsurveyed_ward(s, ward);
        if (w > 0) {
            const auto k = static_cast<std::size_t>(w - 1);
            e.pop_est = s.unsurveyed_pred(w);
            lp_var = lp.ward[k];
            count_var = counts.ward[k];
            e.ward_named = true;
            e.ward_index = w;
        }
        e.ward_missing = !e.ward_named;
    }
    e.variance = lp_var + count_var;
    return e;
}

Available<Limits> wald_limits(const Estimate& e, const std::string& covariance_problem, double t) {
    if (!covariance_problem.empty()) return Available<Limits>::why_not(covariance_problem);
    if (!(e.variance >= 0.0 && std::isfinite(e.variance)))
        return Available<Limits>::why_not("the variance of the estimate is negative (a negative linear predictor, or "
                                          "an unusable covariance matrix)");
    const double lower = e.pop_est - t * std::sqrt(e.variance);
    return Available<Limits>::of({lower, e.pop_est + (e.pop_est - lower)});
}

std::string estimate_sentence(const Estimate& e, const Available<Limits>& wald, double counted_total,
                              const NumberFormat& fmt) {
    std::string sentence = "estimated number of roaming dogs = " + format_number(e.pop_est, "##,###", fmt);
    if (wald) {
        // where a comma is the decimal separator, "(479,872)" would read as one number
        const char* between = fmt.decimal == ',' ? "; " : ",";
        sentence += " (" + format_number(wald->lower, "0", fmt) + between + format_number(wald->upper, "0", fmt) + ") ";
    } else {
        sentence += " (limits could not be computed) ";
    }
    if (!e.ward_named) sentence += "plus " + format_number(counted_total, "0", fmt) + " counted";
    return sentence;
}

double expected_total_variance(const EstimationState& s, const BoxValues& b, const CovarianceMatrix& cov, long ward) {
    const int p = s.n_pred;
    // g = sum over the wards of dm/dh times the ward's regressors (1, x_1 .. x_p)
    double g[kMaxPredictors + 1] = {};
    for (long w = ward > 0 ? ward : 1; w <= (ward > 0 ? ward : s.n_unsurveyed); ++w) {
        const double h = unsurveyed_linear_predictor(s, b, w);
        const double slope = h >= 2.0 ? 1.0 : 1.0 / ((3.0 - h) * (3.0 - h));
        g[0] += slope;
        for (int j = 1; j <= p; ++j) g[j] += slope * static_cast<double>(s.unsurveyed_x(j, w));
    }
    double v = 0.0;
    for (int a = 0; a <= p; ++a)
        for (int c = 0; c <= p; ++c) v += g[a] * cov[static_cast<std::size_t>(a)][static_cast<std::size_t>(c)] * g[c];
    return v;
}

}  // namespace valdmora
