// SPDX-License-Identifier: GPL-3.0-or-later
// The estimating click as a whole and its stages on their own: the packed data and the
// user file, the numbers of every report stage worked by hand on a model whose likelihood
// is known exactly, refused clicks, and the shipped example end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>

#include "testkit/scratch_dir.h"
#include "cycle/count_file.h"
#include "cycle/number_format.h"
#include "cycle/number_text.h"
#include "estimation/click.h"
#include "estimation/covariance.h"
#include "estimation/predictions.h"
#include "estimation/report.h"
#include "estimation/setup.h"
#include "estimation/spd_inverse.h"
#include "testkit/intervals.h"
#include "valdmora/modellib.h"

using namespace valdmora;
using valdmora::testing::interval_of;
using valdmora::testing::limits_of;
namespace fs = std::filesystem;

namespace {

const NumberFormat kPoint{'.', ','};
const ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};

// A stand-in for the model library whose log likelihood is exactly quadratic about the
// targets: -sum (value - target)^2 / (2 sd^2). Its fit lands on the targets, so every
// later stage has numbers that can be worked out by hand.
struct QuadraticModel {
    static inline std::vector<double> target, sd;
    static int32_t fit(const valdmora_model* m, int32_t n, const int32_t* free_pos, const double*, const double*,
                       double* x, double* f, int64_t* evaluations) {
        for (int32_t i = 0; i < n; ++i) x[i] = target[static_cast<std::size_t>(free_pos[i] - 1)];
        std::vector<double> v(m->value, m->value + m->np + 2);
        for (int32_t i = 0; i < n; ++i) v[static_cast<std::size_t>(free_pos[i] - 1)] = x[i];
        valdmora_model at = *m;
        at.value = v.data();
        *f = objective(&at, 0, nullptr, nullptr);
        if (evaluations) *evaluations = 1;
        return 0;
    }
    static double objective(const valdmora_model* m, int32_t, const int32_t*, const double*) {
        double f = 0.0;
        for (std::size_t k = 0; k < target.size(); ++k) {
            const double d = m->value[k] - target[k];
            f += d * d / (2.0 * sd[k] * sd[k]);
        }
        return f;
    }
    // its curvature: 1 / sd^2 on the diagonal
    static int32_t hessian(const valdmora_model*, int32_t n, const int32_t* free_pos, const double*, double*, double*,
                           double* h) {
        for (int32_t u = 0; u < n; ++u)
            for (int32_t v = 0; v < n; ++v) {
                const double s = sd[static_cast<std::size_t>(free_pos[u] - 1)];
                h[u + n * v] = u == v ? 1.0 / (s * s) : 0.0;
            }
        return 0;
    }
};

// A flat likelihood: its information matrix is zero, not positive definite.
int32_t flat_fit(const valdmora_model*, int32_t n, const int32_t*, const double*, const double*, double* x, double* f,
                 int64_t*) {
    for (int32_t i = 0; i < n; ++i) x[i] = 0.00003;
    *f = 10.0;
    return 0;
}
double flat_objective(const valdmora_model*, int32_t, const int32_t*, const double*) { return 10.0; }
int32_t flat_hessian(const valdmora_model*, int32_t n, const int32_t*, const double*, double*, double*, double* h) {
    for (int32_t k = 0; k < n * n; ++k) h[k] = 0.0;
    return 0;
}

class ClickTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_click");
        form_load(state_);
        in_.fmt = kPoint;
        in_.data_file = true;
        in_.request.start = {10, 0, 0, 0, 0, 0.25};
        in_.beta_label = {"the constant", "b1", "b2", "b3", "b4", "the extra parameter"};
        in_.request.free = {true, false, false, false, false};
        services_.library = kLibrary;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void load(const std::string& content) {
        const auto path = dir_ / "counts.txt";
        std::ofstream(path, std::ios::binary) << content;
        store_count_data(state_, read_count_file(path.string()));
    }
    void load_example() {
        std::ifstream f(VALDMORA_EXAMPLE_DATA);
        std::stringstream ss;
        ss << f.rdbuf();
        load(ss.str());
    }
    void choose(Dist dist) {
        state_.err_dist = dist;
        in_.request.dist = dist;
    }
    // The start values as a second click takes them from the boxes: each estimate as its box
    // shows it, at four decimals.
    void start_from_boxes(const EstimateResult& e) {
        for (int32_t k : e.free_pos) {
            const auto box = static_cast<std::size_t>(k <= e.state.n_pred + 1 ? k - 1 : 5);
            in_.request.start[box] = *parse_number(box_text(e.values[box], kPoint), kPoint);
        }
    }
    ClickResult click() { return run_estimating_click(in_, state_, services_); }
    static std::string file(const ClickResult& r, const std::string& name) {
        for (const OutputFile& f : r.files)
            if (f.name == name) return f.content;
        return "(no " + name + ")";
    }

    // Every text the click shows or writes holds finite numbers only.
    static void expect_no_nonfinite(const std::string& text) {
        static const std::regex bad("(^|[^a-z])(nan|inf)([^a-z]|$)", std::regex::icase);
        EXPECT_FALSE(std::regex_search(text, bad)) << text;
    }

    fs::path dir_;
    EstimationState state_;
    ClickInput in_;
    ClickServices services_;
};

std::string twenty_wards_four_predictors() {
    std::string s = "a,b,c,d\n";
    for (int i = 1; i <= 20; ++i)
        s += "S" + std::to_string(i) + "," + std::to_string(100 + 37 * i % 900) + "," + std::to_string(200 + 53 * i % 800) +
             "," + std::to_string(300 + 71 * i % 700) + "," + std::to_string(150 + 29 * i % 850) + "," +
             (i == 1 ? "2.5" : i == 2 ? "3.5" : std::to_string(20 + i)) + "\n";
    for (int i = 1; i <= 5; ++i) s += "U" + std::to_string(i) + ",500,500,500,500\n";
    return s;
}

// 25 surveyed wards on one predictor and two unsurveyed ones at 10 and 20.
std::string hand_worked_data() {
    std::string s = "x\n";
    for (int i = 1; i <= 25; ++i) s += "S" + std::to_string(i) + "," + std::to_string(i) + "," + std::to_string(10 + i % 7) + "\n";
    return s + "U1,10\nU2,20\n";
}

}  // namespace

TEST_F(ClickTest, PackedModelDataInTheUserFile) {
    load(twenty_wards_four_predictors());
    in_.request.start = {10, 0, 0, 0, 0, 1};
    choose(Dist::normal);
    const ClickResult r = click();
    // the count, the entries, the count, the reals, one a line in list form
    std::vector<std::string> lines;
    std::istringstream in(file(r, "user.txt"));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 1u + 118 + 1 + 25);
    EXPECT_EQ(lines[0], " 118 \r");
    EXPECT_EQ(lines[1], " 2 \r");    // two free parameters
    EXPECT_EQ(lines[2], " 1 \r");    // the constant
    EXPECT_EQ(lines[3], " 6 \r");    // and the extra parameter
    EXPECT_EQ(lines[11], " 4 \r");   // np
    EXPECT_EQ(lines[12], " 5 \r");   // unsurveyed wards
    EXPECT_EQ(lines[13], " 20 \r");  // records
    EXPECT_EQ(lines[14], " 2 \r");   // 2.5 and 3.5 pack to the even neighbours
    EXPECT_EQ(lines[19], " 4 \r");
    EXPECT_EQ(lines[114], " 2500 \r");  // the predictor sums
    EXPECT_EQ(lines[118], " 2 \r");     // the distribution code
    EXPECT_EQ(lines[119], " 25 \r");
    EXPECT_EQ(lines[120], " 10 \r");
    EXPECT_LT(std::stod(lines[122]), -1000.0);  // the intercept's bound, widened to these data
    EXPECT_EQ(lines[144], " 0 \r");  // no fixed total
}

// Bounds from the data's scale, worked by hand: counts up to 1800, a predictor of 2,000..12,000
// people (spread 10,000) and a constant one of 5.
TEST(Bounds, FollowTheDataScaleAndNeverNarrowBelowTheOldOnes) {
    ModelData d;
    d.np = 2;
    d.y = {1200, 1800, 1500};
    d.x = {2000, 12000, 7000, 5, 5, 5};
    const ParameterBounds b = parameter_bounds(d);
    ASSERT_EQ(b.lower.size(), 4u);
    // intercept: 10 x 1800 x (1 + 12000/10000 + 5/5) = 57,600
    EXPECT_DOUBLE_EQ(b.upper[0], 57600.0);
    EXPECT_DOUBLE_EQ(b.lower[0], -57600.0);
    // the population slope: 10 x 1800 / 10000 = 1.8, below the old bound, which holds
    EXPECT_DOUBLE_EQ(b.upper[1], 1000.0);
    // the constant predictor, by its size: 10 x 1800 / 5
    EXPECT_DOUBLE_EQ(b.upper[2], 3600.0);
    EXPECT_DOUBLE_EQ(b.lower[3], 0.01);
    EXPECT_DOUBLE_EQ(b.upper[3], 18000.0);
    // small counts keep the old bounds
    ModelData small;
    small.y = {3, 5};
    const ParameterBounds s = parameter_bounds(small);
    EXPECT_EQ(s.lower, (std::vector<double>{-1000.0, 0.01}));
    EXPECT_EQ(s.upper, (std::vector<double>{1000.0, 100.0}));
}

TEST_F(ClickTest, FreeListAndExtraParameterBox) {
    load("a,b\nS1,1,2,5\nS2,2,1,7\nS3,3,3,9\nS4,1,1,4\nS5,2,2,6\nU1,1,1\n");
    in_.request.free = {true, false, true, false, false};
    in_.request.start = {2, 0.5, 1, 77, 88, 3};
    choose(Dist::normal);
    const ClickResult r = click();
    const std::string user = file(r, "user.txt");
    EXPECT_EQ(user.substr(0, 31), " 31 \r\n 3 \r\n 1 \r\n 3 \r\n 4 \r\n 0 \r\n") << user.substr(0, 31);
    // the extra parameter's start came from box 5; boxes 3 and 4 are untouched
    EXPECT_NE(user.find("\r\n 17 \r\n 2 \r\n 1 \r\n-1000 \r\n 1000 \r\n 0.5 \r\n 1 \r\n-1000 \r\n 1000 \r\n 1 \r\n"
                        " 1 \r\n-1000 \r\n 1000 \r\n 3 \r\n 1 \r\n 0.01 \r\n 100 \r\n 0 \r\n"),
              std::string::npos);
    // fixed: keeps its value (the boxes' texts after a click are the form's: form_state_test)
    EXPECT_EQ(r.estimate.values[1], 0.5);
    EXPECT_EQ(r.estimate.free_pos, (std::vector<int32_t>{1, 3, 4}));
}

TEST_F(ClickTest, TheOldLayoutHoldsValuesBeyondItsWholeNumbersAtTheirEnds) {
    load("a\nS1,1,5\nS2,2,7\nS3,3,9\nU1,1e12\nU2,-3e9\n");
    choose(Dist::normal);
    const ClickResult r = click();
    const std::string user = file(r, "user.txt");
    // the two sums of the one predictor: 1e12 - 3e9 held at 2^31 - 1
    EXPECT_NE(user.find("\r\n 2147483647 \r\n 2 \r\n"), std::string::npos) << user.substr(0, 200);
}

TEST_F(ClickTest, BeyondNinetyNineWardsTheUserFileTakesTheSizeFreeLayout) {
    std::string data = "a,b\n";
    for (int i = 1; i <= 120; ++i)
        data += "S" + std::to_string(i) + "," + std::to_string(i) + ",0." + std::to_string(i % 10) + "," +
                std::to_string(20 + i % 9) + "\n";
    load(data + "U1,5,0.5\n");
    choose(Dist::negbin);
    in_.request.start[5] = 1;
    const ClickResult r = click();
    const std::string user = file(r, "user.txt");
    EXPECT_EQ(user.rfind("valdmora model data, size-free layout\r\nrecords 120\r\npredictors 2\r\nwards 1\r\n"
                         "distribution 3\r\nfree 1 4\r\n21 1 0.1\r\n22 2 0.2\r\n",
                         0),
              0u)
        << user.substr(0, 200);
    EXPECT_NE(user.find("\r\n23 120 0\r\nsums 5 0.5\r\nposition 1 10 1 -1000 1000\r\n"), std::string::npos) << user.substr(user.size() - 200);
    // the extra parameter up to ten times the largest count, 28
    EXPECT_NE(user.find("position 4 1 1 0.01 280\r\nfixed total 0\r\n"), std::string::npos);
}

// Every stage's numbers on a likelihood known exactly, worked by hand: 25 surveyed wards,
// df = 25 - 3 = 22 (t = 2.0), unsurveyed wards at x = 10 and 20 with linear predictors
// 7 and 12 from the estimates 2 and 0.5, covariance diag(0.04, 0.0001, .) from the
// quadratic's curvature.
TEST_F(ClickTest, ReportStagesWorkedByHand) {
    load(hand_worked_data());
    services_.library = {QuadraticModel::fit, QuadraticModel::objective, nullptr, QuadraticModel::hessian};
    in_.request.free = {true, true, false, false, false};
    struct Case {
        Dist dist;
        double e;
        const char* lines;
        const char* sentence;
        double count_var_sum;
    };
    // count variances: lognormal (e h)^2, normal e^2, negative binomial (e + 1) h, times 25 / 22
    for (const Case& c : {Case{Dist::lognormal, 0.3, "U1, 7,(3,11)\r\nU2, 12,(4,20)\r\n", "19 (10,28)", 19.738636363636360},
                          Case{Dist::normal, 4.0, "U1, 7,(0,14)\r\nU2, 12,(3,21)\r\n", "19 (7,31)", 36.363636363636370},
                          Case{Dist::negbin, 0.8, "U1, 7,(0,14)\r\nU2, 12,(2,22)\r\n", "19 (6,32)", 38.863636363636370}}) {
        SCOPED_TRACE(distribution(c.dist).key);
        choose(c.dist);
        QuadraticModel::target = {2.0, 0.5, c.e};
        QuadraticModel::sd = {0.2, 0.01, 0.1};
        in_.request.start = {1, 0, 0, 0, 0, c.dist == Dist::normal ? 10.0 : 1.0};
        in_.request.ward.clear();
        const ClickResult click_result = click();
        const ClickResult& r = click_result;
        const EstimateResult& e = r.estimate;
        // the boxes show the estimates in the box's own pattern
        EXPECT_EQ(box_text(e.values[0], kPoint), "2.");
        EXPECT_EQ(box_text(e.values[1], kPoint), ".5");
        EXPECT_EQ(e.counts.df, 22);
        ASSERT_TRUE(e.cov.ok()) << e.cov.reason();
        EXPECT_NEAR((*e.cov)[0][0], 0.04, 1e-9);
        EXPECT_NEAR((*e.cov)[1][1], 0.0001, 1e-12);
        EXPECT_NEAR((*e.cov)[0][1], 0.0, 1e-12);
        EXPECT_NEAR(e.variance(1), 0.04, 1e-9);
        EXPECT_NEAR(e.variance(2), 0.0001, 1e-12);
        EXPECT_EQ(file(r, "ward_predictions.txt"), c.lines);
        EXPECT_DOUBLE_EQ(e.total.pop_est, 19.0);
        // total: variance 4 x 0.04 + 900 x 0.0001 = 0.25 of the linear predictor plus the counts'
        const double sd = std::sqrt(0.25 + c.count_var_sum);
        ASSERT_TRUE(e.wald().ok()) << e.wald().reason();
        EXPECT_NEAR(e.wald()->lower, 19.0 - 2.0 * sd, 1e-9);
        EXPECT_NEAR(e.wald()->upper, 19.0 + 2.0 * sd, 1e-9);
        EXPECT_EQ(r.label8, std::string("estimated number of roaming dogs = ") + c.sentence + " plus " +
                                format_number(e.counts.counted_total, "0", kPoint) + " counted");
        // one ward named: its own prediction and limits, without the counted dogs
        in_.request.ward = "U2";
        const ClickResult w = click();
        const double ward_var = 0.08 + (c.dist == Dist::lognormal ? (c.e * 12) * (c.e * 12)
                                        : c.dist == Dist::normal  ? c.e * c.e
                                                                  : (c.e + 1) * 12) * 25.0 / 22.0;
        EXPECT_DOUBLE_EQ(w.estimate.total.pop_est, 12.0);
        ASSERT_TRUE(w.estimate.wald().ok()) << w.estimate.wald().reason();
        EXPECT_NEAR(w.estimate.wald()->lower, 12.0 - 2.0 * std::sqrt(ward_var), 1e-9);
        EXPECT_EQ(w.label8.find("counted"), std::string::npos);
        EXPECT_FALSE(w.likelihood.has_value());
    }
}

TEST_F(ClickTest, CountsOfZeroFitUnderTheNormalAndNegativeBinomial) {
    load("a\nS1,1,0\nS2,2,0\nS3,3,4\nS4,4,0\nS5,5,9\nS6,6,11\nU1,3\n");
    in_.request.free = {true, true, false, false, false};
    for (Dist dist : {Dist::normal, Dist::negbin}) {
        choose(dist);
        in_.request.start = {1, 0, 0, 0, 0, dist == Dist::normal ? 10.0 : 1.0};
        const ClickResult r = click();
        EXPECT_TRUE(r.estimate.fit_ok) << r.estimate.fail_code;
        EXPECT_TRUE(std::isfinite(r.estimate.max_ll));
        EXPECT_TRUE(r.estimate.wald().ok()) << r.estimate.wald().reason();
    }
    choose(Dist::lognormal);
    in_.request.start[5] = 0.25;
    try {
        click();
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("Ward S1 has a count of 0"), std::string::npos) << e.what();
    }
}

TEST_F(ClickTest, RefusedClicksReturnNothingToWrite) {
    load("a\nS1,1,5\nS2,2,6\nS3,3,9\nU1,1\n");
    in_.request.free = {true, true, true, false, false};
    EXPECT_THROW(click(), UserError);  // 3 surveyed wards for 3 free parameters
    in_.request.free = {true, false, false, false, false};
    // a box or a range that is not a number is refused where texts become numbers: form_state_test
    // start values with no finite likelihood
    load("a\nS1,1,5\nS2,2,6\nS3,3,9\nS4,4,8\nU1,1\n");
    choose(Dist::normal);
    in_.request.start = {10, 1e300, 0, 0, 0, 0.25};  // a slope held fixed at 1e300
    try {
        click();
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("no finite value at the start values"), std::string::npos) << e.what();
    }
}

TEST_F(ClickTest, ExampleDataEndToEnd) {
    load_example();
    for (const Distribution& d : kDistributions) {
        const Dist dist = d.dist;
        choose(dist);
        in_.request.free = {true, true, true, true, false};
        in_.request.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10.0 : 1.0};
        const ClickResult r = click();
        const EstimateResult& e = r.estimate;
        SCOPED_TRACE(d.key);
        EXPECT_TRUE(e.fit_ok) << e.fail_code;
        EXPECT_TRUE(std::regex_match(r.label7, std::regex(R"(maximum log likelihood = -?\d*\.\d*, change = -?\d*\.\d*)")))
            << r.label7;
        EXPECT_TRUE(std::regex_match(r.label8, std::regex(R"(estimated number of roaming dogs = [\d,]+ \(-?\d+,\d+\) plus 1162 counted)")))
            << r.label8;
        ASSERT_TRUE(e.wald().ok()) << e.wald().reason();
        EXPECT_EQ(r.label8_colour, (Rgb{0, 192, 0}));
        EXPECT_NEAR(e.wald()->upper - e.total.pop_est, e.total.pop_est - e.wald()->lower, 1e-9);
        const std::string pred = file(r, "ward_predictions.txt");
        EXPECT_EQ(std::count(pred.begin(), pred.end(), '\n'), 48);
        EXPECT_TRUE(std::regex_search(pred, std::regex(R"(^Stonefield, \d+,\(\d+,\d+\)\r\n)")));
        expect_no_nonfinite(pred + r.label7 + r.label8 + file(r, "user.txt"));
        ASSERT_TRUE(r.likelihood.has_value());
        EXPECT_EQ(r.likelihood->total.size(), 21u);
        EXPECT_FLOAT_EQ(r.likelihood->total[10], static_cast<float>(std::round(e.total.pop_est)));
        EXPECT_EQ(r.likelihood->total[0], static_cast<float>(std::round(0.5 * e.total.pop_est)));
        EXPECT_FALSE(e.higher_profile_point);
        const Available<Limits>& profile = limits_of(e, IntervalKind::profile);
        ASSERT_TRUE(profile.ok()) << profile.reason();
        EXPECT_LT(profile->lower, e.profile_total_hat);
        EXPECT_GT(profile->upper, e.profile_total_hat);
        EXPECT_EQ(e.evaluations.covariance, 1);
        EXPECT_TRUE(r.show_ward_controls);
        // the boxes show the estimates at 4 decimals, which a second click starts from
        state_ = r.state();
        start_from_boxes(e);
        const ClickResult again = click();
        EXPECT_NEAR(again.estimate.max_ll, e.max_ll, 1e-3);
        EXPECT_NE(again.label7.find("change = ."), std::string::npos) << again.label7;
    }
}

TEST_F(ClickTest, NamedWardNarrowsTheEstimateAndSkipsTheProfile) {
    load_example();
    choose(Dist::negbin);
    in_.request.start[5] = 1;
    in_.request.ward = "Elmdale";
    const ClickResult r = click();
    EXPECT_FALSE(r.likelihood.has_value());
    EXPECT_EQ(r.label8.find("counted"), std::string::npos);
    EXPECT_TRUE(r.notices.empty());
    EXPECT_FALSE(r.estimate.total.ward_missing);
    EXPECT_TRUE(r.estimate.total.ward_named);
    EXPECT_NEAR(r.estimate.total.pop_est, r.state().unsurveyed_pred(2), 1e-12);
    EXPECT_FALSE(limits_of(r.estimate, IntervalKind::profile).ok());

    // another letter case finds the one ward so named, and says which it took
    in_.request.ward = "elmdale";
    const ClickResult folded = click();
    EXPECT_TRUE(folded.estimate.total.ward_named);
    EXPECT_EQ(folded.estimate.total.ward_index, 2);
    ASSERT_EQ(folded.notices.size(), 1u);
    EXPECT_FALSE(folded.notices[0].modal);
    EXPECT_NE(folded.notices[0].text.find("\"Elmdale\""), std::string::npos) << folded.notices[0].text;
    EXPECT_EQ(folded.notices[0].text.back(), '.');

    in_.request.ward = "Elmdal";
    const ClickResult missing = click();
    ASSERT_EQ(missing.notices.size(), 1u);
    EXPECT_EQ(missing.notices[0].text, "specified unsurveyed ward not found in data file");
    EXPECT_EQ(missing.notices[0].detail.back(), '.');
    EXPECT_TRUE(missing.estimate.total.ward_missing);
    EXPECT_NE(missing.label8.find("plus 1162 counted"), std::string::npos);
    // the estimate shown is the town's, and so is every interval beside it
    EXPECT_TRUE(missing.likelihood.has_value());
    EXPECT_TRUE(limits_of(missing.estimate, IntervalKind::delta).ok());
    EXPECT_TRUE(limits_of(missing.estimate, IntervalKind::profile).ok());
    EXPECT_EQ(missing.interval_text.find("not found"), std::string::npos) << missing.interval_text;
}

TEST_F(ClickTest, ANamedWardIsBootstrappedAloneAndTheHeadlineNamesIt) {
    load_example();
    choose(Dist::negbin);
    in_.request.start[5] = 1;
    in_.request.free = {true, true, true, true, false};
    in_.request.bootstrap_reps = 400;
    in_.request.bootstrap_seed = 7;
    const ClickResult town = click();
    in_.request.ward = "Elmdale";
    const ClickResult ward = click();
    const Available<Limits>& tb = limits_of(town.estimate, IntervalKind::bootstrap);
    const Available<Limits>& wb = limits_of(ward.estimate, IntervalKind::bootstrap);
    ASSERT_TRUE(tb.ok() && wb.ok());
    // the ward's limits hold the ward's estimate, and are of the ward's size, not the town's
    const double w = ward.estimate.total.pop_est;
    EXPECT_LE(wb->lower, w);
    EXPECT_GE(wb->upper, w);
    EXPECT_LT(wb->upper, 0.5 * tb->lower);
    // and agree in width with the ward's own Wald limits within a factor of two
    const Available<Limits>& ww = ward.estimate.wald();
    ASSERT_TRUE(ww.ok());
    const double ratio = (wb->upper - wb->lower) / (ww->upper - ww->lower);
    EXPECT_GT(ratio, 0.5);
    EXPECT_LT(ratio, 2.0);

    // the headline: the town's dogs are the counted ones plus the estimate, limits shifted
    const EstimateResult& t = town.estimate;
    const std::string h = headline(t, kPoint);
    EXPECT_EQ(h.rfind("Dogs in the town: ", 0), 0u) << h;
    EXPECT_NE(h.find(limit_text(1162 + t.total.pop_est, kPoint) + " (95 % prediction limits " +
                     limit_text(1162 + t.wald()->lower, kPoint) + " to " + limit_text(1162 + t.wald()->upper, kPoint) +
                     "), of which 1,162 counted"),
              std::string::npos)
        << h;
    const std::string hw = headline(ward.estimate, NumberFormat{',', '.'});
    EXPECT_EQ(hw.rfind("Dogs in ward Elmdale: ", 0), 0u) << hw;
    EXPECT_EQ(hw.find("counted"), std::string::npos) << hw;
}

TEST_F(ClickTest, TheHigherProfileSentenceOnlyComparesLikeWithLike) {
    load_example();
    choose(Dist::normal);
    in_.request.start[5] = 10;
    // without the constant the profile fits free the intercept: a higher value is expected
    in_.request.free = {false, true, false, false, false};
    const ClickResult r = click();
    EXPECT_FALSE(r.estimate.higher_profile_point);
    EXPECT_EQ(r.label7.find("profile found a higher"), std::string::npos) << r.label7;
    EXPECT_FALSE(limits_of(r.estimate, IntervalKind::profile).ok());
    EXPECT_NE(r.interval_text.find("the constant is not free"), std::string::npos) << r.interval_text;
}

TEST_F(ClickTest, NoPositiveDefiniteMatrixMeansNoLimitsAndARedSentence) {
    load("a\nS1,1,5\nS2,2,6\nS3,3,7\nU1,1\nU2,2\n");
    services_.library = {flat_fit, flat_objective, nullptr, flat_hessian};
    in_.request.free = {false, true, false, false, false};
    choose(Dist::normal);
    const ClickResult r = click();
    // an estimate of 0.00003 is written "." and becomes 0
    EXPECT_NEAR(r.estimate.values[1], 0.00003, 1e-12);
    EXPECT_EQ(box_text(r.estimate.values[1], kPoint), "0");
    EXPECT_FALSE(r.estimate.cov.ok());
    EXPECT_NE(r.estimate.cov.reason().find("not positive definite"), std::string::npos) << r.estimate.cov.reason();
    EXPECT_TRUE(std::isnan(r.estimate.variance(2)));
    EXPECT_FALSE(r.estimate.wald().ok());
    EXPECT_NE(r.estimate.wald().reason().find("the information matrix is not positive definite"), std::string::npos)
        << r.estimate.wald().reason();
    EXPECT_NE(r.label8.find("(limits could not be computed)"), std::string::npos) << r.label8;
    EXPECT_NE(r.interval_text.find("no limits for the estimate: the information matrix is not positive definite"),
              std::string::npos)
        << r.interval_text;
    EXPECT_EQ(r.label8_colour, (Rgb{255, 0, 0}));
    EXPECT_EQ(file(r, "ward_predictions.txt").substr(0, 12), "U1, 10,(,)\r\n");
    expect_no_nonfinite(r.label8 + r.label7);
}

TEST_F(ClickTest, AFailedFitSaysSo) {
    load("a\nS1,1,5\nS2,2,6\nS3,3,7\nU1,1\n");
    services_.library = {[](const valdmora_model* m, int32_t n, const int32_t* p, const double* l, const double* u,
                            double* x, double* f, int64_t* e) {
                             VALDMORA_FIT(m, n, p, l, u, x, f, e);
                             return int32_t{VALDMORA_FIT_EVAL_LIMIT};
                         },
                         VALDMORA_OBJECTIVE};
    choose(Dist::normal);
    const ClickResult r = click();
    EXPECT_FALSE(r.estimate.fit_ok);
    EXPECT_EQ(r.label8_colour, (Rgb{255, 0, 0}));
    ASSERT_FALSE(r.notices.empty());
    EXPECT_NE(r.notices[0].text.find("did not converge (failure code 2)"), std::string::npos);
}

TEST(Report, SmallRules) {
    // a lower limit of 0 is written, not left blank
    EXPECT_EQ(limit_text(0.0, kPoint), "0");
    EXPECT_EQ(limit_text(0.3, kPoint), "0");
    EXPECT_EQ(limit_text(-0.2, kPoint), "0");
    EXPECT_EQ(limit_text(-12.0, kPoint), "-12");
    EXPECT_EQ(limit_text(1234.4, kPoint), "1,234");
    EXPECT_DOUBLE_EQ(profile_total(50, -10, 400), 200);
    EXPECT_DOUBLE_EQ(profile_total(50, -9, 400), 220);
    EXPECT_DOUBLE_EQ(profile_total(50, 0, 400), 400);
    EXPECT_DOUBLE_EQ(profile_total(50, 10, 400), 600);
    EXPECT_DOUBLE_EQ(profile_total(100, -10, 400), 1);
    // 12.4 with sd 10 at df 20 (t = 2.086): the lower limit clamps at 0, the upper mirrors it
    EXPECT_EQ(ward_prediction_line("Northside", 12.4, 100.0, 2.086, kPoint), "Northside, 12,(0,25)");
    EXPECT_EQ(ward_prediction_line("B", 30.0, 4.0, 2.0, kPoint), "B, 30,(26,34)");
    EXPECT_EQ(ward_prediction_line("C", 0.3, 0.0, 2.0, kPoint), "C, ,(0,)");
    EXPECT_EQ(ward_prediction_line("D", 5.0, -1.0, 2.0, kPoint), "D, 5,(,)");
    EXPECT_TRUE(outside_limits(812.4f, 900, 812.4f));
    EXPECT_TRUE(outside_limits(700, 812.4f, 812.4f));
    EXPECT_FALSE(outside_limits(700, 880, 812.4f));
    EXPECT_EQ(simulation_summary_text(812.4f, 812.4, 790.0, 0, 1, kPoint),
              "812 dogs simulated, on average 812, average estimate 790, simulated population outside CLs (the 95 % Wald prediction limits) in 0 of 1 "
              "simulations");
}

TEST(SpdInverse, LayoutAndFailure) {
    // [[4, 2], [2, 3]] has inverse [[3, -2], [-2, 4]] / 8
    double a[7 * 6] = {};
    a[0] = 4, a[1] = 2, a[7] = 2, a[8] = 3;
    EXPECT_EQ(spd_inverse(2, a, 7), 0);
    EXPECT_DOUBLE_EQ(a[1], 3.0 / 8);    // (1,1) in row 2
    EXPECT_DOUBLE_EQ(a[2], -2.0 / 8);   // (2,1) in row 3
    EXPECT_DOUBLE_EQ(a[7 + 2], 4.0 / 8);  // (2,2) in row 3, column 2
    double b[7 * 6] = {};
    b[0] = 1, b[1] = 2, b[7] = 2, b[8] = 1;  // indefinite
    EXPECT_EQ(spd_inverse(2, b, 7), 2);
    EXPECT_EQ(b[2], 0.0);  // unchanged
    EXPECT_EQ(spd_inverse(7, b, 7), 1);
    // positive definite only by rounding: a parameter the data do not identify
    double c[7 * 6] = {};
    c[0] = 1e6, c[1] = 1e3, c[7] = 1e3, c[8] = 1.0 + 1e-9;
    EXPECT_EQ(spd_inverse(2, c, 7), 3);
    EXPECT_EQ(c[2], 0.0);
}

// Results that cannot be trusted say so: an estimate on a bound, limits of no width.
TEST_F(ClickTest, AllZeroCountsPutTheInterceptOnItsBoundAndSaySo) {
    std::string data = "a\n";
    for (int i = 1; i <= 12; ++i) data += "S" + std::to_string(i) + "," + std::to_string(i) + ",0\n";
    load(data + "U1,3\nU2,5\n");
    choose(Dist::negbin);
    in_.request.free = {true, false, false, false, false};
    in_.request.start = {5, 0, 0, 0, 0, 1};
    const ClickResult r = click();
    ASSERT_FALSE(r.estimate.on_bound.empty());
    bool named = false;
    for (const Notice& n : r.notices)
        named = named || n.text.find("The estimate of the constant ended on its lower bound of -1000") != std::string::npos;
    EXPECT_TRUE(named);
    expect_no_nonfinite(r.label8 + r.interval_text);
}

TEST_F(ClickTest, LargeCountsAreNotStoppedByTheOldBounds) {
    // twenty wards of 1,200..1,800 dogs: an intercept near 1,500 used to stop at 1,000
    std::string data = "a\n";
    for (int i = 1; i <= 20; ++i)
        data += "S" + std::to_string(i) + "," + std::to_string(i % 3) + "," + std::to_string(1200 + 31 * i) + "\n";
    for (int i = 1; i <= 10; ++i) data += "U" + std::to_string(i) + ",1\n";
    load(data);
    for (const Distribution& d : kDistributions) {
        const Dist dist = d.dist;
        choose(dist);
        in_.request.free = {true, false, false, false, false};
        in_.request.start = {10, 0, 0, 0, 0, dist == Dist::normal ? 10.0 : 1.0};
        const ClickResult r = click();
        SCOPED_TRACE(d.key);
        EXPECT_TRUE(r.estimate.fit_ok);
        EXPECT_TRUE(r.estimate.on_bound.empty());
        // the mean of the counts, 1,525.5, times the ten unsurveyed wards
        EXPECT_NEAR(r.estimate.total.pop_est, 15255.0, 0.02 * 15255.0);
        EXPECT_TRUE(r.notices.empty()) << r.notices[0].text;
    }
}

TEST_F(ClickTest, IntervalsNameTheirTargetsAndALowerLimitOfZeroIsWritten) {
    load_example();
    choose(Dist::negbin);
    in_.request.free = {true, true, false, true, false};
    in_.request.start = {10, 0, 0, 0, 0, 1};
    in_.request.bootstrap_reps = 60;
    in_.request.bootstrap_seed = 3;
    const ClickResult r = click();
    ASSERT_TRUE(r.estimate.wald().ok()) << r.estimate.wald().reason();
    EXPECT_NE(r.interval_text.find("in brackets: Wald 95 % prediction limits of the dogs in the unsurveyed wards"),
              std::string::npos);
    EXPECT_NE(r.interval_text.find("delta-method 95 % confidence limits of the expected number of dogs: "),
              std::string::npos);
    EXPECT_NE(r.interval_text.find("profile-likelihood 95 % confidence limits of the expected number of dogs"),
              std::string::npos);
    EXPECT_NE(r.interval_text.find("bootstrap 95 % prediction limits of the dogs in the unsurveyed wards (60 of 60 "
                                   "replicates): "),
              std::string::npos)
        << r.interval_text;
    EXPECT_NE(r.interval_text.find(", Monte Carlo error "), std::string::npos);
    // the delta-method interval is narrower than the prediction interval: it leaves out the counts' own variance
    const Available<Limits>& delta = limits_of(r.estimate, IntervalKind::delta);
    ASSERT_TRUE(delta.ok()) << delta.reason();
    EXPECT_GT(delta->lower, r.estimate.wald()->lower);
    EXPECT_LT(delta->upper, r.estimate.wald()->upper);
    // one small ward named: its Wald lower limit is 0 and is written as 0
    in_.request.ward = "Greencroft";
    in_.request.bootstrap_reps = 0;
    const ClickResult w = click();
    EXPECT_EQ(w.estimate.interval(IntervalKind::bootstrap), nullptr);  // not asked for: absent
    EXPECT_NE(w.interval_text.find("in brackets: Wald 95 % prediction limits of the dogs in the ward"), std::string::npos);
    EXPECT_TRUE(limits_of(w.estimate, IntervalKind::delta).ok()) << limits_of(w.estimate, IntervalKind::delta).reason();
    EXPECT_NE(w.interval_text.find("confidence limits of the expected number of dogs: "), std::string::npos);
}

TEST(BootstrapError, IsHalfTheSpreadOfTheNeighbouringOrderStatistics) {
    std::vector<double> sorted(1000);
    for (std::size_t i = 0; i < sorted.size(); ++i) sorted[i] = static_cast<double>(i);
    // 1000 x 0.025 = 25, one binomial sd = sqrt(24.375) = 4.94: order statistics 20 and 30
    EXPECT_DOUBLE_EQ(quantile_error(sorted, 0.025), 5.0);
    EXPECT_DOUBLE_EQ(quantile_error(std::vector<double>(50, 216.0), 0.975), 0.0);
    EXPECT_TRUE(std::isnan(quantile_error({1.0}, 0.5)));
}

TEST_F(ClickTest, AConstantCountNamesTheBoundAndTheBootstrapsMissingWidth) {
    std::string data = "a\n";
    for (int i = 1; i <= 15; ++i) data += "S" + std::to_string(i) + "," + std::to_string(i) + ",12\n";
    load(data + "U1,3\nU2,4\n");
    choose(Dist::normal);
    in_.request.free = {true, false, false, false, false};
    in_.request.start = {10, 0, 0, 0, 0, 10};
    in_.request.bootstrap_reps = 40;
    in_.request.bootstrap_seed = 1;
    const ClickResult r = click();
    std::string all;
    for (const Notice& n : r.notices) all += n.text + "\n";
    // the standard deviation goes to its floor, and every replicate draws the same total
    EXPECT_NE(all.find("The estimate of the extra parameter ended on its lower bound of 0.01"), std::string::npos) << all;
    const Available<Limits>& boot = limits_of(r.estimate, IntervalKind::bootstrap);
    ASSERT_TRUE(boot.ok()) << boot.reason();
    EXPECT_EQ(boot->lower, boot->upper);
    EXPECT_NE(all.find("The bootstrap limits have no width"), std::string::npos) << all;
    EXPECT_NE(r.interval_text.find("): 24 to 24, Monte Carlo error 0 and 0"), std::string::npos) << r.interval_text;
}
