// The batch front end run as a user runs it: a command line, its output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "../support/scratch_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_batch");
        fs::copy_file(VALDMORA_EXAMPLE_DATA, dir_ / "counts.txt");
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome run(const std::string& args) {
        const std::string err = (dir_ / "stderr.txt").string();
        const std::string cmd = "cd '" + dir_.string() + "' && '" VALDMORA_BATCH "' " + args + " 2>'" + err + "'";
        Outcome r;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream e(err);
        std::stringstream ss;
        ss << e.rdbuf();
        r.err = ss.str();
        return r;
    }
    std::string file(const std::string& name) {
        std::ifstream f(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    fs::path dir_;
};

void expect_finite_numbers(const json& j) {
    if (j.is_number()) {
        EXPECT_TRUE(std::isfinite(j.get<double>()));
    }
    if (j.is_structured())
        for (const auto& v : j) expect_finite_numbers(v);
}

}  // namespace

TEST_F(BatchTest, EstimatePrintsTheTwoLabelsAndWritesBothFiles) {
    const Outcome r = run("estimate counts.txt --dist negbin --free 0,households,road_m,3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("maximum log likelihood = -115.693, change = -115.693\n"
                          "estimated number of roaming dogs = 1,770 (",
                          0),
              0u)
        << r.out;
    EXPECT_NE(file("ward_predictions.txt").find("Stonefield, "), std::string::npos);
    EXPECT_FALSE(file("user.txt").empty());
}

TEST_F(BatchTest, JsonHasEveryFieldAndOnlyFiniteNumbers) {
    const Outcome r = run("estimate counts.txt --dist normal --free 0,1 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    for (const char* key : {"fail_code", "estimates", "max_ll", "pop_est", "pop_lower", "pop_upper", "counted_total",
                            "df", "label7", "label8", "profile", "evaluations"})
        EXPECT_TRUE(j.contains(key)) << key;
    ASSERT_EQ(j["estimates"].size(), 5u);  // constant, three predictors, the extra parameter
    EXPECT_EQ(j["estimates"][1]["name"], "households");
    EXPECT_TRUE(j["estimates"][1]["free"].get<bool>());
    EXPECT_TRUE(j["estimates"][1]["se"].is_number());
    EXPECT_TRUE(j["estimates"][2]["se"].is_null());  // fixed
    EXPECT_EQ(j["estimates"][4]["name"], "SD");
    EXPECT_EQ(j["profile"].size(), 21u);
    EXPECT_EQ(j["df"], 32 - 3);
    EXPECT_EQ(j["counted_total"], 1162.0);
    EXPECT_GT(j["evaluations"]["fit"].get<int>(), 0);
    expect_finite_numbers(j);
}

TEST_F(BatchTest, SeedRepeatsASeriesExactly) {
    const Outcome a = run("simulate --reps 20 --seed 11 --dist negbin --true 10,0.02,0,0,0,1 --free 0,1 --json --csv a.csv");
    const Outcome b = run("simulate --reps 20 --seed 11 --dist negbin --true 10,0.02,0,0,0,1 --free 0,1 --json --csv b.csv");
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(file("a.csv"), file("b.csv"));
    const std::string csv = file("a.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 21);
    const json j = json::parse(a.out);
    EXPECT_EQ(j["n_sims"], 20);
    expect_finite_numbers(j);
    const Outcome c = run("simulate --reps 20 --seed 12 --dist negbin --true 10,0.02,0,0,0,1 --free 0,1 --json");
    EXPECT_NE(a.out, c.out);
}

TEST_F(BatchTest, BadInputExitsOneWithTheMessageAndUsageErrorsTwo) {
    Outcome r = run("estimate missing.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.txt cannot be opened"), std::string::npos) << r.err;
    std::ofstream(dir_ / "bad.txt") << "a,b\nX,1,2,,,\n";
    r = run("estimate bad.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("please check data file"), std::string::npos) << r.err;
    r = run("estimate counts.txt --free 7");
    EXPECT_EQ(r.status, 1);
    r = run("simulate --surveys 200");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("from 1 to 99"), std::string::npos);
    r = run("simulate --dist negbin --true 10,0,0,0,0,0");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("VoM - 1"), std::string::npos) << r.err;
    EXPECT_EQ(run("estimate counts.txt --start 1,2,3").status, 2);
    EXPECT_EQ(run("estimate counts.txt --bogus").status, 2);
    EXPECT_EQ(run("").status, 2);
    const Outcome help = run("estimate --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--ward"), std::string::npos);
}

TEST_F(BatchTest, ALongLognormalStudyCoversNearNinetyFivePerCent) {
    const Outcome r = run("simulate --reps 1000 --seed 2026 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["n_sims"], 1000);
    EXPECT_GE(j["coverage"].get<double>(), 0.80);
    EXPECT_LE(j["coverage"].get<double>(), 1.00);
}
