#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "../support/scratch_dir.h"
#include "cycle/count_file.h"
#include "estimation/click.h"
#include "estimation/report.h"
#include "estimation/spd_inverse.h"
#include "valdmora/modellib.h"

using namespace valdmora;
namespace fs = std::filesystem;

namespace {

const NumberFormat kPoint{'.', ','};

class ClickTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_click");
        form_load(state_);
        in_.fmt = kPoint;
        in_.output_dir = dir_.string();
        in_.data_path = "counts.txt";
        in_.beta_text = {"10", "0", "0", "0", "0", "0.25"};
        in_.beta_label = {"the constant", "b1", "b2", "b3", "b4", "the extra parameter"};
        in_.beta_checked = {true, false, false, false, false};
        services_.fit = N_E04JYF;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void load(const std::string& content) {
        const auto path = dir_ / "counts.txt";
        std::ofstream(path, std::ios::binary) << content;
        store_count_data(state_, read_count_file(path.string(), kPoint));
    }
    void load_example() {
        std::ifstream f(VALDMORA_EXAMPLE_DATA);
        std::stringstream ss;
        ss << f.rdbuf();
        load(ss.str());
    }
    std::string file(const std::string& name) const {
        std::ifstream f(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    ClickResult click() { return run_estimating_click(in_, state_, services_); }

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

// A stand-in for the model library whose log likelihood is -(e - 3)^2 in the extra
// parameter at model_reals position 3 (one predictor); a fit sets every variable to 3.
void quadratic_fit(int32_t* n, int32_t*, double*, double*, double* x, double* f, int32_t*, int32_t*, double*, int32_t*,
                   int32_t* mi, double* mr, int32_t* ifail) {
    mi[999] += 1;
    if (*n == 0) {
        *f = (mr[8] - 3.0) * (mr[8] - 3.0);
        return;
    }
    for (int i = 0; i < *n; ++i) x[i] = 3.0;
    *f = 0.0;
    *ifail = 0;
}

// A flat likelihood: its information matrix is zero, not positive definite.
void flat_fit(int32_t* n, int32_t*, double*, double*, double* x, double* f, int32_t*, int32_t*, double*, int32_t*,
              int32_t* mi, double*, int32_t* ifail) {
    mi[999] += 1;
    if (*n > 0) {
        for (int i = 0; i < *n; ++i) x[i] = 0.00003;
        *ifail = 0;
    }
    *f = 10.0;
}

std::string twenty_wards_four_predictors() {
    std::string s = "a,b,c,d\n";
    for (int i = 1; i <= 20; ++i)
        s += "S" + std::to_string(i) + "," + std::to_string(100 + 37 * i % 900) + "," + std::to_string(200 + 53 * i % 800) +
             "," + std::to_string(300 + 71 * i % 700) + "," + std::to_string(150 + 29 * i % 850) + "," +
             (i == 1 ? "2.5" : i == 2 ? "3.5" : std::to_string(20 + i)) + "\n";
    for (int i = 1; i <= 5; ++i) s += "U" + std::to_string(i) + ",500,500,500,500\n";
    return s;
}

}  // namespace

TEST_F(ClickTest, PackedModelDataAndUserFile) {
    load(twenty_wards_four_predictors());
    in_.beta_text = {"10", "0", "0", "0", "0", "1"};
    in_.err_option = 1;
    state_.err_dist = 2;
    const ClickResult r = click();
    EXPECT_EQ(r.state.n_model_ints, 118);
    EXPECT_EQ(r.state.n_model_reals, 25);
    EXPECT_EQ(r.state.model_ints(11), 4);
    EXPECT_EQ(r.state.model_ints(12), 5);
    EXPECT_EQ(r.state.model_ints(13), 20);
    EXPECT_EQ(r.state.model_ints(14), 2);  // 2.5 and 3.5 pack to the even neighbours
    EXPECT_EQ(r.state.model_ints(19), 4);
    EXPECT_EQ(r.state.model_ints(118), 2);  // the distribution code
    EXPECT_EQ(r.state.model_ints(114), 2500);  // the predictor sums
    // "user.txt": the count, the entries, the count, the reals, one a line in list form
    const std::string user = file("user.txt");
    EXPECT_EQ(user.rfind(" 118 \r\n 2 \r\n 1 \r\n 6 \r\n", 0), 0u) << user.substr(0, 40);
    EXPECT_NE(user.find("\r\n 25 \r\n 10 \r\n 1 \r\n-1000 \r\n 1000 \r\n"), std::string::npos);
    EXPECT_EQ(std::count(user.begin(), user.end(), '\n'), 1 + 118 + 1 + 25);
}

TEST_F(ClickTest, FreeListAndExtraParameterBox) {
    load("a,b\nS1,1,2,5\nS2,2,1,7\nS3,3,3,9\nS4,1,1,4\nS5,2,2,6\nU1,1,1\n");
    in_.beta_checked = {true, false, true, false, false};
    in_.beta_text = {"2", "0.5", "1", "77", "88", "3"};
    in_.err_option = 1;
    state_.err_dist = 2;
    const ClickResult r = click();
    const std::string user = file("user.txt");
    EXPECT_EQ(user.substr(0, 31), " 31 \r\n 3 \r\n 1 \r\n 3 \r\n 4 \r\n 0 \r\n") << user.substr(0, 31);
    // the extra parameter's start came from box 5; boxes 3 and 4 are untouched
    EXPECT_NE(user.find("\r\n 17 \r\n 2 \r\n 1 \r\n-1000 \r\n 1000 \r\n 0.5 \r\n 1 \r\n-1000 \r\n 1000 \r\n 1 \r\n"
                        " 1 \r\n-1000 \r\n 1000 \r\n 3 \r\n 1 \r\n 0.01 \r\n 100 \r\n 0 \r\n"),
              std::string::npos);
    EXPECT_EQ(r.beta_text[3], "77");
    EXPECT_EQ(r.beta_text[1], "0.5");  // fixed: keeps its text
    EXPECT_EQ(r.n_free, 3);
}

TEST_F(ClickTest, CountsBelowOneAreRefusedForTheLognormalNamingTheWard) {
    load("a\nS1,1,5\nS2,2,0.5\nS3,3,9\nU1,1\n");
    try {
        click();
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("Ward S2"), std::string::npos) << e.what();
    }
    in_.err_option = 2;  // the negative binomial takes it
    state_.err_dist = 3;
    EXPECT_NO_THROW(click());
}

TEST_F(ClickTest, AbandonedClicksWriteNothing) {
    load("a\nS1,1,5\nS2,2,6\nU1,1\n");
    in_.beta_checked = {true, true, false, false, false};
    EXPECT_THROW(click(), UserError);  // 2 surveyed wards for 3 free parameters
    in_.beta_checked = {true, false, false, false, false};
    in_.beta_text[0] = "1.2.3";
    EXPECT_THROW(click(), UserError);
    in_.beta_text[0] = "10";
    in_.range_text = "x";
    EXPECT_THROW(click(), UserError);
    EXPECT_FALSE(fs::exists(dir_ / "user.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "ward_predictions.txt"));
}

TEST_F(ClickTest, ExampleDataEndToEnd) {
    load_example();
    for (int option : {0, 1, 2}) {
        in_.err_option = option;
        state_.err_dist = static_cast<int16_t>(option + 1);
        in_.beta_checked = {true, true, true, true, false};
        in_.beta_text = {"10", "0", "0", "0", "0", option == 0 ? "0.25" : option == 1 ? "10" : "1"};
        const ClickResult r = click();
        SCOPED_TRACE(option);
        EXPECT_TRUE(r.fail_code == 0 || r.fail_code == 5) << r.fail_code;
        EXPECT_TRUE(std::regex_match(r.label7, std::regex(R"(maximum log likelihood = -?\d*\.\d*, change = -?\d*\.\d*)")))
            << r.label7;
        EXPECT_TRUE(std::regex_match(r.label8, std::regex(R"(estimated number of roaming dogs = [\d,]+ \(-?\d+,\d+\) plus 1162 counted)")))
            << r.label8;
        EXPECT_TRUE(r.limits_ok);
        EXPECT_EQ(r.label8_colour, (Rgb{0, 192, 0}));
        EXPECT_LT(r.pop_lower, r.pop_est);
        EXPECT_NEAR(r.pop_upper - r.pop_est, r.pop_est - r.pop_lower, 1e-9);
        const std::string pred = file("ward_predictions.txt");
        EXPECT_EQ(std::count(pred.begin(), pred.end(), '\n'), 48);
        EXPECT_TRUE(std::regex_search(pred, std::regex(R"(^Stonefield, \d+,\(\d+,\d+\)\r\n)")));
        expect_no_nonfinite(pred + r.label7 + r.label8 + file("user.txt"));
        for (const auto& t : r.beta_text) expect_no_nonfinite(t);
        ASSERT_TRUE(r.likelihood.has_value());
        EXPECT_EQ(r.likelihood->total.size(), 21u);
        EXPECT_FLOAT_EQ(r.likelihood->total[10], static_cast<float>(std::round(r.pop_est)));
        EXPECT_EQ(r.likelihood->total[0], static_cast<float>(std::round(0.5 * r.pop_est)));
        EXPECT_FALSE(r.higher_profile_point);
        // each profile fit starts beside its optimum: fewer evaluations than the main fit
        EXPECT_LT(r.evaluations.profile / 21, r.evaluations.fit);
        EXPECT_EQ(r.evaluations.covariance, 4 * r.n_free * r.n_free);
        EXPECT_TRUE(r.show_ward_controls);
        // the boxes hold the estimates at 4 decimals, which a second click starts from
        EXPECT_EQ(r.beta_text[4], "0");
        state_ = r.state;
        in_.beta_text = r.beta_text;
        const ClickResult again = click();
        EXPECT_NEAR(again.max_ll, r.max_ll, 1e-3);
        EXPECT_NE(again.label7.find("change = ."), std::string::npos) << again.label7;
    }
}

TEST_F(ClickTest, NamedWardNarrowsTheEstimateAndSkipsTheProfile) {
    load_example();
    in_.err_option = 2;
    in_.beta_text[5] = "1";
    in_.ward = "Elmdale";
    const ClickResult r = click();
    EXPECT_FALSE(r.likelihood.has_value());
    EXPECT_EQ(r.label8.find("counted"), std::string::npos);
    EXPECT_TRUE(r.notices.empty());
    EXPECT_NEAR(r.pop_est, r.state.unsurveyed_pred(2), 1e-12);

    in_.ward = "elmdale";  // letter case counts
    const ClickResult missing = click();
    ASSERT_EQ(missing.notices.size(), 1u);
    EXPECT_EQ(missing.notices[0].text, "specified unsurveyed ward not found in data file");
    EXPECT_NE(missing.label8.find("plus 1162 counted"), std::string::npos);
    EXPECT_FALSE(missing.likelihood.has_value());
}

TEST_F(ClickTest, QuadraticLikelihoodGivesItsVariance) {
    load("a\nS1,1,5\nS2,2,6\nS3,3,7\nU1,1\nU2,2\n");
    services_.fit = quadratic_fit;
    in_.beta_checked = {false, false, false, false, false};
    in_.err_option = 1;
    in_.beta_text = {"10", "0", "0", "0", "0", "7"};
    const ClickResult r = click();
    EXPECT_EQ(r.n_free, 1);
    EXPECT_EQ(r.free_pos[0], 3);
    EXPECT_EQ(r.beta_text[5], "3.");
    EXPECT_NEAR(r.cov[2][2], 0.5, 1e-9);
    EXPECT_EQ(r.cov[0][0], 0.0);  // fixed parameters add no uncertainty
    EXPECT_NEAR(r.par_value[2], 3.0, 1e-12);  // put back after the differences
    EXPECT_EQ(r.state.model_reals(13), 30.0);  // the profile's last total stays: 1.5 x 20
}

TEST_F(ClickTest, NoPositiveDefiniteMatrixMeansNoLimitsAndARedSentence) {
    load("a\nS1,1,5\nS2,2,6\nS3,3,7\nU1,1\nU2,2\n");
    services_.fit = flat_fit;
    in_.beta_checked = {false, true, false, false, false};
    in_.err_option = 1;
    const ClickResult r = click();
    EXPECT_EQ(r.beta_text[1], "0");  // an estimate of 0.00003 is written "." and becomes 0
    EXPECT_FALSE(r.covariance_ok);
    EXPECT_FALSE(r.limits_ok);
    EXPECT_NE(r.label8.find("limits could not be computed: the information matrix is not positive definite"),
              std::string::npos)
        << r.label8;
    EXPECT_EQ(r.label8_colour, (Rgb{255, 0, 0}));
    EXPECT_EQ(file("ward_predictions.txt").substr(0, 12), "U1, 10,(,)\r\n");
    expect_no_nonfinite(r.label8 + r.label7);
}

TEST_F(ClickTest, UnwritableOutputIsReportedAndTheRestStands) {
    load("a\nS1,1,5\nS2,2,6\nS3,3,7\nU1,1\n");
    in_.output_dir = (dir_ / "no" / "such" / "folder").string();
    in_.err_option = 1;
    const ClickResult r = click();
    ASSERT_EQ(r.notices.size(), 2u);
    EXPECT_NE(r.notices[0].text.find("user.txt"), std::string::npos);
    EXPECT_NE(r.notices[1].text.find("ward_predictions.txt"), std::string::npos);
    EXPECT_NE(r.label8.find("estimated number of roaming dogs"), std::string::npos);
}

TEST(Report, SmallRules) {
    EXPECT_EQ(difference_step(0.05), 0.001);
    EXPECT_DOUBLE_EQ(difference_step(-20), 0.2);
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
              "812 dogs simulated, on average 812, average estimate 790, simulated population outside CLs in 0 of 1 "
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
}
