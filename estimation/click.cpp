#include "click.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <thread>

#include "cycle/command_cycle.h"
#include "cycle/number_format.h"
#include "report.h"
#include "simulation.h"
#include "spd_inverse.h"
#include "valdmora/floored_mean.h"

namespace valdmora {
namespace {

const Rgb kGreen{0, 192, 0};
const Rgb kRed{255, 0, 0};
constexpr int kProfilePoints = 21;

// Locals of one click that the fit, the covariance and the profile share.
struct FitLocals {
    FixedArray<double, 1, 11> par_value{"par_value"}, par_scale{"par_scale"}, par_lower{"par_lower"},
        par_upper{"par_upper"};
    FixedArray<int32_t, 1, 11> free_pos{"free_pos"};
    int32_t n_free = 0;
    FixedArray<double, 1, 12> opt_x{"opt_x"}, opt_lower{"opt_lower"}, opt_upper{"opt_upper"};
    double objective = 0.0;
    int32_t fail_code = 1;
    std::array<int32_t, 20> iw{};
    std::array<double, 500> w{};
};

class Click {
public:
    Click(const ClickInput& in, const EstimationState& state, const ClickServices& services)
        : in_(in), services_(services) {
        r_.state = state;
        r_.beta_text = in.beta_text;
    }

    ClickResult run();

private:
    EstimationState& s() { return r_.state; }
    int np() const { return r_.state.n_pred; }

    double box(int i) const { return box_number(in_, r_.beta_text, i, "Estimate"); }
    void call_fit(int32_t n);
    double evaluate_log_likelihood();
    void repack_model_reals();

    void check_inputs();
    void set_up_and_fit();
    void write_user_file();
    void report_estimates();
    void predict_unsurveyed();
    void count_variances();
    void likelihood_line();
    void predict_surveyed();
    void covariance();
    void linear_predictor_variances();
    void write_predictions_file();
    void estimate_sentence();
    void simulation_summary();
    void profile();

    void file_problem(const std::string& name, const std::string& why) {
        r_.notices.push_back({"Output file", "The file " + name + " could not be written: " + why + ".",
                              "The rest of the estimate stands."});
    }

    const ClickInput& in_;
    const ClickServices& services_;
    ClickResult r_;
    FitLocals f_;
    bool new_simulation_ = false;
    std::string limits_problem_;
    double range_percent_ = 50.0;
    bool ward_named_ = false;

    // report locals
    std::array<double, kMaxWards + 1> count_var_{};
    double count_var_sum_ = 0.0;
    std::array<double, kMaxWards + 1> lp_var_{};
    double pop_lp_var_ = 0.0;
};

void Click::call_fit(int32_t n) {
    int32_t bounds_mode = 0, liw = 20, lw = 500;
    f_.fail_code = 1;
    services_.fit(&n, &bounds_mode, f_.opt_lower.data(), f_.opt_upper.data(), f_.opt_x.data(), &f_.objective,
                  f_.iw.data(), &liw, f_.w.data(), &lw, s().model_ints.data(), s().model_reals.data(), &f_.fail_code);
}

void Click::repack_model_reals() {
    s().n_model_reals = 0;
    for (int k = 1; k <= np() + 2; ++k) {
        s().model_reals(++s().n_model_reals) = f_.par_value(k);
        s().model_reals(++s().n_model_reals) = f_.par_scale(k);
        s().model_reals(++s().n_model_reals) = f_.par_lower(k);
        s().model_reals(++s().n_model_reals) = f_.par_upper(k);
    }
    ++s().n_model_reals;  // the fixed total, left as it is
}

double Click::evaluate_log_likelihood() {
    repack_model_reals();
    const int32_t code = f_.fail_code;
    call_fit(0);
    f_.fail_code = code;
    return -f_.objective;
}

void Click::check_inputs() {
    for (int j = 0; j <= np(); ++j) box(j);
    box(5);
    if (in_.ward.empty()) {
        const auto r = parse_number(in_.range_text, in_.fmt);
        if (!r)
            throw UserError("The range of the likelihood chart is \"" + in_.range_text +
                                "\", which is not a number. Enter a percentage such as 50.",
                            "Estimate");
        range_percent_ = *r;
    }
    int n_free = 1;
    for (int j = 0; j <= np(); ++j) n_free += in_.beta_checked[j] ? 1 : 0;
    if (s().n_surveyed - n_free < 1)
        throw UserError("There are " + std::to_string(s().n_surveyed) + " surveyed wards for " +
                            std::to_string(n_free) +
                            " free parameters: the estimate needs at least one surveyed ward more than free "
                            "parameters. Untick predictors or survey more wards.",
                        "Estimate");
    if (s().err_dist == 1)
        for (int i = 1; i <= s().n_surveyed; ++i)
            if (s().surveyed_count(i) < 1.0f)
                throw UserError("Ward " + s().surveyed_name(i) + " has a count of " +
                                    general_number(s().surveyed_count(i), in_.fmt) +
                                    "; the lognormal distribution needs every count to be at least 1. Choose the "
                                    "normal or negative binomial distribution.",
                                "Estimate");
}

int32_t to_model_int(float v, const std::string& what) {
    // whole numbers for the model library: to the nearest, a half to the even neighbour
    const double r = std::nearbyint(static_cast<double>(v));
    if (!(std::fabs(r) <= 2147483647.0))
        throw UserError(what + " " + std::to_string(v) + " is too large for the model library.", "Estimate");
    return static_cast<int32_t>(r);
}

void Click::set_up_and_fit() {
    auto& st = s();
    const int p = np(), m = st.n_surveyed;
    st.model_ints(11) = p;
    st.model_ints(12) = st.n_unsurveyed;
    st.model_ints(13) = m;
    int32_t at = 13;
    for (int i = 1; i <= m; ++i) {
        st.model_ints(++at) = to_model_int(st.surveyed_count(i), "The count of ward " + st.surveyed_name(i));
        for (int j = 1; j <= p; ++j)
            st.model_ints(++at) = to_model_int(st.surveyed_x(j, i), "A predictor value of ward " + st.surveyed_name(i));
    }
    for (int j = 1; j <= p; ++j) st.model_ints(++at) = to_model_int(st.unsurveyed_x_sum(j), "A predictor sum");
    st.model_ints(++at) = st.err_dist;
    st.n_model_ints = at;

    for (int k = 1; k <= p + 1; ++k) {
        f_.par_value(k) = box(k - 1);
        f_.par_scale(k) = 1.0;
        f_.par_lower(k) = -1000.0;
        f_.par_upper(k) = 1000.0;
    }
    f_.par_value(p + 2) = box(5);
    f_.par_scale(p + 2) = 1.0;
    f_.par_lower(p + 2) = 0.01;
    f_.par_upper(p + 2) = 100.0;

    for (int i = 1; i <= 11; ++i) f_.free_pos(i) = 0;
    f_.n_free = 0;
    // A box of a predictor beyond the model's (ticked in an earlier mode) frees nothing.
    for (int j = 0; j <= std::min(4, p); ++j)
        if (in_.beta_checked[j]) f_.free_pos(++f_.n_free) = j + 1;
    f_.free_pos(++f_.n_free) = p + 2;
    st.model_ints(1) = f_.n_free;
    for (int i = 1; i <= f_.n_free; ++i) st.model_ints(1 + i) = f_.free_pos(i);

    repack_model_reals();
    for (int i = 1; i <= f_.n_free; ++i) {
        const int k = f_.free_pos(i);
        f_.opt_x(i) = f_.par_scale(k) * f_.par_value(k);
        f_.opt_lower(i) = f_.par_scale(k) * f_.par_lower(k);
        f_.opt_upper(i) = f_.par_upper(k) * f_.par_scale(k);
    }
    st.model_reals(st.n_model_reals) = 0.0;  // no fixed total
    write_user_file();

    const int32_t before = st.model_ints(1000);
    f_.objective = std::nan("");  // stays so when the library refuses without evaluating
    call_fit(f_.n_free);
    r_.evaluations.fit = static_cast<long>(st.model_ints(1000)) - before;
    r_.fail_code = f_.fail_code;
    bool finite = std::isfinite(f_.objective);
    for (int i = 1; i <= f_.n_free; ++i) finite = finite && std::isfinite(f_.opt_x(i));
    if (!finite)
        throw UserError("The model could not be fitted: the likelihood has no finite value at the start values "
                        "(failure code " + std::to_string(f_.fail_code) + "). Check the start values and the counts.",
                        "Estimate");
}

void Click::write_user_file() {
    const std::string name = "user.txt";
    const auto path = std::filesystem::path(in_.output_dir) / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        file_problem(path.string(), std::strerror(errno));
        return;
    }
    auto line = [&](double v) { out << plain_number(v, in_.fmt) << "\r\n"; };
    line(s().n_model_ints);
    for (int i = 1; i <= s().n_model_ints; ++i) line(s().model_ints(i));
    line(s().n_model_reals);
    for (int i = 1; i <= s().n_model_reals; ++i) line(s().model_reals(i));
    out.close();
    if (!out) file_problem(path.string(), std::strerror(errno));
}

void Click::report_estimates() {
    r_.label8_colour = (f_.fail_code == 0 || f_.fail_code == 5) ? kGreen : kRed;
    for (int i = 1; i <= f_.n_free; ++i) {
        const int k = f_.free_pos(i);
        f_.par_value(k) = f_.opt_x(i) / f_.par_scale(k);
        const int box_index = k <= np() + 1 ? k - 1 : 5;
        std::string text = format_number(f_.par_value(k), "###.####", in_.fmt);
        if (text == std::string(1, in_.fmt.decimal)) text = "0";  // the box's own change rule
        r_.beta_text[box_index] = text;
    }
}

void Click::predict_unsurveyed() {
    auto& st = s();
    st.pop_est = 0.0;
    for (int w = 1; w <= st.n_unsurveyed; ++w) {
        double mu_ward = box(0);
        for (int j = 1; j <= np(); ++j) mu_ward += box(j) * st.unsurveyed_x(j, w);
        mu_ward = floored_mean(mu_ward);
        if (!std::isfinite(mu_ward))
            throw UserError("The prediction for ward " + st.unsurveyed_name(w) + " is not a finite number.", "Estimate");
        st.unsurveyed_pred(w) = mu_ward;
        st.pop_est += mu_ward;
    }
}

void Click::count_variances() {
    auto& st = s();
    r_.counted_total = 0.0;
    for (int i = 1; i <= st.n_surveyed; ++i) r_.counted_total += st.surveyed_count(i);
    r_.df = st.n_surveyed - f_.n_free;
    count_var_sum_ = 0.0;
    const double e = box(5);
    for (int w = 1; w <= st.n_unsurveyed; ++w) {
        double mu_survey = box(0);
        for (int j = 1; j <= np(); ++j) mu_survey += box(j) * st.unsurveyed_x(j, w);
        double v = in_.err_option == 0 ? (e * mu_survey) * (e * mu_survey)
                   : in_.err_option == 1 ? e * e
                                         : (e + 1.0) * mu_survey;
        v = st.n_surveyed * v / r_.df;
        count_var_[w] = v;
        count_var_sum_ += v;
    }
}

void Click::likelihood_line() {
    auto& st = s();
    st.max_ll = -f_.objective;
    r_.max_ll = st.max_ll;
    r_.label7 = "maximum log likelihood = " + format_number(st.max_ll, "####.###", in_.fmt) +
                ", change = " + format_number(st.max_ll - st.prev_max_ll, "####.###", in_.fmt);
    st.prev_max_ll = st.max_ll;
}

void Click::predict_surveyed() {
    auto& st = s();
    for (int r = 1; r <= st.n_surveyed; ++r) {
        auto v = static_cast<float>(box(0));
        for (int j = 1; j <= np(); ++j) v = static_cast<float>(v + static_cast<float>(box(j)) * st.surveyed_x(j, r));
        st.surveyed_pred(r) = static_cast<float>(floored_mean(v));
    }
    CountsChart& c = r_.counts;
    c.n = st.n_surveyed;
    c.heights.assign(st.surveyed_count.data(), st.surveyed_count.data() + kMaxWards);
    c.positions.assign(st.surveyed_pred.data(), st.surveyed_pred.data() + kMaxWards);
    c.title = "predicted";
    c.origin_at_zero = in_.origin_at_zero;
}

void Click::covariance() {
    const int n = f_.n_free;
    std::array<double, 7 * 6> info{};
    auto at = [&](int i, int j) -> double& { return info[static_cast<std::size_t>((i - 1) + 7 * (j - 1))]; };
    const int32_t before = s().model_ints(1000);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            const int a = f_.free_pos(i), b = f_.free_pos(j);
            const double hi = difference_step(f_.par_value(a)), hj = difference_step(f_.par_value(b));
            // moves made in place, so on the diagonal they add up to steps of 2h
            f_.par_value(a) += hi;
            f_.par_value(b) += hj;
            const double pp = evaluate_log_likelihood();
            f_.par_value(a) -= 2 * hi;
            f_.par_value(b) -= 2 * hj;
            const double mm = evaluate_log_likelihood();
            f_.par_value(b) += 2 * hj;
            const double mp = evaluate_log_likelihood();
            f_.par_value(a) += 2 * hi;
            f_.par_value(b) -= 2 * hj;
            const double pm = evaluate_log_likelihood();
            f_.par_value(a) -= hi;
            f_.par_value(b) += hj;
            at(i, j) = -(mm + pp - mp - pm) / (4 * hi * hj);
        }
    r_.evaluations.covariance = static_cast<long>(s().model_ints(1000)) - before;

    const int32_t code = spd_inverse(n, info.data(), 7);
    for (auto& row : r_.cov) row.fill(0.0);
    r_.covariance_ok = code == 0;
    if (!r_.covariance_ok) {
        limits_problem_ = "the information matrix is not positive definite (the fit may lie on a bound, or the "
                          "likelihood is flat in some parameter)";
        return;
    }
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= i; ++j) {
            const double c = at(i + 1, j);
            r_.cov[f_.free_pos(i) - 1][f_.free_pos(j) - 1] = c;
            r_.cov[f_.free_pos(j) - 1][f_.free_pos(i) - 1] = c;
        }
}

void Click::linear_predictor_variances() {
    auto& st = s();
    const int p = np();
    for (int w = 1; w <= st.n_unsurveyed; ++w) {
        lp_var_[w] = 0.0;
        st.unsurveyed_x(0, w) = 1.0f;
        for (int a = 0; a <= p; ++a)
            for (int b = 0; b <= p; ++b)
                lp_var_[w] += static_cast<double>(st.unsurveyed_x(a, w)) * r_.cov[a][b] * st.unsurveyed_x(b, w);
    }
    st.unsurveyed_x_sum(0) = static_cast<float>(st.n_unsurveyed);
    pop_lp_var_ = 0.0;
    for (int a = 0; a <= p; ++a)
        for (int b = 0; b <= p; ++b)
            pop_lp_var_ += static_cast<double>(st.unsurveyed_x_sum(a)) * r_.cov[a][b] * st.unsurveyed_x_sum(b);
}

void Click::write_predictions_file() {
    auto& st = s();
    const auto path = std::filesystem::path(in_.output_dir) / "ward_predictions.txt";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        file_problem(path.string(), std::strerror(errno));
        return;
    }
    const double t = st.t_crit(r_.df);
    for (int w = 1; w <= st.n_unsurveyed; ++w) {
        // limits that cannot be computed are left empty
        const double variance = r_.covariance_ok ? count_var_[w] + lp_var_[w] : std::nan("");
        out << ward_prediction_line(st.unsurveyed_name(w), st.unsurveyed_pred(w), variance, t, in_.fmt) << "\r\n";
    }
    out.close();
    if (!out) file_problem(path.string(), std::strerror(errno));
}

void Click::estimate_sentence() {
    auto& st = s();
    if (!in_.ward.empty()) {
        bool found = false;
        for (int w = 1; w <= st.n_unsurveyed && !found; ++w)
            if (st.unsurveyed_name(w) == in_.ward) {
                st.pop_est = st.unsurveyed_pred(w);
                pop_lp_var_ = lp_var_[w];
                count_var_sum_ = count_var_[w];
                found = true;
            }
        if (found)
            ward_named_ = true;
        else
            r_.notices.push_back({"Ward", "specified unsurveyed ward not found in data file",
                                  "No unsurveyed ward is named \"" + in_.ward +
                                      "\" (letter case counts); the estimate shown is for all unsurveyed wards."});
    }
    const double variance = pop_lp_var_ + count_var_sum_;
    if (limits_problem_.empty() && !(variance >= 0.0 && std::isfinite(variance)))
        limits_problem_ = "the variance of the estimate is negative (a negative linear predictor, or an unusable "
                          "covariance matrix)";
    r_.limits_ok = limits_problem_.empty();
    std::string sentence = "estimated number of roaming dogs = " + format_number(st.pop_est, "##,###", in_.fmt);
    if (r_.limits_ok) {
        const double sd = std::sqrt(variance);
        r_.pop_lower = st.pop_est - st.t_crit(r_.df) * sd;
        r_.pop_upper = st.pop_est + (st.pop_est - r_.pop_lower);
        sentence += " (" + format_number(r_.pop_lower, "0", in_.fmt) + "," + format_number(r_.pop_upper, "0", in_.fmt) +
                    ") ";
    } else {
        r_.pop_lower = r_.pop_upper = std::nan("");
        sentence += " (limits could not be computed: " + limits_problem_ + ") ";
        r_.label8_colour = kRed;
    }
    if (!ward_named_) sentence += "plus " + format_number(r_.counted_total, "0", in_.fmt) + " counted";
    r_.label8 = sentence;
    r_.pop_est = st.pop_est;
}

void Click::simulation_summary() {
    auto& st = s();
    // without limits the true total cannot be shown inside them: it counts as outside
    const bool outside = !r_.limits_ok || outside_limits(r_.pop_lower, r_.pop_upper, st.sim_total);
    if (outside) st.n_outside_cl = add16(st.n_outside_cl, 1, "number of simulations outside the limits");
    r_.lbl_tot_sim_dog =
        simulation_summary_text(st.sim_total, st.sim_total_sum, st.est_total_sum, st.n_outside_cl, st.n_sims, in_.fmt);
}

namespace {

struct ProfilePoint {
    double log_likelihood = 0.0;
    double total = 0.0;
    long evaluations = 0;
};

}  // namespace

void Click::profile() {
    auto& st = s();
    f_.n_free = 0;
    for (int j = 1; j <= std::min(4, np()); ++j)
        if (in_.beta_checked[j]) f_.free_pos(++f_.n_free) = j + 1;
    f_.free_pos(++f_.n_free) = np() + 2;
    st.model_ints(1) = f_.n_free;
    for (int i = 1; i <= f_.n_free; ++i) st.model_ints(1 + i) = f_.free_pos(i);
    repack_model_reals();  // every parameter at its estimate or its fixed value

    // The 21 fits are independent and the library keeps no state: each works on its own
    // copy of the model data, two at a time, and the state ends as after the last one.
    std::array<ProfilePoint, kProfilePoints> points;
    auto fit_point = [&](int index) {
        const int k = index - 10;
        ProfilePoint& pt = points[static_cast<std::size_t>(index)];
        auto ints = st.model_ints;
        auto reals = st.model_reals;
        FitLocals local;
        pt.total = profile_total(range_percent_, k, st.pop_est);
        reals(st.n_model_reals) = pt.total;
        for (int i = 1; i <= f_.n_free; ++i) {
            const int p = f_.free_pos(i);
            local.opt_x(i) = f_.par_scale(p) * f_.par_value(p);
            local.opt_lower(i) = f_.par_scale(p) * f_.par_lower(p);
            local.opt_upper(i) = f_.par_upper(p) * f_.par_scale(p);
        }
        ints(1000) = 0;
        int32_t n = f_.n_free, bounds_mode = 0, liw = 20, lw = 500;
        local.fail_code = 1;
        local.objective = std::nan("");
        services_.fit(&n, &bounds_mode, local.opt_lower.data(), local.opt_upper.data(), local.opt_x.data(),
                      &local.objective, local.iw.data(), &liw, local.w.data(), &lw, ints.data(), reals.data(),
                      &local.fail_code);
        pt.log_likelihood = -local.objective;
        pt.evaluations = ints(1000);
    };
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next++; i < kProfilePoints; i = next++) fit_point(i);
    };
    std::thread helper;
    try {
        helper = std::thread(work);
    } catch (const std::system_error&) {
        // no second thread to be had: the loop below does every point
    }
    int reported = 0;
    for (int i = next++; i < kProfilePoints; i = next++) {
        fit_point(i);
        if (services_.progress) services_.progress(++reported * 2 > kProfilePoints ? kProfilePoints : reported * 2,
                                                   kProfilePoints);
    }
    if (helper.joinable()) helper.join();
    if (services_.progress) services_.progress(kProfilePoints, kProfilePoints);

    LikelihoodChart chart;
    for (const ProfilePoint& pt : points) {
        r_.evaluations.profile += pt.evaluations;
        if (std::isfinite(pt.log_likelihood) && pt.log_likelihood > st.max_ll + 1e-6) r_.higher_profile_point = true;
        chart.log_likelihood.push_back(static_cast<float>(pt.log_likelihood));
        chart.total.push_back(static_cast<float>(std::round(pt.total)));  // as the pattern "0" writes it
    }
    st.model_reals(st.n_model_reals) = points.back().total;
    st.model_ints(1000) = static_cast<int32_t>(points.back().evaluations);
    chart.sim_total = st.sim_total;
    chart.lower = r_.pop_lower;
    chart.upper = r_.pop_upper;
    chart.simulated = in_.data_path.empty();
    r_.likelihood = std::move(chart);
    if (r_.higher_profile_point)
        r_.label7 += "; the profile found a higher likelihood than the fit, so the fit did not reach the maximum";
}

ClickResult Click::run() {
    new_simulation_ = simulation_mode(in_.data_path, in_.just_estimate ? 1 : 0);
    if (new_simulation_) {
        std::unique_ptr<UniformSource> own;
        UniformSource* u = services_.random;
        if (!u) {
            own = std::make_unique<MersenneUniform>();
            u = own.get();
        }
        if (services_.reseed_from_clock || !services_.random) u->reseed(clock_seed());
        r_.key_names = simulate_data(in_, s(), r_.beta_text, *u).key_names;
        r_.simulated = true;
    }
    check_inputs();
    if (!services_.fit) throw UserError("The model library is not bound.", "Model library");
    set_up_and_fit();
    r_.n_free = f_.n_free;
    for (int i = 1; i <= 11; ++i) r_.free_pos[static_cast<std::size_t>(i - 1)] = f_.free_pos(i);

    report_estimates();                          // 1, 2
    predict_unsurveyed();                        // 3
    if (new_simulation_) s().est_total_sum += s().pop_est;  // 4
    count_variances();                           // 5, 6
    likelihood_line();                           // 7
    predict_surveyed();                          // 8
    covariance();                                // 9
    linear_predictor_variances();                // 10
    write_predictions_file();                    // 11
    estimate_sentence();                         // 12
    if (new_simulation_) simulation_summary();   // 13
    // 14: no profile for a named ward, nor without unsurveyed wards to hold a total
    if (in_.ward.empty() && s().n_unsurveyed > 0) profile();
    r_.show_ward_controls = !in_.data_path.empty();  // 15

    for (int k = 1; k <= np() + 2; ++k) r_.par_value[static_cast<std::size_t>(k - 1)] = f_.par_value(k);
    return std::move(r_);
}

}  // namespace

double box_number(const ClickInput& in, const std::array<std::string, 6>& boxes, int i, const char* title) {
    const auto v = parse_number(boxes[i], in.fmt);
    if (!v)
        throw UserError("The value of " + in.beta_label[i] + " is \"" + boxes[i] +
                            "\", which is not a number. Enter a number and click again.",
                        title);
    return *v;
}

ClickResult run_estimating_click(const ClickInput& in, const EstimationState& state, const ClickServices& services) {
    return Click(in, state, services).run();
}

}  // namespace valdmora
