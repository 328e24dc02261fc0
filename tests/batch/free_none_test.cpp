// SPDX-License-Identifier: GPL-3.0-or-later
// --free none: every coefficient held at its start value and the extra parameter alone
// fitted, as the window does with its five boxes unticked.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "testkit/process.h"
#include "testkit/scratch_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;
using valdmora::testing::Outcome;

namespace {

class FreeNoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_free_none");
        fs::copy_file(VALDMORA_EXAMPLE_DATA, dir_ / "counts.txt");
    }
    void TearDown() override { fs::remove_all(dir_); }
    Outcome run(const std::vector<std::string>& args) { return valdmora::testing::run_program(VALDMORA_BATCH, args, dir_); }
    json estimate(const std::string& free) {
        const Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", free, "--start", "3,0,0,0,0,1",
                               "--json", "--out", "."});
        EXPECT_EQ(r.status, 0) << free << ": " << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    }
    fs::path dir_;
};

TEST_F(FreeNoneTest, NoneFitsTheExtraParameterAloneAndHoldsTheConstantAtItsStart) {
    const json none = estimate("none");
    ASSERT_FALSE(none.is_null());
    ASSERT_TRUE(none["fit_ok"].get<bool>());
    ASSERT_EQ(none["free_parameters"].size(), 1u);
    const json& constant = none["estimates"][0];
    const json& extra = none["estimates"].back();
    EXPECT_EQ(extra["box"], 5);
    EXPECT_EQ(none["free_parameters"][0], extra["name"]);
    EXPECT_FALSE(constant["free"].get<bool>());
    EXPECT_EQ(constant["value"].get<double>(), 3.0);
    EXPECT_TRUE(constant["se"].is_null());
    EXPECT_TRUE(extra["free"].get<bool>());
    EXPECT_NE(extra["value"].get<double>(), 1.0) << "the extra parameter was not fitted";
    EXPECT_FALSE(extra["se"].is_null());

    // the constant freed as well moves off 3, and the larger model fits at least as well
    const json constant_free = estimate("0");
    ASSERT_FALSE(constant_free.is_null());
    EXPECT_GT(std::abs(constant_free["estimates"][0]["value"].get<double>() - 3.0), 0.01);
    EXPECT_GE(constant_free["max_ll"].get<double>(), none["max_ll"].get<double>() - 1e-9);
}

TEST_F(FreeNoneTest, NoneWorksForASimulationAndStandsAloneInTheList) {
    // one free parameter: two surveyed wards are enough
    Outcome r = run({"simulate", "--free", "none", "--surveys", "2", "--reps", "3", "--seed", "4"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"simulate", "--free", "none", "--surveys", "1", "--reps", "3"});
    EXPECT_EQ(r.status, 2) << r.err;
    for (const char* list : {"none,0", "0,none", "None"}) {
        r = run({"estimate", "counts.txt", "--free", list, "--out", "."});
        EXPECT_EQ(r.status, 2) << list << ": " << r.err;
        EXPECT_NE(r.err.find("--free"), std::string::npos) << list << ": " << r.err;
    }
    EXPECT_NE(run({"estimate", "--help"}).out.find("or none to"), std::string::npos);
}

}  // namespace
