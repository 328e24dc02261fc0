// Everything the estimation window knows: ward data, entered parameters, the packed model
// data, the last fit's results and the running totals of a simulation study. Fixed index
// ranges and numeric widths are kept; every access is range-checked.
#pragma once

#include <cstdint>
#include <string>

#include "checked.h"

namespace valdmora {

constexpr int kMaxWards = 100;       // of each kind
constexpr int kMaxPredictors = 4;
constexpr int kMaxModelRecords = 99;  // the model library's limit on surveyed wards

struct EstimationState {
    // sizes and counts
    int16_t n_pred = 0;
    int16_t n_surveyed = 0;
    int16_t n_unsurveyed = 0;
    int16_t data_read = 0;  // -1 true, 0 false

    // ward data
    FixedArray<std::string, 1, kMaxWards> surveyed_name{"surveyed_name"};
    FixedArray2<float, 1, kMaxPredictors, 1, kMaxWards> surveyed_x{"surveyed_x"};
    FixedArray<float, 1, kMaxWards> surveyed_count{"surveyed_count"};
    FixedArray<float, 1, kMaxWards> surveyed_pred{"surveyed_pred"};
    FixedArray<std::string, 1, kMaxWards> unsurveyed_name{"unsurveyed_name"};
    FixedArray2<float, 0, kMaxPredictors, 1, kMaxWards> unsurveyed_x{"unsurveyed_x"};
    FixedArray<float, 0, kMaxPredictors> unsurveyed_x_sum{"unsurveyed_x_sum"};
    FixedArray<double, 1, kMaxWards> unsurveyed_pred{"unsurveyed_pred"};

    // parameters and model data
    FixedArray<double, 0, 5> beta_entered{"beta_entered"};
    int16_t err_dist = 0;
    FixedArray<std::string, 0, 3> extra_param_name{"extra_param_name"};
    FixedArray<int32_t, 1, 1000> model_ints{"model_ints"};
    int32_t n_model_ints = 0;
    FixedArray<double, 1, 1000> model_reals{"model_reals"};
    int32_t n_model_reals = 0;
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
    int16_t n_outside_cl = 0;

    bool has_data_file() const { return data_read != 0; }
};

// The window's load: constant tables and start values.
void form_load(EstimationState& s);

}  // namespace valdmora
