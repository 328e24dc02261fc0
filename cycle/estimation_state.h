// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the estimation window knows: ward data, entered parameters, the last fit's
// results and the running totals of a simulation study. Wards live in growable arrays with
// no limit but memory; every access is range-checked.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "checked.h"
#include "distributions.h"
#include "interval_kinds.h"

namespace valdmora {

constexpr int kMaxPredictors = 4;
constexpr int kMaxModelRecords = 99;  // the model library's 99-record entries take at most this many

// Elements 1..size(), growable; an index outside them raises a UserError naming the array.
template <class T>
class WardArray {
public:
    explicit WardArray(const char* name = "array") : name_(name) {}

    T& operator()(long i) { return data_[offset(i)]; }
    const T& operator()(long i) const { return data_[offset(i)]; }
    long size() const { return static_cast<long>(data_.size()); }
    void resize(long n) { data_.resize(static_cast<std::size_t>(n)); }
    const std::vector<T>& values() const { return data_; }
    std::vector<T>& values() { return data_; }

    bool operator==(const WardArray& o) const { return data_ == o.data_; }

private:
    std::size_t offset(long i) const {
        if (i < 1 || i > size()) index_error(name_, i, 1, size());
        return static_cast<std::size_t>(i - 1);
    }
    const char* name_;
    std::vector<T> data_;
};

// Elements (j, i) for predictor j = 1..4 and ward i = 1..wards(), one row per predictor.
template <class T>
class WardTable {
public:
    explicit WardTable(const char* name = "table") : name_(name) {}

    T& operator()(long j, long i) { return rows_[row(j)][column(i)]; }
    const T& operator()(long j, long i) const { return rows_[row(j)][column(i)]; }
    long wards() const { return static_cast<long>(rows_[0].size()); }
    void resize(long n) {
        for (auto& r : rows_) r.resize(static_cast<std::size_t>(n));
    }
    // Predictor j's values of wards 1..wards() at 0..wards()-1.
    const std::vector<T>& row_values(long j) const { return rows_[row(j)]; }

    bool operator==(const WardTable& o) const {
        for (std::size_t k = 0; k < kMaxPredictors; ++k)
            if (rows_[k] != o.rows_[k]) return false;
        return true;
    }

private:
    std::size_t row(long j) const {
        if (j < 1 || j > kMaxPredictors) index_error(name_, j, 1, kMaxPredictors);
        return static_cast<std::size_t>(j - 1);
    }
    std::size_t column(long i) const {
        if (i < 1 || i > wards()) index_error(name_, i, 1, wards());
        return static_cast<std::size_t>(i - 1);
    }
    const char* name_;
    std::vector<T> rows_[kMaxPredictors];
};

struct EstimationState {
    // sizes and counts
    int16_t n_pred = 0;
    int32_t n_surveyed = 0;
    int32_t n_unsurveyed = 0;
    int16_t data_read = 0;  // -1 true, 0 false

    // ward data, single precision as read
    WardArray<std::string> surveyed_name{"surveyed_name"};
    WardTable<float> surveyed_x{"surveyed_x"};
    WardArray<float> surveyed_count{"surveyed_count"};
    WardArray<float> surveyed_pred{"surveyed_pred"};
    WardArray<std::string> unsurveyed_name{"unsurveyed_name"};
    WardTable<float> unsurveyed_x{"unsurveyed_x"};
    // Entry 0 the number of unsurveyed wards, 1..4 each predictor's sum over them; summed
    // in double, so that thousands of fractional values keep their digits.
    FixedArray<double, 0, kMaxPredictors> unsurveyed_x_sum{"unsurveyed_x_sum"};
    WardArray<double> unsurveyed_pred{"unsurveyed_pred"};

    // parameters
    FixedArray<double, 0, 5> beta_entered{"beta_entered"};
    Dist err_dist = Dist::lognormal;
    FixedArray<std::string, 0, 3> extra_param_name{"extra_param_name"};
    FixedArray<float, 1, 100> t_crit{"t_crit"};

    // results of the last fit
    double max_ll = 0.0;
    double prev_max_ll = 0.0;
    double pop_est = 0.0;

    // simulation study
    float sim_total = 0.0f;
    double sim_total_sum = 0.0;
    double est_total_sum = 0.0;
    int16_t n_sims = 0;
    // clicks of the series left out of the score because there was nothing to estimate
    int16_t n_sims_left_out = 0;
    // The latest simulation's unsurveyed wards' true linear predictors, summed: the
    // quantity the profile-likelihood limits estimate.
    double sim_true_total_lp = 0.0;
    // The latest simulation's expected number of dogs in the unsurveyed wards under the
    // generator that drew them: the target of the confidence limits.
    double sim_expected_total = 0.0;
    // the score of each kind of interval: simulations scored, and those outside its limits
    struct Tally {
        int16_t scored = 0, outside = 0;
    };
    std::array<Tally, kIntervalKindCount> tally{};
    Tally& tally_of(IntervalKind k) { return tally[static_cast<std::size_t>(k)]; }
    const Tally& tally_of(IntervalKind k) const { return tally[static_cast<std::size_t>(k)]; }

    bool has_data_file() const { return data_read != 0; }
    // Sizes the ward arrays for the given numbers of wards of each kind.
    void resize_wards(int32_t surveyed, int32_t unsurveyed);
    // The two-sided 95 % t value for df degrees of freedom (at least 1): the table, and 2.0
    // beyond its end as from 21 on.
    double t_value(long df) const;
};

// The window's load: constant tables and start values.
void form_load(EstimationState& s);

}  // namespace valdmora
