// SPDX-License-Identifier: GPL-3.0-or-later
// The model library's size-free entries wrapped once: a model built from the state, the
// parameter table of a fit, and one object that fits or evaluates it. Nothing else spells
// out the raw call.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "cycle/distributions.h"

#include "valdmora/modellib.h"

namespace valdmora {

using FitEntry = decltype(&VALDMORA_FIT);
using ObjectiveEntry = decltype(&VALDMORA_OBJECTIVE);
using HessianEntry = decltype(&VALDMORA_HESSIAN);

// The bound entries of the model library.
struct ModelLibrary {
    FitEntry fit = nullptr;
    ObjectiveEntry objective = nullptr;
    FitEntry search = nullptr;  // the fit's search without its confirmation; null: fit
    HessianEntry hessian = nullptr;  // exact second derivatives; null: no covariance
    bool bound() const { return fit && objective; }
};

// The failure codes, by what they mean to a report.
inline bool fit_accepted(int32_t code) { return code == VALDMORA_FIT_OK || code == VALDMORA_FIT_UNCONFIRMED; }
inline bool fit_refused(int32_t code) { return code == VALDMORA_FIT_BAD_ARGS; }
inline bool fit_start_not_finite(int32_t code) { return code == VALDMORA_FIT_START_NOT_FINITE; }

// The count records of the surveyed wards as the library takes them.
struct ModelData {
    int32_t np = 0;
    Dist dist = Dist::lognormal;
    std::vector<int32_t> y;
    std::vector<double> x;      // column after column, leading dimension y.size()
    std::vector<double> x_sum;  // each predictor's sum over the unsurveyed wards
    double wards = 0.0;         // the number of unsurveyed wards
    long nobs() const { return static_cast<long>(y.size()); }
};

// Value, scale factor and bounds of every parameter position 1..np+2, at 0..np+1.
struct Parameters {
    std::vector<double> value, scale, lower, upper;
    int positions() const { return static_cast<int>(value.size()); }
};

struct FitOutcome {
    int32_t code = VALDMORA_FIT_BAD_ARGS;
    double objective = std::numeric_limits<double>::quiet_NaN();  // -log likelihood
    std::vector<double> value;  // every position after the fit
    long evaluations = 0;
    bool accepted() const { return fit_accepted(code); }
    // the objective and every free variable are finite numbers
    bool finite = false;
};

class FitCall {
public:
    FitCall(const ModelLibrary& library, const ModelData& data) : library_(library), data_(data) {}

    // Fits the positions in free (in the optimizer's order) from p's values within p's
    // bounds; the other positions keep their values. fixed_total > 0 ties the intercept
    // to that total over the unsurveyed wards.
    FitOutcome fit(const Parameters& p, const std::vector<int32_t>& free, double fixed_total = 0.0) const;
    // The same search without the derivative-free confirmation: for many refits of which
    // the caller keeps one and confirms it with fit.
    FitOutcome search(const Parameters& p, const std::vector<int32_t>& free, double fixed_total = 0.0) const;
    // Newton's method with the exact second derivatives, from p's values: for refits that
    // start close to their optimum (a bootstrap replicate from the estimates). Code 0 when
    // the Newton decrement falls below 1e-10 within p's bounds; VALDMORA_FIT_FAILED where
    // the information is not positive definite, a step leaves the bounds or the search
    // stalls, and the caller falls back to fit.
    // reach: the largest first Newton decrement (twice the fall the quadratic predicts) to
    // go on from; beyond it the start may lie in another basin and the caller fits instead.
    FitOutcome newton(const Parameters& p, const std::vector<int32_t>& free, double fixed_total = 0.0,
                      double reach = std::numeric_limits<double>::infinity()) const;
    // Newton's full steps without a line search, from p's values: for many refits whose
    // optima lie well within the quadratic's reach of the start (bootstrap replicates from
    // the estimates), where the line search's evaluations would cost as much as the steps.
    // Code 0 once the decrement falls below 1e-2, that last step taken unevaluated (it
    // leaves a decrement of about 1e-5 or less); VALDMORA_FIT_FAILED where the first
    // decrement exceeds reach, a decrement does not fall to a quarter of the one before,
    // a step leaves the bounds or the information is not positive definite, and the caller
    // takes newton. The objective is not evaluated (NaN); finite says the values are.
    FitOutcome newton_steps(const Parameters& p, const std::vector<int32_t>& free, double reach = 25.0) const;
    // -log likelihood at the values, no variable free.
    double objective(const std::vector<double>& value, const std::vector<double>& scale,
                     double fixed_total = 0.0) const;

    // The observed information (the Hessian of -log likelihood) in the free parameters'
    // values, row after row, n x n; empty when the library cannot give it there.
    std::vector<double> information(const std::vector<double>& value, const std::vector<int32_t>& free) const;

    const ModelData& data() const { return data_; }
    const ModelLibrary& library() const { return library_; }

private:
    FitOutcome run(FitEntry entry, const Parameters& p, const std::vector<int32_t>& free, double fixed_total) const;
    valdmora_model model(const std::vector<double>& value, const std::vector<double>& scale, double fixed_total) const;
    const ModelLibrary& library_;
    const ModelData& data_;
};

}  // namespace valdmora
