// SPDX-License-Identifier: GPL-3.0-or-later
// plan and select run as a user runs them: the usage errors that write nothing, the JSON and
// CSV a plan gives, the list for the field team, and a plan stopped by a signal.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "testkit/process.h"
#include "testkit/scratch_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;
using valdmora::testing::Outcome;
using valdmora::testing::Process;

namespace {

const std::string kBatch = VALDMORA_BATCH;

class PlanBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_plan");
        fs::copy_file(VALDMORA_EXAMPLE_DATA, dir_ / "counts.txt");
    }
    void TearDown() override { fs::remove_all(dir_); }
    Outcome run(const std::vector<std::string>& args) { return valdmora::testing::run_program(kBatch, args, dir_, {}); }
    std::vector<std::string> lines(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    fs::path dir_;
};

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, ',');) out.push_back(c);
    if (!line.empty() && line.back() == ',') out.emplace_back();
    return out;
}

}  // namespace

// counts.txt: 80 wards (32 surveyed), predictors households, road_m, markets.
TEST_F(PlanBatchTest, UsageErrorsExitTwoAndWriteNothing) {
    const std::vector<std::string> plan{"plan", "counts.txt", "--csv", "plan.csv"};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        // the constant and the extra parameter are free: at least 4 wards
        {{"--surveys", "3,20"}, "at least 4 wards"},
        {{"--surveys", "20,81"}, "more than the 80 wards"},
        {{"--surveys", "20", "--reps", "9"}, "at least 10"},
        {{"--surveys", "20", "--target", "1.5"}, "between 0 and 1"},
        {{"--surveys", "20", "--target", "0"}, "between 0 and 1"},
        {{"--surveys", "20", "--design", "stratified:dogs"}, "no predictor \"dogs\""},
        {{"--surveys", "20", "--design", "stratified:households:30"}, "30 strata"},
        {{"--surveys", "20", "--design", "clustered"}, "must be random, balanced"},
        {{"--surveys", "20:10:5"}, "ends below its start"},
    };
    for (const auto& [extra, message] : cases) {
        std::vector<std::string> args = plan;
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << message << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_FALSE(fs::exists(dir_ / "plan.csv")) << message;
    }
    for (const auto& extra : std::vector<std::vector<std::string>>{
             {"--surveys", "81"}, {"--surveys", "0"}, {"--surveys", "3", "--design", "stratified:markets:4"}}) {
        std::vector<std::string> args{"select", "counts.txt", "--csv", "wards.csv"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "wards.csv"));
    }
}

TEST_F(PlanBatchTest, JsonAndCsvHoldARowPerCandidateAndTheTarget) {
    const std::vector<std::string> args{"plan", "counts.txt", "--dist", "negbin", "--free", "0,households",
                                        "--surveys", "8,30", "--reps", "12", "--seed", "5", "--target", "0.5",
                                        "--design", "stratified:households:3", "--csv", "plan.csv", "--json"};
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    // the truth: the pilot's fit of the constant, households and VoM - 1
    ASSERT_EQ(j["estimates"].size(), 5u);
    EXPECT_EQ(j["estimates"][1]["name"], "households");
    ASSERT_EQ(j["plan"].size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const json& row = j["plan"][i];
        EXPECT_EQ(row["surveys"], i == 0 ? 8 : 30);
        EXPECT_EQ(row["reps"], 12);
        EXPECT_LE(row["failed"].get<int>(), 12);
        for (const char* kind : {"wald", "delta", "profile"}) {
            ASSERT_TRUE(row["relative_half_width"].contains(kind)) << kind;
            ASSERT_TRUE(row["coverage"].contains(kind)) << kind;
        }
        EXPECT_FALSE(row["relative_half_width"].contains("bootstrap"));
        EXPECT_GT(row["relative_half_width"]["wald"].get<double>(), 0.0);
        EXPECT_GT(row["relative_rmse"].get<double>(), 0.0);
    }
    EXPECT_LT(j["plan"][1]["relative_half_width"]["wald"].get<double>(),
              j["plan"][0]["relative_half_width"]["wald"].get<double>());
    EXPECT_EQ(j["target"]["kind"], "wald");
    EXPECT_EQ(j["target"]["precision"], 0.5);
    const auto csv = lines("plan.csv");
    ASSERT_EQ(csv.size(), 3u);
    EXPECT_EQ(csv[0],
              "surveys,reps,failed,relative_rmse,wald_relative_half_width,delta_relative_half_width,"
              "profile_relative_half_width,wald_coverage,delta_coverage,profile_coverage");
    EXPECT_EQ(cells(csv[1]).size(), 10u);
    EXPECT_EQ(cells(csv[2])[0], "30");
    // the same seed, the same plan
    const Outcome again = run(args);
    EXPECT_EQ(again.out, r.out);
}

// Sightings are planned as estimate takes them; bad ones are usage errors.
TEST_F(PlanBatchTest, SightingsAddTheDogsPresentsLimits) {
    const Outcome r = run({"plan", "counts.txt", "--dist", "negbin", "--surveys", "30", "--reps", "12", "--seed", "5",
                           "--sighting", "40,22,25,19", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json row = json::parse(r.out)["plan"][0];
    ASSERT_TRUE(row.contains("dogs_present")) << r.out;
    EXPECT_GT(row["dogs_present"]["relative_half_width"]["delta"].get<double>(),
              row["relative_half_width"]["wald"].get<double>());
    EXPECT_TRUE(row["dogs_present"]["coverage"].contains("delta"));
    const Outcome bad = run({"plan", "counts.txt", "--surveys", "30", "--reps", "12", "--sighting", "40,41"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("41"), std::string::npos) << bad.err;
}

TEST_F(PlanBatchTest, SelectWritesTheChosenWardsWithTheirChances) {
    const Outcome r = run({"select", "counts.txt", "--surveys", "15", "--design", "balanced", "--seed", "3", "--csv",
                           "wards.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = lines("wards.csv");
    ASSERT_EQ(rows.size(), 16u);
    EXPECT_EQ(rows[0], "ward,households,road_m,markets,selection_probability");
    std::set<std::string> names;
    std::ifstream data(dir_ / "counts.txt");
    std::set<std::string> in_file;
    for (std::string line; std::getline(data, line);) in_file.insert(cells(line)[0]);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto c = cells(rows[i]);
        ASSERT_EQ(c.size(), 5u) << rows[i];
        names.insert(c[0]);
        EXPECT_TRUE(in_file.count(c[0])) << c[0];
        EXPECT_EQ(c[4], "0.1875");  // 15 of 80
    }
    EXPECT_EQ(names.size(), 15u);
    const Outcome again = run({"select", "counts.txt", "--surveys", "15", "--design", "balanced", "--seed", "3",
                               "--csv", "again.csv"});
    ASSERT_EQ(again.status, 0);
    EXPECT_EQ(lines("again.csv"), rows);

    // stratified: every ward's chance is its stratum's share, summing to the wards chosen
    ASSERT_EQ(run({"select", "counts.txt", "--surveys", "10", "--design", "stratified:road_m:3", "--csv", "s.csv"}).status, 0);
    const auto strat = lines("s.csv");
    ASSERT_EQ(strat.size(), 11u);
}

#ifndef _WIN32
TEST_F(PlanBatchTest, ASignalKeepsTheWholeRowsSoFar) {
    // long enough that a fast machine is still at it: the signal comes once a row is written
    Process p(kBatch, {"plan", "counts.txt", "--surveys", "10:70:1", "--reps", "2000", "--csv", "plan.csv"}, dir_, {},
              "plan");
    for (int waited = 0; waited < 600; ++waited) {
        if (fs::exists(dir_ / "plan.csv") && lines("plan.csv").size() >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    p.signal(SIGINT);
    const Outcome r = p.wait(std::chrono::seconds(60));
    EXPECT_EQ(r.status, 130) << r.err;
    long rows = 0;
    if (fs::exists(dir_ / "plan.csv")) {
        const auto csv = lines("plan.csv");
        ASSERT_FALSE(csv.empty());
        const std::size_t columns = cells(csv[0]).size();
        for (std::size_t i = 1; i < csv.size(); ++i) EXPECT_EQ(cells(csv[i]).size(), columns) << csv[i];
        rows = static_cast<long>(csv.size()) - 1;
    }
    EXPECT_LT(rows, 61);
    EXPECT_NE(r.err.find("plan.csv holds " + std::to_string(rows) + " of 61 rows"), std::string::npos) << r.err;
}
#endif
