// SPDX-License-Identifier: GPL-3.0-or-later
// What the batch's JSON says of the numbers: the covariance of the free parameters behind
// each standard error, every interval with the target it covers, and results that cannot
// be trusted named, as a script reading the JSON meets them.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "testkit/process.h"
#include "testkit/scratch_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class BatchNumbers : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_batch_numbers");
        fs::copy_file(VALDMORA_EXAMPLE_DATA, dir_ / "counts.txt");
    }
    void TearDown() override { fs::remove_all(dir_); }
    json run_json(std::vector<std::string> args, int expected_status = 0) {
        args.push_back("--json");
        const auto r = valdmora::testing::run_program(VALDMORA_BATCH, args, dir_, {});
        EXPECT_EQ(r.status, expected_status) << r.err;
        return json::parse(r.out);
    }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    fs::path dir_;
};

}  // namespace

TEST_F(BatchNumbers, StandardErrorsAreTheSquareRootsOfTheCovariancesDiagonal) {
    const json j = run_json({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,households,markets"});
    const json& names = j["free_parameters"];
    const json& cov = j["covariance"];
    ASSERT_EQ(names.size(), 4u);  // the constant, two slopes and VoM - 1
    ASSERT_EQ(cov.size(), 4u);
    std::size_t seen = 0;
    for (const json& e : j["estimates"]) {
        if (!e["free"].get<bool>()) {
            EXPECT_TRUE(e["se"].is_null());
            continue;
        }
        const std::size_t k = seen++;
        EXPECT_EQ(names[k], e["name"]);
        EXPECT_DOUBLE_EQ(e["se"].get<double>(), std::sqrt(cov[k][k].get<double>()));
        for (std::size_t c = 0; c < 4; ++c) EXPECT_DOUBLE_EQ(cov[k][c].get<double>(), cov[c][k].get<double>());
    }
    EXPECT_EQ(seen, 4u);
}

TEST_F(BatchNumbers, EveryIntervalSaysWhatItCovers) {
    const json j = run_json({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,3", "--bootstrap", "40"});
    std::map<std::string, json> by_kind;
    for (const json& l : j["limits"]) by_kind[l["kind"].get<std::string>()] = l;
    ASSERT_EQ(by_kind.size(), 4u);
    for (const char* kind : {"wald", "bootstrap"})
        EXPECT_EQ(by_kind[kind]["target"], "prediction interval of the dogs in the unsurveyed wards") << kind;
    for (const char* kind : {"delta", "profile"})
        EXPECT_EQ(by_kind[kind]["target"],
                  "confidence interval of the expected number of dogs in the unsurveyed wards")
            << kind;
    EXPECT_EQ(by_kind["wald"]["lower"], j["pop_lower"]);
    EXPECT_EQ(by_kind["profile"]["upper"], j["profile_upper"]);
    EXPECT_EQ(by_kind["bootstrap"]["monte_carlo_error"].size(), 2u);
    // the expected number is known better than the dogs present
    EXPECT_GT(by_kind["delta"]["lower"].get<double>(), by_kind["wald"]["lower"].get<double>());
    EXPECT_TRUE(j["on_bound"].empty());
}

TEST_F(BatchNumbers, AllZeroCountsNameTheBoundAndNeverPassSilently) {
    std::string data = "households\n";
    for (int i = 1; i <= 15; ++i) data += "S" + std::to_string(i) + "," + std::to_string(100 + 7 * i) + ",0\n";
    write("zeros.txt", data + "U1,150\nU2,180\n");
    const json j = run_json({"estimate", "zeros.txt", "--dist", "negbin", "--free", "0"});
    ASSERT_FALSE(j["on_bound"].empty());
    bool named = false;
    for (const json& n : j["notices"]) named = named || n.get<std::string>().find("ended on its lower bound") != std::string::npos;
    EXPECT_TRUE(named) << j["notices"].dump();
}
