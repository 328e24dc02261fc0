// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <tuple>
#include <unsupported/Eigen/SpecialFunctions>

#include "cycle/count_file.h"
#include "estimation/click.h"
#include "estimation/model_draw.h"
#include "estimation/report.h"
#include "cycle/number_text.h"
#include "estimation/simulation.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const NumberFormat kPoint{'.', ','};

// Hands out 0.001, 0.002, ... in turn, so every draw can be traced.
class ScriptedUniform : public UniformSource {
public:
    float next() override { return static_cast<float>((++k_ % 1000) / 1000.0); }
    void reseed(uint64_t) override {}
    int drawn() const { return k_; }

private:
    int k_ = 0;
};

class SimulationTest : public ::testing::Test {
protected:
    void SetUp() override {
        form_load(s_);
        s_.n_pred = 4;  // as emptying the data path leaves it
        settings_.fmt = kPoint;
        // a click of a simulation series: the path empty, re-estimate clear
        in_.fmt = kPoint;
        in_.simulate = true;
        in_.data_file = false;
        in_.beta_label = {"the constant", "b1", "b2", "b3", "b4", "the extra parameter"};
        in_.request.free = {true, false, false, false, false};
        for (int i = 0; i <= 5; ++i) s_.beta_entered(i) = 0.0;
        s_.beta_entered(0) = 40.0;
        s_.beta_entered(5) = 0.25;
    }
    SimulationOutcome simulate() { return simulate_data(settings_, s_, u_); }

    EstimationState s_;
    SimulationSettings settings_;
    ClickInput in_;
    ScriptedUniform u_;
};

bool outside_limits_for_test(const ClickResult& r) {
    const Available<Limits>& wald = r.estimate.wald();
    return outside_limits(wald->lower, wald->upper, r.state().sim_total);
}

// Every kind's tally alike.
void expect_same_tallies(const EstimationState& a, const EstimationState& b) {
    for (const IntervalTraits& k : kIntervalKinds) {
        EXPECT_EQ(a.tally_of(k.kind).scored, b.tally_of(k.kind).scored) << k.name;
        EXPECT_EQ(a.tally_of(k.kind).outside, b.tally_of(k.kind).outside) << k.name;
    }
}

}  // namespace

TEST_F(SimulationTest, StudyAreaAndDrawOrderWithoutADataFile) {
    settings_.surveys = 2;
    s_.err_dist = Dist::normal;
    s_.beta_entered(5) = 0.0;  // normal with SD 0: every count is its mean
    s_.beta_entered(1) = 0.5;
    const SimulationOutcome out = simulate();
    EXPECT_EQ(s_.n_surveyed, 2);
    EXPECT_EQ(s_.n_unsurveyed, 48);
    // surveyed wards first, ward by ward and predictor by predictor, then unsurveyed ones
    EXPECT_FLOAT_EQ(s_.surveyed_x(1, 1), 1000.0f * 0.001f + 100.0f);
    EXPECT_FLOAT_EQ(s_.surveyed_x(2, 1), 1000.0f * 0.002f + 100.0f);
    EXPECT_FLOAT_EQ(s_.surveyed_x(1, 2), 1000.0f * 0.005f + 100.0f);
    EXPECT_FLOAT_EQ(s_.unsurveyed_x(1, 1), 1000.0f * 0.009f + 100.0f);
    // then ten draws per unsurveyed ward and ten per surveyed ward
    EXPECT_EQ(u_.drawn(), 8 + 192 + 10 * 50);
    EXPECT_FLOAT_EQ(s_.surveyed_count(1), 40.0f + 0.5f * s_.surveyed_x(1, 1));
    EXPECT_EQ(s_.surveyed_name(2), "Ward2");
    // (the boxes refilled from the entered values after a simulation: form_state_test)
    // the key names the new wards
    EXPECT_EQ(out.key_names, (std::vector<std::string>{"Ward1", "Ward2"}));
    EXPECT_EQ(s_.n_sims, 1);
    float total = 0.0f;
    for (int i = 1; i <= 48; ++i) {
        float m = 40.0f;
        m = static_cast<float>(m + 0.5 * s_.unsurveyed_x(1, i));
        total += m;
    }
    EXPECT_FLOAT_EQ(s_.sim_total, total);
    EXPECT_DOUBLE_EQ(s_.sim_total_sum, s_.sim_total);
}

TEST_F(SimulationTest, TwentySurveysGiveThirtyUnsurveyedWardsInRange) {
    MersenneUniform u(42);
    settings_.surveys = 20;
    simulate_data(settings_, s_, u);
    EXPECT_EQ(s_.n_surveyed, 20);
    EXPECT_EQ(s_.n_unsurveyed, 30);
    EXPECT_EQ(s_.surveyed_name(20), "Ward20");
    for (int i = 1; i <= 20; ++i)
        for (int j = 1; j <= 4; ++j) {
            EXPECT_GE(s_.surveyed_x(j, i), 100.0f);
            EXPECT_LT(s_.surveyed_x(j, i), 1100.0f);
        }
    for (int j = 1; j <= 4; ++j) {
        double sum = 0.0;
        for (int i = 1; i <= 30; ++i) sum += s_.unsurveyed_x(j, i);
        EXPECT_EQ(s_.unsurveyed_x_sum(j), sum);
    }
}

TEST_F(SimulationTest, ErrorRules) {
    // ten draws of 0.6: z = 10 x (0.6 - 0.5)
    class Constant : public UniformSource {
    public:
        float next() override { return 0.6f; }
        void reseed(uint64_t) override {}
    } c;
    const double z = 10 * (static_cast<double>(0.6f) - 0.5);
    EXPECT_FLOAT_EQ(simulated_count(50.0, 0.3, Dist::lognormal, c), static_cast<float>(50.0 * (1 + 0.3 * z / std::sqrt(5.0))));
    EXPECT_FLOAT_EQ(simulated_count(50.0, 6.0, Dist::normal, c), static_cast<float>(50.0 + 6.0 * z / std::sqrt(5.0)));
    // negative binomial: a mean of 0 or less makes no trial
    EXPECT_EQ(simulated_count(-3.0, 1.0, Dist::negbin, c), 0.0f);

    MersenneUniform u(7);
    double sum = 0, sum2 = 0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        const double y = simulated_count(10.0, 1.0, Dist::negbin, u);
        sum += y;
        sum2 += y * y;
    }
    const double mean = sum / n, var = sum2 / n - mean * mean;
    EXPECT_NEAR(mean, 10.0, 0.2);
    EXPECT_NEAR(var, 20.0, 1.0);
}

TEST_F(SimulationTest, CountsBelowOneBecomeOne) {
    s_.err_dist = Dist::normal;
    settings_.surveys = 5;
    s_.beta_entered(0) = 0.5;
    s_.beta_entered(5) = 0.0;
    simulate();
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(s_.surveyed_count(i), 1.0f);
    EXPECT_EQ(s_.sim_total, 45.0f);
}

TEST_F(SimulationTest, AfterAFileTheFilesWardsStay) {
    const auto path = std::filesystem::temp_directory_path() / ("valdmora_sim_" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << "a,b\nNorth,100,200,7\nSouth,300,400,9\nEast,1,2\n";
    store_count_data(s_, read_count_file(path.string()));
    std::filesystem::remove(path);
    s_.n_pred = 2;
    settings_.surveys = -5;  // not read after a file: the file's surveyed wards are simulated
    const SimulationOutcome out = simulate();
    // the key names the simulated wards, not the file's
    EXPECT_EQ(out.key_names, (std::vector<std::string>{"Ward1", "Ward2"}));
    EXPECT_EQ(s_.n_surveyed, 2);
    EXPECT_EQ(s_.n_unsurveyed, 1);
    EXPECT_EQ(s_.unsurveyed_name(1), "East");
    EXPECT_EQ(s_.surveyed_x(2, 2), 400.0f);
    EXPECT_EQ(s_.surveyed_name(1), "Ward1");
}

TEST_F(SimulationTest, UnusableInputsChangeNothing) {
    const EstimationState before = s_;
    auto refused = [&](const std::string& what) {
        EXPECT_THROW(simulate(), UserError) << what;
        EXPECT_EQ(s_.n_sims, before.n_sims) << what;
        EXPECT_EQ(s_.n_surveyed, before.n_surveyed) << what;
        EXPECT_EQ(u_.drawn(), 0) << what;  // checked before anything is drawn
    };
    // a number of surveys that is not a whole number of at least 1, as typed
    for (const char* bad : {"abc", "0", "0.4", "-3", "", "1e30"})
        EXPECT_THROW(surveys_from_text(bad, kPoint), UserError) << bad;
    // and as a number
    for (long bad : {0L, -3L, kMaxSimulatedSurveys + 1}) {
        settings_.surveys = bad;
        refused(std::to_string(bad) + " surveys");
    }
    settings_.surveys = 20;
    s_.err_dist = Dist::negbin;
    s_.beta_entered(5) = 0.0;
    refused("VoM - 1 of 0");
    s_.beta_entered(5) = 1.0;
    s_.n_sims = 32767;
    EXPECT_THROW(simulate(), UserError);
    s_.n_sims = 0;
    // a number of surveys rounds to the nearest whole number, a half to the even one
    for (auto [text, n] : {std::pair{"20.4", 20}, std::pair{"2.5", 2}, std::pair{"3.5", 4}}) {
        settings_.surveys = surveys_from_text(text, kPoint);
        EXPECT_EQ(settings_.surveys, n) << text;
        simulate();
        EXPECT_EQ(s_.n_surveyed, n) << text;
    }
    // more surveys than the 50 wards: no unsurveyed ward, total 0, and the draw is not
    // counted in the series
    const int16_t sims = s_.n_sims;
    settings_.surveys = 150;
    s_.err_dist = Dist::normal;
    simulate();
    EXPECT_EQ(s_.n_surveyed, 150);
    EXPECT_EQ(s_.n_unsurveyed, 0);
    EXPECT_EQ(s_.sim_total, 0.0f);
    EXPECT_EQ(s_.n_sims, sims);
    EXPECT_EQ(s_.n_sims_left_out, 1);
}

// Values whose draws the generator cannot make or the model library cannot take are refused
// before the first draw, naming the values and the limit, with either generator.
TEST_F(SimulationTest, ValuesWhoseDrawsCannotBeCountsAreRefusedBeforeAnyDraw) {
    struct Case {
        int dist;
        double b0, b1, e;
        const char* message;
    };
    const std::vector<Case> cases{
        {3, 10, 1e300, 1, "a ward's mean of 1.1E+303 is beyond single precision"},
        {3, 10, 0, 1e300, "has a standard deviation of 3.162E+150, beyond the largest count the model library takes "
                          "(2147483520)"},
        {1, 1e308, 0, 1e308, "a ward's mean of 1E+308 is beyond single precision"},
        {1, 10, 0, 1e308, "has a standard deviation that is not a finite number"},
        {2, 5, 0, -1, "The extra parameter SD must be 0 or more to simulate (it is -1)"},
        {2, 3e9, 0, 1, "a ward's mean of 3E+09 is beyond the largest count"},
        // a negative coefficient, even at the predictor's lowest, 100
        {2, 0, -1e37, 1, "a ward's mean of -1E+39 is beyond single precision"},
    };
    for (Generator g : {Generator::classic, Generator::exact})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.message);
            in_.generator = g;
            s_.err_dist = static_cast<Dist>(c.dist);
            s_.beta_entered(0) = c.b0;
            s_.beta_entered(1) = c.b1;
            s_.beta_entered(5) = c.e;
            try {
                simulate();
                ADD_FAILURE() << "simulated";
            } catch (const UserError& e) {
                EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
                if (c.e >= 0) {
                    EXPECT_NE(std::string(e.what()).find("These values cannot be simulated from"), std::string::npos);
                }
            }
            EXPECT_EQ(u_.drawn(), 0);
            EXPECT_EQ(s_.n_sims, 0);
        }
    // a tiny VoM - 1 over a large mean: the exact draw's gamma shape is not a number
    in_.generator = Generator::exact;
    s_.err_dist = Dist::negbin;
    s_.beta_entered(0) = 1e9;
    s_.beta_entered(1) = 0;
    s_.beta_entered(5) = 1e-320;
    EXPECT_THROW(simulate(), UserError);
    EXPECT_EQ(u_.drawn(), 0);
}

// With a data file its own wards decide: the largest predictor value makes the mean too large.
TEST_F(SimulationTest, TheFilesWardsAreCheckedBeforeAnyDraw) {
    const auto path = std::filesystem::temp_directory_path() / ("valdmora_big_" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << "a\nNorth,100,7\nSouth,300,9\nEast,1e9,2\nWest,50\n";
    store_count_data(s_, read_count_file(path.string()));
    std::filesystem::remove(path);
    s_.beta_entered(0) = 10;
    s_.beta_entered(1) = 5;
    try {
        simulate();
        ADD_FAILURE() << "simulated";
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("constant and coefficients 10; 5; CV = 0.25): a ward's mean of 5E+09"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(u_.drawn(), 0);
    s_.beta_entered(1) = 1;
    simulate();
    EXPECT_EQ(s_.n_sims, 1);
}

// Means and spreads within the limits can still draw a count beyond them: the simulation
// stops there and is neither kept nor scored.
TEST_F(SimulationTest, ADrawBeyondTheLargestCountStopsUnscored) {
    for (Generator g : {Generator::classic, Generator::exact}) {
        in_.generator = g;
        s_.err_dist = Dist::normal;
        s_.beta_entered(0) = 2e9;
        s_.beta_entered(5) = 1e9;
        const EstimationState before = s_;
        try {
            simulate();
            ADD_FAILURE() << "simulated";
        } catch (const UserError& e) {
            EXPECT_NE(std::string(e.what()).find("drew a count of "), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("neither kept nor scored"), std::string::npos);
        }
        EXPECT_EQ(s_.n_sims, before.n_sims);
        EXPECT_EQ(s_.sim_total_sum, before.sim_total_sum);
    }
}

TEST_F(SimulationTest, SeriesOfClicksKeepsScoreAndReestimateChangesNothing) {
    ClickServices services;
    services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    MersenneUniform u(2026);
    services.random = &u;
    services.reseed_from_clock = false;
    in_.request.start = {40, 0, 0, 0, 0, 0.25};
    in_.surveys = 20;
    s_.beta_entered(1) = 0.02;
    int outside = 0;
    EstimateResult last;
    for (int k = 1; k <= 10; ++k) {
        const ClickResult r = run_estimating_click(in_, s_, services);
        ASSERT_TRUE(r.simulated);
        EXPECT_EQ(r.state().n_sims, k);
        EXPECT_TRUE(r.likelihood && r.likelihood->simulated);
        if (!r.estimate.wald().ok() || outside_limits_for_test(r)) ++outside;
        EXPECT_EQ(r.state().tally_of(IntervalKind::wald).outside, outside);
        EXPECT_EQ(r.state().tally_of(IntervalKind::wald).scored, k);
        ASSERT_TRUE(r.lbl_tot_sim_dog.has_value());
        EXPECT_NE(r.lbl_tot_sim_dog->find(" of " + std::to_string(k) + " simulations"), std::string::npos);
        s_ = r.state();
        last = r.estimate;
    }
    EXPECT_GT(s_.est_total_sum, 0.0);
    // re-estimate ticked: the data last drawn, from the boxes as the series left them (the
    // true values, each free one replaced by its estimate at four decimals)
    in_.simulate = false;
    for (int i = 0; i < 6; ++i) in_.request.start[static_cast<std::size_t>(i)] = s_.beta_entered(i);
    for (int32_t k : last.free_pos) {
        const auto box = static_cast<std::size_t>(k <= s_.n_pred + 1 ? k - 1 : 5);
        in_.request.start[box] = *parse_number(box_text(last.values[box], kPoint), kPoint);
    }
    const ClickResult again = run_estimating_click(in_, s_, services);
    EXPECT_FALSE(again.simulated);
    EXPECT_FALSE(again.lbl_tot_sim_dog.has_value());
    EXPECT_EQ(again.state().n_sims, 10);
    EXPECT_EQ(again.state().est_total_sum, s_.est_total_sum);
    expect_same_tallies(again.state(), s_);
}

TEST_F(SimulationTest, AClickWithoutUnsurveyedWardsSaysSoAndIsLeftOutOfTheScore) {
    ClickServices services;
    services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    MersenneUniform u(5);
    services.random = &u;
    services.reseed_from_clock = false;
    in_.request.start = {40, 0, 0, 0, 0, 0.25};
    in_.surveys = 20;
    ClickResult first = run_estimating_click(in_, s_, services);
    ASSERT_TRUE(first.likelihood.has_value());
    in_.surveys = 60;
    const ClickResult r = run_estimating_click(in_, first.state(), services);
    EXPECT_TRUE(r.estimate.no_unsurveyed_ward);
    EXPECT_EQ(r.label8.rfind("no unsurveyed ward to estimate; ", 0), 0u) << r.label8;
    EXPECT_FALSE(r.likelihood.has_value());
    EXPECT_TRUE(r.clear_likelihood);
    EXPECT_EQ(r.state().n_sims, 1);
    expect_same_tallies(r.state(), first.state());
    EXPECT_EQ(r.state().n_sims_left_out, 1);
    ASSERT_TRUE(r.lbl_tot_sim_dog.has_value());
    EXPECT_NE(r.lbl_tot_sim_dog->find(" of 1 simulations"), std::string::npos) << *r.lbl_tot_sim_dog;
    EXPECT_NE(r.interval_text.find("1 simulation had no unsurveyed ward"), std::string::npos) << r.interval_text;
}

// The exact generator draws from the model that is fitted: the mean and variance of many
// draws lie within their Monte Carlo error of m and the model's variance.
TEST(ExactGenerator, DrawsHaveTheModelsMeanAndVariance) {
    struct Case {
        Dist dist;
        double m, e, variance;
    };
    // negative binomial (1 + e) m, normal e^2, lognormal (e m)^2 (its hold at 1 is far away)
    for (const Case& c : {Case{Dist::negbin, 10.0, 3.0, 40.0}, Case{Dist::negbin, 20.0, 6.0, 140.0},
                          Case{Dist::negbin, 250.0, 0.5, 375.0}, Case{Dist::normal, 30.0, 5.0, 25.0},
                          Case{Dist::lognormal, 40.0, 0.3, 144.0}}) {
        SCOPED_TRACE(distribution(c.dist).key);
        std::mt19937_64 engine(99);
        const int n = 200000;
        double sum = 0.0, sum2 = 0.0;
        for (int i = 0; i < n; ++i) {
            const double y = exact_count(c.m, c.e, c.dist, engine);
            sum += y;
            sum2 += y * y;
        }
        const double mean = sum / n, var = sum2 / n - mean * mean;
        EXPECT_NEAR(mean, c.m, 4.0 * std::sqrt(c.variance / n));
        // the variance's own Monte Carlo error, about var sqrt(2 / n) and more for skewed draws
        EXPECT_NEAR(var, c.variance, 6.0 * c.variance * std::sqrt(2.0 / n));
        EXPECT_DOUBLE_EQ(exact_expected_count(c.m, c.e, c.dist), c.m);
    }
}

// The fast draws of the checks and the bootstrap against the distributions' own laws:
// splitmix64's published first outputs, ln k! against the C library's lgamma, Poisson
// frequencies against their probabilities (chi-square at 0.1 %), gamma
// draws against the regularized incomplete gamma (Kolmogorov-Smirnov at 1 %), and the
// model's draws' moments.
TEST(FastDraws, FollowTheirDistributions) {
    uint64_t state = 0;
    EXPECT_EQ(splitmix64(state), 0xE220A8397B1DCDAFu);
    EXPECT_EQ(splitmix64(state), 0x6E789E6AA1B965F4u);
    for (double k : {0.0, 1.0, 9.0, 10.0, 11.0, 30.0, 200.0, 1e6})
        EXPECT_NEAR(FastRandom::log_factorial(k), std::lgamma(k + 1.0), 1e-13 * (1.0 + std::lgamma(k + 1.0))) << k;
    FastRandom same(5, 3), other_stream(5, 4), other_seed(6, 3);
    const uint64_t first = same();
    EXPECT_EQ(first, FastRandom(5, 3)());
    EXPECT_NE(first, other_stream());
    EXPECT_NE(first, other_seed());

    // below 10 by inversion, above by transformed rejection
    for (double mean : {0.7, 3.0, 9.5, 35.0, 1000.0}) {
        SCOPED_TRACE(mean);
        FastRandom random(11, static_cast<uint64_t>(mean * 10));
        const int n = 200000;
        std::vector<double> seen(4096, 0.0);
        for (int i = 0; i < n; ++i) {
            const double k = random.poisson(mean);
            ASSERT_EQ(k, std::floor(k));
            ASSERT_GE(k, 0.0);
            if (k < 4096) seen[static_cast<std::size_t>(k)] += 1.0;
        }
        // bins of at least 20 expected draws, the tails pooled into the outermost bins
        double cumulative = 0.0, chi2 = 0.0, bin_seen = 0.0, bin_expected = 0.0;
        int bins = 0;
        for (int k = 0; k < 4096; ++k) {
            const double p = std::exp(-mean + k * std::log(mean) - std::lgamma(k + 1.0));
            cumulative += p;
            bin_seen += seen[static_cast<std::size_t>(k)];
            bin_expected += n * p;
            if (bin_expected >= 20.0 && n * (1.0 - cumulative) >= 20.0) {
                chi2 += (bin_seen - bin_expected) * (bin_seen - bin_expected) / bin_expected;
                ++bins;
                bin_seen = bin_expected = 0.0;
            }
        }
        double rest = 0.0;
        for (int k = 0; k < 4096; ++k) rest += seen[static_cast<std::size_t>(k)];
        bin_seen += n - rest;  // beyond the table
        bin_expected += n * (1.0 - cumulative);
        chi2 += (bin_seen - bin_expected) * (bin_seen - bin_expected) / bin_expected;
        const double df = bins;  // bins + 1 cells, one constraint
        // the 99.9 % point of chi-square by Wilson and Hilferty
        const double z = 3.09, h = 2.0 / (9.0 * df);
        EXPECT_LT(chi2, df * std::pow(1.0 - h + z * std::sqrt(h), 3.0)) << bins << " bins";
    }

    for (double shape : {0.3, 1.0, 2.5, 40.0}) {
        SCOPED_TRACE(shape);
        FastRandom random(12, static_cast<uint64_t>(shape * 10));
        std::vector<double> g(50000);
        for (double& v : g) v = random.gamma(shape);
        std::sort(g.begin(), g.end());
        double ks = 0.0;
        const double n = static_cast<double>(g.size());
        for (std::size_t i = 0; i < g.size(); ++i) {
            const double cdf = Eigen::numext::igamma(shape, g[i]);
            ks = std::max({ks, std::fabs(cdf - static_cast<double>(i) / n), std::fabs(cdf - static_cast<double>(i + 1) / n)});
        }
        EXPECT_LT(ks, 1.63 / std::sqrt(n));
    }

    // the model's draws: mean m and the model's variance, as exact_count's
    struct Case {
        Dist dist;
        double m, e, variance;
    };
    for (const Case& c : {Case{Dist::negbin, 10.0, 3.0, 40.0}, Case{Dist::negbin, 0.4, 2.0, 1.2},
                          Case{Dist::negbin, 250.0, 0.5, 375.0}, Case{Dist::normal, 30.0, 5.0, 25.0},
                          Case{Dist::lognormal, 40.0, 0.3, 144.0}}) {
        SCOPED_TRACE(static_cast<int>(c.dist));
        FastRandom random(99, 0);
        const ModelDraw draw(c.dist, c.e);
        const int n = 200000;
        double sum = 0.0, sum2 = 0.0;
        for (int i = 0; i < n; ++i) {
            const double y = draw(c.m, random);
            sum += y;
            sum2 += y * y;
        }
        const double mean = sum / n, var = sum2 / n - mean * mean;
        EXPECT_NEAR(mean, c.m, 4.0 * std::sqrt(c.variance / n));
        EXPECT_NEAR(var, c.variance, 6.0 * c.variance * std::sqrt(2.0 / n));
    }
}

// The dispersion check's tabled negative binomial against its probabilities from the
// gamma function (chi-square at 0.1 %), at a mode of 0, a middling and a large mean; and a
// distribution too wide to table is refused.
TEST(FastDraws, TabledNegativeBinomialFollowsItsDistribution) {
    struct Case {
        double m, e;
    };
    for (const Case& c : {Case{0.4, 3.0}, Case{30.0, 1.0}, Case{400.0, 0.2}}) {
        SCOPED_TRACE(c.m);
        NegbinTable table;
        ASSERT_TRUE(table.reset(c.m, c.e));
        FastRandom random(3, 0);
        const int n = 200000;
        std::vector<double> seen(4096, 0.0);
        for (int i = 0; i < n; ++i) {
            const double k = table.draw(random.uniform());
            ASSERT_GE(k, 0.0);
            ASSERT_LT(k, 4096.0);
            seen[static_cast<std::size_t>(k)] += 1.0;
        }
        const double r = c.m / c.e, p = 1.0 / (1.0 + c.e);
        double chi2 = 0.0, bin_seen = 0.0, bin_expected = 0.0, cumulative = 0.0;
        int bins = 0;
        for (int k = 0; k < 4096; ++k) {
            const double pk = std::exp(std::lgamma(k + r) - std::lgamma(r) - std::lgamma(k + 1.0) + r * std::log(p) +
                                       k * std::log(1.0 - p));
            cumulative += pk;
            bin_seen += seen[static_cast<std::size_t>(k)];
            bin_expected += n * pk;
            if (bin_expected >= 20.0 && n * (1.0 - cumulative) >= 20.0) {
                chi2 += (bin_seen - bin_expected) * (bin_seen - bin_expected) / bin_expected;
                ++bins;
                bin_seen = bin_expected = 0.0;
            }
        }
        bin_expected += n * (1.0 - cumulative);
        chi2 += (bin_seen - bin_expected) * (bin_seen - bin_expected) / bin_expected;
        const double df = bins, z = 3.09, h = 2.0 / (9.0 * df);
        EXPECT_LT(chi2, df * std::pow(1.0 - h + z * std::sqrt(h), 3.0)) << bins << " bins";
    }
    NegbinTable wide;
    EXPECT_FALSE(wide.reset(1e7, 5.0));
}

// A draw that is not a number stays one for the caller's check, never held at 1 or 0; a
// mixture mean beyond any count is not handed to the Poisson generator.
TEST(ExactGenerator, DrawsThatAreNotNumbersStayNotNumbers) {
    std::mt19937_64 engine(3);
    const double nan = std::nan("");
    for (const Distribution& d : kDistributions)
        EXPECT_TRUE(std::isnan(exact_count(nan, 1.0, d.dist, engine))) << d.key;
    EXPECT_FALSE(count_can_be_taken(exact_count(1e300, 1.0, Dist::negbin, engine)));
    EXPECT_FALSE(count_can_be_taken(exact_count(1.0, 1e300, Dist::lognormal, engine)));
    EXPECT_TRUE(count_can_be_taken(-kMaxCount));
    EXPECT_FALSE(count_can_be_taken(2147483648.0));
    EXPECT_FALSE(count_can_be_taken(-std::numeric_limits<double>::infinity()));
}

TEST(ExactGenerator, TheLognormalHoldAtOneIsInItsExpectedValue) {
    // mean 1.5 with CV 1: a good share of draws falls below 1 and is held there
    std::mt19937_64 engine(7);
    const int n = 400000;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += exact_count(1.5, 1.0, Dist::lognormal, engine);
    const double expected = exact_expected_count(1.5, 1.0, Dist::lognormal);
    EXPECT_GT(expected, 1.5 + 0.05);
    EXPECT_NEAR(sum / n, expected, 4.0 * 1.5 / std::sqrt(n));
}

// The classic generator's own expected values, which its confidence limits are scored
// against: m = 10, e = 3 gives ceil(10/3) = 4 successes and 4 x 3 = 12 failures on average.
TEST(ClassicGenerator, ExpectedValuesMatchItsDraws) {
    EXPECT_NEAR(classic_expected_count(10.0, 3.0, Dist::negbin), 12.0 + std::pow(0.25, 4), 1e-6);
    // the sum of ten uniforms: E[(t - z)+] is 0 far below, t far above, and its mirror rule
    EXPECT_EQ(ten_uniform_shortfall(-5.0), 0.0);
    EXPECT_NEAR(ten_uniform_shortfall(5.0), 5.0, 1e-12);
    EXPECT_NEAR(ten_uniform_shortfall(0.7) - ten_uniform_shortfall(-0.7), 0.7, 1e-12);
    // at the centre E|z| / 2, close to the normal's sd / sqrt(2 pi) for sd = sqrt(10/12)
    EXPECT_NEAR(ten_uniform_shortfall(0.0), std::sqrt(10.0 / 12.0) / std::sqrt(2.0 * std::numbers::pi), 0.01);
    for (const auto& [dist, m, e] : {std::tuple{Dist::negbin, 10.0, 3.0}, std::tuple{Dist::negbin, 20.0, 6.0},
                                     std::tuple{Dist::normal, 1.5, 4.0}, std::tuple{Dist::lognormal, 3.0, 2.5}}) {
        SCOPED_TRACE(distribution(dist).key);
        MersenneUniform u(17);
        const int n = 100000;
        double sum = 0.0, sum2 = 0.0;
        for (int i = 0; i < n; ++i) {
            const double y = std::max(1.0f, simulated_count(m, e, dist, u));
            sum += y;
            sum2 += y * y;
        }
        const double mean = sum / n, sd = std::sqrt(sum2 / n - mean * mean);
        EXPECT_NEAR(mean, classic_expected_count(m, e, dist), 4.0 * sd / std::sqrt(n));
    }
}

// A seeded study of each interval with the exact generator: 40 surveyed and 10 unsurveyed
// wards, each interval scored against its own target, within a binomial band about 95 %.
TEST(ExactGenerator, ASeededStudyCoversEachTargetNearNinetyFivePerCent) {
    EstimationState s;
    form_load(s);
    s.n_pred = 4;
    for (int i = 0; i <= 5; ++i) s.beta_entered(i) = 0.0;
    s.beta_entered(0) = 30.0;
    s.beta_entered(1) = 0.02;
    s.beta_entered(5) = 1.0;
    s.err_dist = Dist::negbin;
    ClickInput in;
    in.fmt = kPoint;
    in.simulate = true;
    in.request.dist = Dist::negbin;
    in.beta_label = {"the constant", "b1", "b2", "b3", "b4", "the extra parameter"};
    in.request.free = {true, true, false, false, false};
    in.request.start = {30, 0.02, 0, 0, 0, 1};
    in.surveys = 40;
    in.generator = Generator::exact;
    ClickServices services;
    services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    MersenneUniform u(2027);
    services.random = &u;
    services.reseed_from_clock = false;
    const int reps = 300;
    for (int k = 0; k < reps; ++k) {
        const ClickResult r = run_estimating_click(in, s, services);
        s = r.state();
    }
    ASSERT_EQ(s.n_sims, reps);
    ASSERT_EQ(s.tally_of(IntervalKind::wald).scored, reps);
    ASSERT_EQ(s.tally_of(IntervalKind::delta).scored, reps);
    ASSERT_EQ(s.tally_of(IntervalKind::profile).scored, reps);
    // four binomial standard deviations either side of 5 % misses
    const double band = 4.0 * std::sqrt(0.05 * 0.95 * reps);
    for (IntervalKind kind : {IntervalKind::wald, IntervalKind::delta, IntervalKind::profile}) {
        const int outside = s.tally_of(kind).outside;
        EXPECT_LT(std::abs(outside - 0.05 * reps), band) << interval_traits(kind).name << " " << outside;
    }
}
