// SPDX-License-Identifier: GPL-3.0-or-later
// The table of models and the residual diagnostics against values derived outside the
// program (tests/reference: R's lm, glmmTMB and dlnorm), and the residuals' behaviour on
// data drawn from the model itself.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

#include "cycle/count_file.h"
#include "estimation/click.h"
#include "estimation/dispersion_checks.h"
#include "estimation/model_average.h"
#include "estimation/model_table.h"
#include "estimation/setup.h"
#include "estimation/residuals.h"
#include "testkit/survey.h"
#include "testkit/reference_values.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};

std::map<std::string, double> reference_values(const std::string& file) {
    return valdmora::testing::reference_values(std::string(VALDMORA_REFERENCE_DIR) + "/" + file);
}

struct ReferenceRow {
    std::string dist, predictors;
    double log_lik, aic, aicc, delta_aicc, weight, pop_est, pop_lower, pop_upper;
};

std::vector<ReferenceRow> reference_rows() {
    std::ifstream in(std::string(VALDMORA_REFERENCE_DIR) + "/compare40_models.csv");
    std::string line;
    std::getline(in, line);
    std::vector<ReferenceRow> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string item; std::getline(ss, item, ',');) f.push_back(item);
        if (line.back() == ',') f.emplace_back();
        rows.push_back({f[0], f[1], std::stod(f[4]), std::stod(f[5]), std::stod(f[6]), std::stod(f[7]), std::stod(f[8]),
                        std::stod(f[9]), std::stod(f[10]), std::stod(f[11])});
    }
    // the totals and limits at full precision with the exact covariance, row for row
    std::ifstream exact(std::string(VALDMORA_REFERENCE_DIR) + "/compare40_exact.csv");
    std::getline(exact, line);
    for (ReferenceRow& r : rows) {
        std::getline(exact, line);
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string item; std::getline(ss, item, ',');) f.push_back(item);
        r.pop_est = std::stod(f[8]);
        r.pop_lower = std::stod(f[9]);
        r.pop_upper = std::stod(f[10]);
    }
    return rows;
}

EstimationState load(const std::string& file, std::vector<std::string>* names = nullptr) {
    EstimationState s;
    form_load(s);
    const CountData d = read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/" + file);
    store_count_data(s, d);
    if (names) *names = d.predictor_names;
    return s;
}

// the reference files' names, written out here rather than read from the program's table
const char* dist_name(Dist dist) {
    switch (dist) {
        case Dist::lognormal: return "lognormal";
        case Dist::normal: return "normal";
        case Dist::negbin: return "negbin";
    }
    return "?";
}

}  // namespace

TEST(ModelTable, EveryRowAgreesWithAnIndependentFit) {
    std::vector<std::string> names;
    const EstimationState s = load("compare40.txt", &names);
    ClickServices services;
    services.library = kLibrary;
    const ModelTable t = compare_models(s, names, services, {});
    const std::vector<ReferenceRow> ref = reference_rows();
    ASSERT_EQ(t.rows.size(), ref.size());
    for (std::size_t i = 0; i < ref.size(); ++i) {
        const ModelRow& row = t.rows[i];
        SCOPED_TRACE(ref[i].dist + " " + ref[i].predictors);
        // the same order, by AICc
        EXPECT_EQ(dist_name(row.dist), ref[i].dist);
        EXPECT_EQ(row.predictor_names, ref[i].predictors);
        ASSERT_TRUE(row.available) << row.reason;
        EXPECT_TRUE(row.reason.empty()) << row.reason;
        EXPECT_EQ(row.n, 40);
        EXPECT_NEAR(row.log_lik, ref[i].log_lik, 1e-6 * std::fabs(ref[i].log_lik));
        EXPECT_NEAR(row.aic, ref[i].aic, 1e-6 * ref[i].aic);
        EXPECT_NEAR(row.aicc, ref[i].aicc, 1e-6 * ref[i].aicc);
        EXPECT_NEAR(row.delta_aicc, ref[i].delta_aicc, 1e-5);
        EXPECT_NEAR(row.weight, ref[i].weight, 1e-6);
        EXPECT_NEAR(row.pop_est, ref[i].pop_est, 1e-6 * ref[i].pop_est);
        EXPECT_NEAR(row.pop_lower, ref[i].pop_lower, 1e-6 * ref[i].pop_lower);
        EXPECT_NEAR(row.pop_upper, ref[i].pop_upper, 1e-6 * ref[i].pop_upper);
    }
    EXPECT_NE(t.note.find("only approximate"), std::string::npos);
    // averaged by the Akaike weights, with Burnham and Anderson's unconditional error
    const auto extra = reference_values("compare40_extra.txt");
    const ModelAverage a = model_average(t);
    ASSERT_TRUE(a.available) << a.reason;
    EXPECT_EQ(a.models, 24);
    EXPECT_NEAR(a.total, extra.at("avg.total"), 1e-6 * a.total);
    EXPECT_NEAR(a.se, extra.at("avg.se"), 1e-5 * a.se);
    EXPECT_NE(a.sentence.find("averaged over 24 models by their AICc weights: 947 dogs"), std::string::npos) << a.sentence;
}

TEST(DispersionChecks, PoissonLimitTestAgreesWithAnIndependentFit) {
    const auto extra = reference_values("compare40_extra.txt");
    EstimationState s = load("compare40.txt");
    s.err_dist = Dist::negbin;
    for (const char* which : {"full", "const"}) {
        SCOPED_TRACE(which);
        const bool full = std::string(which) == "full";
        const std::array<bool, 5> ticks{true, full, full, full, false};
        const FitSetup setup = set_up_fit(s, {10, 0, 0, 0, 0, 1}, ticks);
        const FitCall call(kLibrary, setup.data);
        const FitOutcome f = call.fit(setup.params, setup.free);
        ASSERT_TRUE(f.accepted());
        Parameters fitted = setup.params;
        fitted.value = f.value;
        const PoissonLimitTest t = poisson_limit_test(call, fitted, setup.free);
        ASSERT_TRUE(t.available) << t.reason;
        const std::string k = std::string("od.") + which + ".";
        EXPECT_NEAR(t.poisson_log_lik, extra.at(k + "poisson_ll"), 1e-6);
        EXPECT_NEAR(t.negbin_log_lik, extra.at(k + "negbin_ll"), 1e-6);
        EXPECT_NEAR(t.statistic, extra.at(k + "lr"), 2e-6);
        EXPECT_NEAR(t.p_value, extra.at(k + "p"), 1e-6 * extra.at(k + "p") + 1e-12);
        if (full) {
            EXPECT_NEAR(t.poisson_value[1], extra.at("od.full.poisson.beta1"), 1e-6);
            // p = 0.040: just below 5 %, so the sentence says the extra variance is needed
            EXPECT_EQ(t.sentence.rfind("The counts vary more than Poisson counts would", 0), 0u) << t.sentence;
        }
    }
}

TEST(DispersionChecks, TheSimulatedTestAcceptsTheModelsOwnDataAndFlagsTooMuchSpread) {
    // drawn from the negative binomial, fitted with it: its own spread
    EstimationState s = valdmora::testing::simulated_survey(200, 20, 3, Dist::negbin, 15.0, {0.02, 0.01, 0.005}, 1.0, 8);
    const std::vector<double> truth{15.0, 0.02, 0.01, 0.005, 1.0};
    const SimulatedDispersion own = simulated_dispersion_test(s, truth, 5, 400, 1);
    ASSERT_TRUE(own.available) << own.reason;
    EXPECT_GT(own.p_value, 0.01);
    EXPECT_EQ(own.sentence.rfind("The counts spread as the fitted model says they should", 0), 0u) << own.sentence;
    // each data set from its own stream of the seed: one thread or two, the same result
    const SimulatedDispersion one_thread = simulated_dispersion_test(s, truth, 5, 400, 1, false);
    EXPECT_EQ(one_thread.share_above, own.share_above);
    EXPECT_EQ(one_thread.p_value, own.p_value);
    // the same counts read as Poisson-like (VoM - 1 of 0.05): far too much spread
    std::vector<double> narrow = truth;
    narrow[4] = 0.05;
    const SimulatedDispersion wide = simulated_dispersion_test(s, narrow, 5, 400, 1);
    EXPECT_LT(wide.p_value, 0.01);
    EXPECT_NE(wide.sentence.find("spread more than the fitted model allows"), std::string::npos) << wide.sentence;
}

TEST(DispersionChecks, DrawsThatCannotBeCountsEndTheSimulatedTestWithTheReason) {
    const EstimationState s = valdmora::testing::simulated_survey(200, 20, 3, Dist::negbin, 15.0, {0.02, 0.01, 0.005}, 1.0, 8);
    const SimulatedDispersion spread = simulated_dispersion_test(s, {15.0, 0.02, 0.01, 0.005, 1e300}, 5, 400, 1);
    EXPECT_FALSE(spread.available);
    EXPECT_NE(spread.reason.find("the fitted model cannot be drawn from: a ward of mean"), std::string::npos)
        << spread.reason;
    // means of 2e9 within the limit, whose draws pass it
    const SimulatedDispersion far = simulated_dispersion_test(s, {2e9, 0.0, 0.0, 0.0, 1e9}, 5, 400, 1);
    EXPECT_FALSE(far.available);
    EXPECT_NE(far.reason.find("held a count the model library cannot take"), std::string::npos) << far.reason;
}

TEST(ModelTable, TheLognormalIsUnavailableWithACountBelowOne) {
    std::vector<std::string> names;
    EstimationState s = load("compare40.txt", &names);
    s.surveyed_count(3) = 0.0f;
    s.n_pred = 1;  // two subsets under each distribution
    ClickServices services;
    services.library = kLibrary;
    const ModelTable t = compare_models(s, names, services, {});
    ASSERT_EQ(t.rows.size(), 6u);
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const ModelRow& r = t.rows[i];
        EXPECT_EQ(r.available, r.dist != Dist::lognormal) << i;
        if (r.dist == Dist::lognormal) {
            EXPECT_NE(r.reason.find("below 1"), std::string::npos);
            EXPECT_GE(i, 4u);  // the unavailable rows come last
        }
    }
    EXPECT_NEAR(t.rows[0].weight + t.rows[1].weight + t.rows[2].weight + t.rows[3].weight, 1.0, 1e-12);
    EXPECT_EQ(complete_log_likelihood(Dist::negbin, -10.0, 40), -10.0);
    EXPECT_NEAR(complete_log_likelihood(Dist::normal, -10.0, 40), -10.0 - 20.0 * std::log(2.0 * 3.14159265358979323846), 1e-12);
}

// The residuals' formula at R's own estimates, and at the program's fit.
TEST(Residuals, PearsonResidualsAgreeWithAnIndependentFit) {
    const auto ref = reference_values("survey300_values.txt");
    for (const Distribution& table_row : kDistributions) {
        const Dist dist = table_row.dist;
        EstimationState s = load("survey300.txt");
        s.err_dist = dist;
        const std::string d = std::string(dist_name(dist)) + ".";
        const std::vector<double> at_r{ref.at(d + "b0"), ref.at(d + "beta1"), ref.at(d + "beta2"), ref.at(d + "beta3"),
                                       ref.at(d + "e")};
        const Residuals r = model_residuals(s, at_r, 5, 1);
        ASSERT_EQ(r.pearson.size(), 150u);
        for (std::size_t i = 0; i < 150; ++i)
            // the predictors are held in single precision (a share of 0.35 is 0.3499999940)
            EXPECT_NEAR(r.pearson[i], ref.at(d + "pearson." + std::to_string(i + 1)), 1e-6) << d << i;
        ClickInput in;
        in.data_file = true;
        in.request.dist = dist;
        in.request.free = {true, true, true, true, false};
        in.request.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10 : 1};
        ClickServices services;
        services.library = kLibrary;
        const ClickResult fit = run_estimating_click(in, s, services);
        const Residuals ours = model_residuals(fit.state(), fit.estimate.par_value, 5, 1);
        for (std::size_t i = 0; i < 150; i += 7)
            EXPECT_NEAR(ours.pearson[i], ref.at(d + "pearson." + std::to_string(i + 1)), 1e-6) << d << i;
        double sum2 = 0.0;
        for (double p : ours.pearson) sum2 += p * p;
        EXPECT_NEAR(ours.dispersion, sum2 / 145.0, 1e-12);
        // the JSON's dispersion and the file written row by row are the same numbers
        EXPECT_EQ(pearson_dispersion(fit.state(), fit.estimate.par_value, 5), ours.dispersion);
        const std::string path = (std::filesystem::temp_directory_path() / "valdmora_residuals_test.csv").string();
        ASSERT_EQ(write_residuals_csv(path, fit.state(), fit.estimate.par_value, 1), "");
        std::string text;
        {
            // closed before it is removed: Windows refuses to remove a file still open
            std::ifstream written(path, std::ios::binary);
            text.assign(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>());
        }
        EXPECT_EQ(text, residuals_csv(ours));
        std::filesystem::remove(path);
    }
    EXPECT_NE(write_residuals_csv("/nonexistent-folder/r.csv", load("survey300.txt"), {1, 0, 0, 0, 1}, 1), "");
}

// Counts drawn from the fitted model: the quantile residuals look standard normal (a
// Kolmogorov-Smirnov test at 1 %) and the dispersion is near 1.
TEST(Residuals, DataFromTheModelItselfPassTheChecks) {
    for (const Distribution& table_row : kDistributions) {
        const Dist dist = table_row.dist;
        const double e = dist == Dist::lognormal ? 0.3 : dist == Dist::normal ? 5.0 : 1.5;
        EstimationState s = valdmora::testing::simulated_survey(400, 10, 2, dist, 5.0, {0.02, 0.01}, e, 17);
        const std::vector<double> truth{5.0, 0.02, 0.01, e};
        const Residuals r = model_residuals(s, truth, 0, 99);
        std::vector<double> q = r.quantile;
        std::sort(q.begin(), q.end());
        double ks = 0.0;
        const double n = static_cast<double>(q.size());
        for (std::size_t i = 0; i < q.size(); ++i) {
            const double cdf = 0.5 * std::erfc(-q[i] / std::sqrt(2.0));
            ks = std::max({ks, std::fabs(cdf - static_cast<double>(i) / n), std::fabs(cdf - static_cast<double>(i + 1) / n)});
        }
        EXPECT_LT(ks, 1.63 / std::sqrt(n)) << dist_name(dist);
        EXPECT_NEAR(r.dispersion, 1.0, 0.25) << dist_name(dist);
        // seeded: the same seed, the same jitter
        EXPECT_EQ(model_residuals(s, truth, 0, 99).quantile, r.quantile);
    }
}

TEST(Residuals, ChartsKeepWardOrderForTheKeysColours) {
    Residuals r;
    r.fitted = {10, 20, 30};
    r.pearson = {0.5, -1.0, 2.0};
    r.quantile = {0.3, -1.2, 0.9};
    const ScatterChartData p = pearson_chart(r);
    EXPECT_EQ(p.x, (std::vector<float>{10, 20, 30}));
    EXPECT_EQ(p.reference, ScatterChartData::Reference::Zero);
    const ScatterChartData q = quantile_chart(r);
    // ward 2 has the smallest residual: the lowest normal quantile
    EXPECT_LT(q.x[1], q.x[0]);
    EXPECT_LT(q.x[0], q.x[2]);
    EXPECT_FLOAT_EQ(q.x[0], 0.0f);
    EXPECT_EQ(q.y, (std::vector<float>{0.3f, -1.2f, 0.9f}));
}

// On few wards the small-sample term outweighs a better fit: AIC and AICc rank the models
// differently, and the table follows AICc, its weights worked from AICc alone.
TEST(ModelTable, RanksByAiccWhereAicWouldRankOtherwise) {
    const std::string path = ::testing::TempDir() + "/few_wards.txt";
    std::ofstream(path) << "h,r\nA,120,30,9\nB,340,80,14\nC,560,20,17\nD,780,95,28\nE,900,10,27\nF,150,60,8\n"
                           "G,610,45,21\nH,420,70,15\nU1,500,50\nU2,300,40\n";
    EstimationState s;
    form_load(s);
    const CountData d = read_count_file(path);
    store_count_data(s, d);
    ClickServices services;
    services.library = kLibrary;
    const ModelTable t = compare_models(s, d.predictor_names, services, {});
    bool aic_disagrees = false;
    double total = 0.0;
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const ModelRow& r = t.rows[i];
        if (!r.available || std::isnan(r.aicc)) continue;
        const double gap = static_cast<double>(r.n - r.k - 1);
        EXPECT_NEAR(r.aicc, r.aic + 2.0 * r.k * (r.k + 1) / gap, 1e-9);
        EXPECT_NEAR(r.delta_aicc, r.aicc - t.rows[0].aicc, 1e-9);
        total += std::exp(-r.delta_aicc / 2.0);
        if (i > 0) {
            EXPECT_GE(r.aicc, t.rows[i - 1].aicc);
        }
        for (std::size_t j = i + 1; j < t.rows.size(); ++j)
            if (t.rows[j].available && !std::isnan(t.rows[j].aicc) && t.rows[j].aic < r.aic) aic_disagrees = true;
    }
    EXPECT_TRUE(aic_disagrees);
    for (const ModelRow& r : t.rows)
        if (r.available && !std::isnan(r.aicc)) {
            EXPECT_NEAR(r.weight, std::exp(-r.delta_aicc / 2.0) / total, 1e-12);
        }
}
