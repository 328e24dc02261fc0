// SPDX-License-Identifier: GPL-3.0-or-later
// The batch front end run as a user runs it: command lines, a real comma locale, a real
// full and read-only disk, a real second process, real signals, hostile files; the output,
// the exit status and the files left behind.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mount.h>
#include <sys/resource.h>
#endif

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "testkit/csv_reader.h"
#include "testkit/process.h"
#include "testkit/scratch_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;
using valdmora::testing::Outcome;
using valdmora::testing::Process;

namespace {

const std::string kBatch = VALDMORA_BATCH;

// Built with the address sanitizer (as the batch under test then is): memory bounds do not hold.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string slurp(const fs::path& p) { return Process::slurp(p); }

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_batch");
        fs::copy_file(VALDMORA_EXAMPLE_DATA, dir_ / "counts.txt");
    }
    void TearDown() override {
#ifndef _WIN32
        for (const fs::path& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
#endif
        fs::remove_all(dir_);
    }

    Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        return valdmora::testing::run_program(kBatch, args, dir_, env);
    }
    std::string file(const std::string& name) { return slurp(dir_ / name); }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
#ifndef _WIN32
    // A small file system of its own, or a skip where this machine does not allow one.
    fs::path mount_tmpfs(const std::string& name, const std::string& options) {
        const fs::path m = dir_ / name;
        fs::create_directories(m);
        if (::mount("tmpfs", m.c_str(), "tmpfs", 0, options.c_str()) != 0) return {};
        mounts_.push_back(m);
        return m;
    }
    static bool remount_read_only(const fs::path& m) {
        return ::mount("tmpfs", m.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
#endif

    fs::path dir_;
    std::vector<fs::path> mounts_;
};

void expect_finite_numbers(const json& j) {
    if (j.is_number()) {
        EXPECT_TRUE(std::isfinite(j.get<double>()));
    }
    if (j.is_structured())
        for (const auto& v : j) expect_finite_numbers(v);
}

// a batch run has no earlier fit: the line gives no change
std::string example_negbin_line() { return "maximum log likelihood = -115.693\n"; }

}  // namespace

TEST_F(BatchTest, EstimatePrintsTheResultLinesAndWritesBothFiles) {
    const Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,households,road_m,3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(example_negbin_line() + "estimated number of roaming dogs = 1,780 (", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nprofile-likelihood 95 % confidence limits of the expected number of dogs (the unsurveyed wards' summed linear predictor"),
              std::string::npos)
        << r.out;
    EXPECT_NE(file("ward_predictions.txt").find("Stonefield, "), std::string::npos);
    EXPECT_FALSE(file("user.txt").empty());
}

TEST_F(BatchTest, FilesWithinTheOldSizesAreByteForByteAsBefore) {
    fs::copy_file(VALDMORA_GOLDEN_DIR "/wards99.txt", dir_ / "wards99.txt");
    std::ifstream cases(VALDMORA_GOLDEN_DIR "/cases.txt");
    int n = 0;
    for (std::string line; std::getline(cases, line);) {
        ++n;
        std::istringstream words(line);
        std::string data, word;
        words >> data;
        std::vector<std::string> args;
        while (words >> word) args.push_back(word);
        const fs::path out = dir_ / ("case" + std::to_string(n));
        fs::create_directories(out);
        args.insert(args.end(), {"--out", out.string()});
        const Outcome r = run(args);
        const fs::path golden = fs::path(VALDMORA_GOLDEN_DIR) / ("case" + std::to_string(n));
        SCOPED_TRACE(line);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(out / "ward_predictions.txt"), slurp(golden / "ward_predictions.txt"));
        EXPECT_EQ(slurp(out / "user.txt"), slurp(golden / "user.txt"));
        // the two result lines, but for a sentence that now compares like with like only
        std::istringstream was(slurp(golden / "stdout.txt")), now(r.out);
        std::string label7, label8, new7, new8;
        std::getline(was, label7);
        std::getline(was, label8);
        std::getline(now, new7);
        std::getline(now, new8);
        EXPECT_EQ(new7, label7.substr(0, label7.find(';')));
        EXPECT_EQ(new8, label8);
    }
    EXPECT_EQ(n, 12);
}

TEST_F(BatchTest, JsonHasEveryFieldAndOnlyFiniteNumbers) {
    const Outcome r = run({"estimate", "counts.txt", "--dist", "normal", "--free", "0,1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    for (const char* key : {"fail_code", "fit_ok", "estimates", "max_ll", "pop_est", "limits_ok", "pop_lower",
                            "pop_upper", "profile_lower", "profile_upper", "counted_total", "df", "label7", "label8",
                            "profile", "evaluations", "notices"})
        EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_TRUE(j["fit_ok"].get<bool>());
    EXPECT_TRUE(j["limits_ok"].get<bool>());
    EXPECT_TRUE(j["notices"].empty());
    ASSERT_EQ(j["estimates"].size(), 5u);  // constant, three predictors, the extra parameter
    EXPECT_EQ(j["estimates"][1]["name"], "households");
    EXPECT_TRUE(j["estimates"][1]["se"].is_number());
    EXPECT_TRUE(j["estimates"][2]["se"].is_null());  // fixed
    EXPECT_EQ(j["estimates"][4]["name"], "SD");
    EXPECT_EQ(j["profile"].size(), 21u);
    EXPECT_LT(j["profile_lower"].get<double>(), j["profile_upper"].get<double>());
    EXPECT_EQ(j["df"], 32 - 3);
    EXPECT_EQ(j["counted_total"], 1162.0);
    expect_finite_numbers(j);
    // unavailable profile limits are null, with the reason among the notices
    const json w = json::parse(run({"estimate", "counts.txt", "--dist", "normal", "--free", "1", "--json"}).out);
    EXPECT_TRUE(w["profile_lower"].is_null());
    EXPECT_NE(w["notices"][0].get<std::string>().find("the constant is not free"), std::string::npos);
}

TEST_F(BatchTest, JsonNamesItsResultLinesAndKeepsTheOldLabelsForARelease) {
    const Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    const Outcome text = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3"});
    // the printed lines are the named keys, in order
    EXPECT_EQ(text.out, j["likelihood_line"].get<std::string>() + "\n" + j["estimate_line"].get<std::string>() + "\n" +
                            j["headline"].get<std::string>() + "\n" + j["intervals_line"].get<std::string>() + "\n");
    // the town's dogs: 1,162 counted plus the estimate, the Wald limits moved by the count
    EXPECT_EQ(j["headline"], "Dogs in the town: 2,942 (95 % prediction limits 2,716 to 3,168), of which 1,162 counted");
    EXPECT_EQ(j["likelihood_line"], "maximum log likelihood = -115.693");
    // label7 keeps the window's sentence, its change against the empty form's zero
    EXPECT_EQ(j["label7"], "maximum log likelihood = -115.693, change = -115.693");
    EXPECT_EQ(j["label8"], j["estimate_line"]);
    EXPECT_EQ(j["intervals"], j["intervals_line"]);
    // the line is the fit's own number, not a copy of a sentence
    EXPECT_NEAR(j["max_ll"].get<double>(), -115.693, 5e-4);
    // an output's form does not run the checks: only --checks does, and then the JSON has them
    for (const char* key : {"poisson_limit_test", "simulated_dispersion"}) EXPECT_FALSE(j.contains(key)) << key;
    const Outcome c = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3", "--json", "--checks"});
    ASSERT_EQ(c.status, 0) << c.err;
    const json k = json::parse(c.out);
    EXPECT_TRUE(k["poisson_limit_test"]["p_value"].is_number());
    EXPECT_EQ(k["simulated_dispersion"]["data_sets"], 500);
    EXPECT_EQ(k["max_ll"], j["max_ll"]);
}

TEST_F(BatchTest, CompareCsvOfPredictorNamesWithCommasKeepsThirteenFields) {
    // a ';' file may name its predictors with commas and quotes
    write("semi.txt",
          "households, all;road \"main\", km\nS1;19,4;1;12\nS2;3,5;2;15\nS3;8,25;3;9\nS4;12,1;4;20\nS5;1,5;2;7\n"
          "S6;6,5;5;11\nS7;9,75;1;16\nS8;14,2;3;13\nS9;2,5;4;8\nS10;11;2;14\nU1;4,4;1\nU2;7,1;3\n");
    const Outcome r = run({"compare", "semi.txt", "--csv", "models.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string csv = file("models.csv");
    const auto records = valdmora::testing::read_csv(csv);
    ASSERT_EQ(records.size(), 13u);  // the header and 3 distributions x 4 subsets
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 13);
    std::set<std::string> names;
    for (const auto& record : records) {
        EXPECT_EQ(record.size(), 13u) << record[0];
        names.insert(record[1]);
    }
    EXPECT_EQ(names, (std::set<std::string>{"predictors", "", "households, all", "road \"main\", km",
                                            "households, all+road \"main\", km"}));
}

#ifndef _WIN32  // a locale by name, devices, mounts, signals and pipes are POSIX's
TEST_F(BatchTest, ACommaLocaleGivesTheSameNumbersWithItsOwnSeparators) {
    const std::vector<std::string> de{"LC_ALL=de_DE.UTF-8"};
    const Outcome c = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3", "--out", "."});
    const std::string c_pred = file("ward_predictions.txt"), c_user = file("user.txt");
    const Outcome g = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3"}, de);
    ASSERT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(g.out.rfind("maximum log likelihood = -115,693\n"
                          "estimated number of roaming dogs = 1.780 (",
                          0),
              0u)
        << g.out;
    EXPECT_EQ(file("ward_predictions.txt"), c_pred);
    // user.txt writes its reals with the locale's separator, the rest alike
    std::string user = file("user.txt");
    EXPECT_NE(user.find(" 0,01 \r\n"), std::string::npos);
    std::replace(user.begin(), user.end(), ',', '.');
    EXPECT_EQ(user, c_user);
    // decimals in data files are points in every locale, or commas in ';' lines
    write("dec.txt", "a,b\nS1,19.4,1,12\nS2,3.5,2,15\nS3,8.25,3,9\nS4,12.1,4,20\nS5,1.5,2,7\nU1,4.4,1\n");
    write("semi.txt", "a;b\nS1;19,4;1;12\nS2;3,5;2;15\nS3;8,25;3;9\nS4;12,1;4;20\nS5;1,5;2;7\nU1;4,4;1\n");
    for (const char* data : {"dec.txt", "semi.txt"}) {
        const Outcome a = run({"estimate", data, "--dist", "normal", "--free", "0,a", "--json"}, de);
        ASSERT_EQ(a.status, 0) << a.err;
        const Outcome b = run({"estimate", "dec.txt", "--dist", "normal", "--free", "0,a", "--json"});
        EXPECT_EQ(json::parse(a.out)["max_ll"], json::parse(b.out)["max_ll"]) << data;
        EXPECT_EQ(json::parse(a.out)["pop_est"], json::parse(b.out)["pop_est"]) << data;
    }
    // the simulation too
    const Outcome s = run({"simulate", "--reps", "3", "--seed", "4", "--json"}, de);
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(json::parse(s.out)["n_sims"], 3);
}
#endif

#ifndef _WIN32  // a locale by name, devices, mounts, signals and pipes are POSIX's
TEST_F(BatchTest, OutputsThatCannotBeWrittenWholeFailLoudly) {
    // a folder that does not exist, or an output name that is a folder
    Outcome r = run({"estimate", "counts.txt", "--out", "no/such/folder"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no/such/folder does not exist"), std::string::npos) << r.err;
    fs::create_directories(dir_ / "o" / "user.txt");
    r = run({"estimate", "counts.txt", "--out", "o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("o/user.txt could not be written: it is a folder"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "o" / "ward_predictions.txt"));
    // a device is not replaced, and says so
    r = run({"simulate", "--reps", "2", "--seed", "1", "--csv", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/dev/full cannot be written: it is not a regular file"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}
#endif

#ifndef _WIN32  // a locale by name, devices, mounts, signals and pipes are POSIX's
TEST_F(BatchTest, AFullOrReadOnlyDiskLeavesTheEarlierFilesWhole) {
    const fs::path small = mount_tmpfs("small", "size=16k");
    if (small.empty()) GTEST_SKIP() << "this machine does not allow mounting a small file system";
    // a data file whose predictions file is larger than the disk
    std::string big = "a\n";
    for (int i = 0; i < 40; ++i) big += "S" + std::to_string(i) + "," + std::to_string(i) + "," + std::to_string(10 + i % 5) + "\n";
    for (int i = 0; i < 3000; ++i) big += "Unsurveyed ward number " + std::to_string(i) + "," + std::to_string(i % 40) + "\n";
    write("big.txt", big);
    std::ofstream(small / "ward_predictions.txt") << "earlier predictions\n";
    std::ofstream(small / "user.txt") << "earlier model data\n";
    const Outcome r = run({"estimate", "big.txt", "--dist", "normal", "--out", small.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ward_predictions.txt could not be written: No space left on device"), std::string::npos)
        << r.err;
    EXPECT_EQ(slurp(small / "ward_predictions.txt"), "earlier predictions\n");
    for (const auto& entry : fs::directory_iterator(small))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    // the smaller file fitted and was replaced whole
    EXPECT_EQ(slurp(small / "user.txt").rfind(" 95 \r\n", 0), 0u);
    // read-only: refused before any work, the files untouched
    const std::string user = slurp(small / "user.txt");
    ASSERT_TRUE(remount_read_only(small));
    const Outcome ro = run({"estimate", "counts.txt", "--out", small.string()});
    EXPECT_EQ(ro.status, 1);
    EXPECT_NE(ro.err.find("cannot be written: Read-only file system"), std::string::npos) << ro.err;
    EXPECT_EQ(slurp(small / "user.txt"), user);
}
#endif

TEST_F(BatchTest, ARefusedClickLeavesBothFilesAsTheyWere) {
    ASSERT_EQ(run({"estimate", "counts.txt"}).status, 0);
    const std::string pred = file("ward_predictions.txt"), user = file("user.txt");
    const Outcome r = run({"estimate", "counts.txt", "--dist", "normal", "--start", "10,1e300,0,0,0,0.25"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no finite value at the start values"), std::string::npos) << r.err;
    EXPECT_EQ(file("ward_predictions.txt"), pred);
    EXPECT_EQ(file("user.txt"), user);
}

TEST_F(BatchTest, TwoRunsAtOnceEachLeaveWholeFiles) {
    const std::vector<std::string> a{"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1,2,3"};
    const std::vector<std::string> b{"estimate", "counts.txt", "--dist", "normal", "--free", "0,1"};
    fs::create_directories(dir_ / "a");
    fs::create_directories(dir_ / "b");
    auto with_out = [](std::vector<std::string> args, const std::string& out) {
        args.insert(args.end(), {"--out", out});
        return args;
    };
    ASSERT_EQ(run(with_out(a, "a")).status, 0);
    ASSERT_EQ(run(with_out(b, "b")).status, 0);
    for (int pair = 0; pair < 20; ++pair) {
        Process p(kBatch, with_out(a, "."), dir_, {}, "p");
        Process q(kBatch, with_out(b, "."), dir_, {}, "q");
        ASSERT_EQ(p.wait().status, 0);
        ASSERT_EQ(q.wait().status, 0);
        for (const char* name : {"ward_predictions.txt", "user.txt"}) {
            const std::string now = file(name);
            EXPECT_TRUE(now == slurp(dir_ / "a" / name) || now == slurp(dir_ / "b" / name)) << name << " pair " << pair;
        }
    }
}

#ifndef _WIN32  // a locale by name, devices, mounts, signals and pipes are POSIX's
TEST_F(BatchTest, ASignalStopsASimulationAfterTheRepetitionInHand) {
    for (int sig : {SIGINT, SIGTERM}) {
        Process p(kBatch, {"simulate", "--reps", "32767", "--seed", "3", "--csv", "study.csv"}, dir_, {}, "sim");
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        p.signal(sig);
        const Outcome r = p.wait(std::chrono::seconds(60));
        EXPECT_EQ(r.status, 128 + sig) << r.err;
        const std::string csv = file("study.csv");
        std::istringstream lines(csv);
        std::string line;
        std::getline(lines, line);
        const auto columns = std::count(line.begin(), line.end(), ',');
        long rows = 0;
        while (std::getline(lines, line)) {
            ++rows;
            EXPECT_EQ(std::count(line.begin(), line.end(), ','), columns) << line;
        }
        EXPECT_GT(rows, 0);
        EXPECT_EQ(csv.back(), '\n');
        EXPECT_NE(r.err.find(std::to_string(rows) + " of 32767 repetitions done; study.csv holds " +
                             std::to_string(rows) + " rows"),
                  std::string::npos)
            << r.err;
    }
}
#endif

#ifdef _WIN32
// Ctrl-Break stops a simulation as SIGTERM does: after the repetition in hand, the rows so
// far kept, exit 143.
TEST_F(BatchTest, CtrlBreakStopsASimulationAfterTheRepetitionInHand) {
    AllocConsole();  // a console for the child to share (none when run with output redirected)
    Process p(kBatch, {"simulate", "--reps", "32767", "--seed", "3", "--csv", "study.csv"}, dir_, {}, "sim");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (!p.send_ctrl_break()) GTEST_SKIP() << "no console to send Ctrl-Break through";
    const Outcome r = p.wait(std::chrono::seconds(60));
    EXPECT_EQ(r.status, 143) << r.err;
    const std::string csv = file("study.csv");
    const auto rows = std::count(csv.begin(), csv.end(), '\n') - 1;
    EXPECT_GT(rows, 0);
    EXPECT_NE(r.err.find(std::to_string(rows) + " of 32767 repetitions done; study.csv holds " + std::to_string(rows) +
                         " rows\nstopped by Ctrl-Break"),
              std::string::npos)
        << r.err;
}
#endif

TEST_F(BatchTest, SeedsCountsAndRoundTripNumbers) {
    const Outcome a = run({"simulate", "--reps", "20", "--seed", "11", "--dist", "negbin", "--true",
                           "10,0.02,0,0,0,1", "--free", "0,1", "--json", "--csv", "a.csv"});
    const Outcome b = run({"simulate", "--reps", "20", "--seed", "11", "--dist", "negbin", "--true",
                           "10,0.02,0,0,0,1", "--free", "0,1", "--json", "--csv", "b.csv"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(file("a.csv"), file("b.csv"));
    const std::string csv = file("a.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 21);
    EXPECT_EQ(csv.find("e+0"), std::string::npos);  // no six-digit scientific forms
    const json j = json::parse(a.out);
    EXPECT_EQ(j["n_sims"], 20);
    EXPECT_TRUE(j.contains("coverage_profile"));
    expect_finite_numbers(j);
    EXPECT_NE(a.err.find("20 of 20 repetitions done"), std::string::npos);
    // every 64-bit seed is its own series
    const Outcome one = run({"simulate", "--seed", "1", "--json"});
    const Outcome wide = run({"simulate", "--seed", "4294967297", "--json"});
    ASSERT_EQ(wide.status, 0);
    EXPECT_NE(json::parse(one.out)["profile"], json::parse(wide.out)["profile"]);
    EXPECT_EQ(run({"simulate", "--seed", "18446744073709551615"}).status, 0);
    for (const char* bad : {"-1", "18446744073709551616", "1.5", "x"})
        EXPECT_EQ(run({"simulate", "--seed", bad}).status, 2) << bad;
    // a number of surveys rounds as the window rounds it; beyond 99 is allowed
    const Outcome s = run({"simulate", "--surveys", "20.4", "--seed", "2", "--json"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(json::parse(s.out)["df"], 20 - 2);
    EXPECT_EQ(run({"simulate", "--surveys", "150", "--seed", "2", "--dist", "normal", "--true", "40,0,0,0,0,5"}).status, 0);
}

// Without --generator a simulation draws from the model itself, the exact generator, and its
// JSON says so; the bench's classic draws only when asked for.
TEST_F(BatchTest, ASimulationDrawsExactlyUnlessTheClassicGeneratorIsAskedFor) {
    auto simulate = [&](std::vector<std::string> generator) {
        std::vector<std::string> args{"simulate", "--reps", "5", "--seed", "17", "--dist", "negbin",
                                      "--true", "10,0,0,0,0,1", "--json"};
        args.insert(args.end(), generator.begin(), generator.end());
        return run(args);
    };
    const Outcome plain = simulate({}), exact = simulate({"--generator", "exact"}),
                  classic = simulate({"--generator", "classic"});
    for (const Outcome* r : {&plain, &exact, &classic}) ASSERT_EQ(r->status, 0) << r->err;
    EXPECT_EQ(json::parse(plain.out)["generator"], "exact");
    EXPECT_EQ(json::parse(classic.out)["generator"], "classic");
    // the same draws as the exact generator's, and not the classic ones
    EXPECT_EQ(plain.out, exact.out);
    EXPECT_NE(json::parse(plain.out)["sim_total_mean"], json::parse(classic.out)["sim_total_mean"]);
}

// True values whose draws could not be counts are refused before any draw, naming the value
// and the limit: exit 1, nothing on standard output, no rows file.
TEST_F(BatchTest, SimulationsOfValuesThatCannotBeDrawnFailNamingTheValueAndTheLimit) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const char* negative_sd = "The extra parameter SD must be 0 or more to simulate (it is -1)";
    const std::vector<Case> cases{
        {{"--dist", "negbin", "--true", "10,1e300,0,0,0,1"}, "a ward's mean of 1.1E+303 is beyond single precision"},
        {{"--dist", "negbin", "--true", "10,0,0,0,0,1e300", "--reps", "2"},
         "a ward of mean 10 has a standard deviation of 3.162E+150, beyond the largest count the model library takes "
         "(2147483520)"},
        {{"--dist", "lognormal", "--true", "1e308,0,0,0,0,1e308", "--reps", "2", "--json"},
         "a ward's mean of 1E+308 is beyond single precision"},
        {{"--dist", "normal", "--true", "5,0,0,0,0,-1"}, negative_sd},
        {{"--dist", "normal", "--true", "5,0,0,0,0,-1", "--generator", "classic"}, negative_sd},
        {{"--file", "counts.txt", "--dist", "normal", "--true", "10,1e7,0,0,0,1"},
         "(the constant and coefficients 10; 10000000; 0; 0; 0; SD = 1): a ward's mean of 9.51E+09 is beyond"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"simulate", "--seed", "1", "--csv", "rows.csv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1) << c.message << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_FALSE(fs::exists(dir_ / "rows.csv")) << c.message;
    }
}

// A series whose means and spreads are within the limits can still draw a count beyond the
// largest: the series stops there, keeps and scores the repetitions done, and exits 1.
TEST_F(BatchTest, ADrawBeyondTheLargestCountStopsTheSeriesKeepingItsRows) {
    const Outcome r = run({"simulate", "--seed", "3", "--reps", "40", "--dist", "normal", "--true",
                           "1.86e9,0,0,0,0,1e8", "--json", "--csv", "rows.csv"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("drew a count of 2.1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("This simulation is neither kept nor scored."), std::string::npos) << r.err;
    const json j = json::parse(r.out);
    const long done = j["repetitions"].get<long>();
    EXPECT_GT(done, 0);
    EXPECT_LT(done, 40);
    EXPECT_EQ(j["n_sims"].get<long>(), done);
    EXPECT_NE(j["notices"].dump().find("drew a count of"), std::string::npos);
    EXPECT_NE(r.err.find(std::to_string(done) + " of 40 repetitions done; rows.csv holds " + std::to_string(done) +
                         " rows"),
              std::string::npos)
        << r.err;
}

TEST_F(BatchTest, NamedWardsThatAreNotThereFail) {
    Outcome r = run({"estimate", "counts.txt", "--ward", "Atlantis"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("specified unsurveyed ward not found in data file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Atlantis"), std::string::npos);
    r = run({"estimate", "counts.txt", "--ward", "Southdale", "--json"});  // a surveyed ward
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(json::parse(r.out)["notices"].dump().find("not found"), std::string::npos);
    EXPECT_EQ(run({"estimate", "counts.txt", "--ward", "Elmdale"}).status, 0);
}

#ifndef _WIN32  // a locale by name, devices, mounts, signals and pipes are POSIX's
TEST_F(BatchTest, HostileFilesGetAClearMessageAndNeverACrash) {
    struct Case {
        std::string name, content, message;
    };
    const std::vector<Case> cases{
        {"empty.txt", "", "is empty; its first line must name"},
        {"utf16.txt", std::string("\xFF\xFE" "a\0,\0b\0\n\0", 10), "seems to be UTF-16"},
        {"binary.txt", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10) + std::string(300, '\x03'), "binary"},
        {"control.txt", "a\nW\x1b[2J,1\n", "control character"},
        {"wide.txt", "a,b\nX" + std::string(500000, ',') + "\n", "5 fields or more"},
        {"wider.txt", "a,b\nX" + std::string(5000000, ',') + "\n", "longer than 1 MiB"},
        {"long.txt", std::string(20 << 20, 'z'), "longer than 1 MiB"},
        {"huge.txt", "a\nW,3e38,5\nV,3e38\nU,3e38\nT,3e38\n", "too large"},
    };
    for (const Case& c : cases) {
        write(c.name, c.content);
        // bounded memory: 700 MB of address space is plenty for any of them (AddressSanitizer
        // reserves terabytes of shadow, so its builds run unbounded)
#ifdef __SANITIZE_ADDRESS__
        const std::string limit;
#else
        const std::string limit = "ulimit -v 700000; ";
#endif
        const Outcome r = valdmora::testing::run_program(
            "/bin/sh", {"-c", limit + "exec '" + kBatch + "' estimate " + c.name}, dir_);
        EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << c.name;
        EXPECT_EQ(r.err.find("line 0"), std::string::npos) << c.name;
    }
    // a pipe with no writer is refused at once
    ASSERT_EQ(::mkfifo((dir_ / "pipe.txt").c_str(), 0600), 0);
    Process p(kBatch, {"estimate", "pipe.txt"}, dir_, {}, "pipe");
    const Outcome r = p.wait(std::chrono::seconds(20));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a regular file (a pipe)"), std::string::npos) << r.err;
}
#endif

// Names in any script, reaching a Windows program as UTF-16, and a data file with CRLF
// line ends as Windows editors save it: the same results as the plain file.
TEST_F(BatchTest, NamesInAnyScriptAndCrlfLinesGiveTheSameFiles) {
    ASSERT_EQ(run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1"}).status, 0);
    const std::string predictions = file("ward_predictions.txt"), user = file("user.txt");
    std::string crlf;
    for (char c : slurp(dir_ / "counts.txt")) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string data = "W\xc3\xa4lder \xce\xa9 \xe5\x8c\x97.txt", folder = "Ausgabe \xc3\xb8";
    std::ofstream(dir_ / fs::path(std::u8string(reinterpret_cast<const char8_t*>(data.data()), data.size())),
                  std::ios::binary)
        << crlf;
    const fs::path out = dir_ / fs::path(std::u8string(reinterpret_cast<const char8_t*>(folder.data()), folder.size()));
    fs::create_directories(out);
    const Outcome r = run({"estimate", data, "--dist", "negbin", "--free", "0,1", "--out", folder});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(out / "ward_predictions.txt"), predictions);
    EXPECT_EQ(slurp(out / "user.txt"), user);
}

TEST_F(BatchTest, LatinOneAndByteOrderMarkedFilesGiveValidJson) {
    write("latin.txt", "h\xE4user,m\xE4rkte\nK\xF6penick,10,1,12\nSpandau,12,2,15\nWedding,9,1,11\nMitte,15,3,19\n"
                       "Pankow,11,2,13\nNeuk\xF6lln,14,1\n");
    Outcome r = run({"estimate", "latin.txt", "--dist", "normal", "--free", "0,1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["estimates"][1]["name"], "h\xC3\xA4user");
    write("bom.txt", "\xEF\xBB\xBF" + slurp(VALDMORA_EXAMPLE_DATA));
    r = run({"estimate", "bom.txt", "--free", "0,households"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BatchTest, ABlankLineInTheDataIsANoticeNotAFailure) {
    std::string data = slurp(VALDMORA_EXAMPLE_DATA);
    std::size_t at = 0;
    for (int line = 0; line < 70; ++line) at = data.find('\n', at) + 1;
    data.insert(at, "\n");
    write("gap.txt", data);
    const Outcome r = run({"estimate", "gap.txt", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("blank line 71: 11 lines after it were not read"), std::string::npos) << r.err;
    EXPECT_NE(json::parse(r.out)["notices"].dump().find("not read"), std::string::npos);
}

TEST_F(BatchTest, ATruncatedModelLibraryIsRefusedWithAMessage) {
    const fs::path copy = dir_ / "bin";
    fs::create_directories(copy);
    const fs::path program = copy / fs::path(kBatch).filename();
    fs::copy_file(kBatch, program);
#ifdef _WIN32
    const std::string library_name = "valdmora.dll";
    // the DLLs it needs besides ours, from the build's folder
    for (const auto& e : fs::directory_iterator(fs::path(kBatch).parent_path()))
        if (e.path().extension() == ".dll" && e.path().filename() != library_name)
            fs::copy_file(e.path(), copy / e.path().filename());
#else
    const std::string library_name = "libvaldmora.so";
#endif
    const std::string library = (fs::path(kBatch).parent_path() / library_name).string();
    const std::string whole = slurp(library);
    for (std::size_t cut : {1000u, 4096u, 9000u, 17000u, static_cast<unsigned>(whole.size() - 100)}) {
        std::ofstream(copy / library_name, std::ios::binary | std::ios::trunc) << whole.substr(0, cut);
        const Outcome r = valdmora::testing::run_program(program.string(), {"estimate", "../counts.txt"}, copy);
        EXPECT_EQ(r.status, 1) << cut << ": " << r.err;
        EXPECT_NE(r.err.find("cannot be used: it is cut off"), std::string::npos) << cut << ": " << r.err;
    }
}

#ifdef VALDMORA_FAILING_FIT
// An estimate whose fit fails is a failure of the run: exit 1 and the message, with the
// result lines and with --json alike. The program is copied beside a stand-in library whose
// every fit reports failure.
TEST_F(BatchTest, AnEstimateWhoseFitFailsExitsOneWithTheMessage) {
    fs::create_directories(dir_ / "bin");
    fs::copy_file(kBatch, dir_ / "bin" / "valdmora-batch");
    fs::copy_file(VALDMORA_FAILING_FIT, dir_ / "bin" / "libvaldmora.so");
    const std::string program = (dir_ / "bin" / "valdmora-batch").string();
    const std::string message = "The fit did not converge (failure code 4)";
    const Outcome lines = valdmora::testing::run_program(program, {"estimate", "../counts.txt"}, dir_ / "bin");
    EXPECT_EQ(lines.status, 1) << lines.err;
    EXPECT_NE(lines.err.find(message), std::string::npos) << lines.err;
    EXPECT_NE(lines.out.find("the fit failed (failure code 4)"), std::string::npos) << lines.out;
    const Outcome j = valdmora::testing::run_program(program, {"estimate", "../counts.txt", "--json"}, dir_ / "bin");
    EXPECT_EQ(j.status, 1) << j.err;
    EXPECT_NE(j.err.find(message), std::string::npos) << j.err;
    const json result = json::parse(j.out);
    EXPECT_EQ(result["fail_code"], 4);
    EXPECT_NE(result["notices"].dump().find(message), std::string::npos) << j.out;
}
#endif

TEST_F(BatchTest, UsageErrorsExitTwoAndHelpSaysWhatEachSubcommandDoes) {
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"estimate", "counts.txt", "--start", "1,2,3"},
                                               {"estimate", "counts.txt", "--bogus"},
                                               {},
                                               {"estimate", "counts.txt", "--range", "abc"},
                                               {"estimate", "counts.txt", "--free", "7"},
                                               {"simulate", "--reps", "x"},
                                               {"simulate", "--reps", "40000"},
                                               {"simulate", "--surveys", "abc"},
                                               {"simulate", "--file", "counts.txt", "--surveys", "20"},
                                               {"estimate", "counts.txt", "--bootstrap", "-3"},
                                               // an empty value is never taken for the default
                                               {"estimate", "counts.txt", "--seed", ""},
                                               {"estimate", "counts.txt", "--residuals", ""},
                                               {"estimate", "", "--json"},
                                               {"compare", "counts.txt", "--csv", ""},
                                               {"simulate", "--csv", ""},
                                               {"simulate", "--free", ""},
                                               // numbers out of their range, each with its option named
                                               {"simulate", "--surveys", "0"},
                                               {"simulate", "--surveys", "-4"},
                                               {"simulate", "--surveys", "1e9"},
                                               {"simulate", "--surveys", "2"},
                                               {"simulate", "--surveys", "3", "--free", "0,1"},
                                               {"estimate", "counts.txt", "--range", "0"},
                                               {"estimate", "counts.txt", "--range", "-50"},
                                               {"simulate", "--range", "nan"},
                                               // both sides of every whole-number limit
                                               {"simulate", "--reps", "0"},
                                               {"simulate", "--reps", "-1"},
                                               {"simulate", "--reps", "32768"},
                                               {"simulate", "--bootstrap", "-1"},
                                               {"estimate", "counts.txt", "--bootstrap", "1000001"},
                                               {"simulate", "--seed", "-0"},
                                               {"estimate", "counts.txt", "--range", "-0"}}) {
        const Outcome r = run(bad);
        std::string line;
        for (const auto& a : bad) line += a + " ";
        EXPECT_EQ(r.status, 2) << line << r.err;
    }
    Outcome r = run({"estimate", "missing.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.txt cannot be opened"), std::string::npos) << r.err;
    write("bad.txt", "a,b\nX,1,2,,,\n");
    r = run({"estimate", "bad.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("please check data file"), std::string::npos) << r.err;
    r = run({"simulate", "--dist", "negbin", "--true", "10,0,0,0,0,0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("VoM - 1"), std::string::npos) << r.err;
    // the least number of surveys the help names works
    EXPECT_EQ(run({"simulate", "--surveys", "3", "--seed", "1"}).status, 0);
    EXPECT_NE(run({"simulate", "--help"}).out.find("3 with the default --free 0"), std::string::npos);
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* text : {"estimate", "simulate", "One estimate from a count data file", "SUBCOMMAND --help"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    EXPECT_NE(run({"estimate", "--help"}).out.find("--ward"), std::string::npos);
}

TEST_F(BatchTest, ALongLognormalStudyCoversNearNinetyFivePerCent) {
    const Outcome r = run({"simulate", "--reps", "1000", "--seed", "2026", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["n_sims"], 1000);
    EXPECT_GE(j["coverage"].get<double>(), 0.80);
    EXPECT_LE(j["coverage"].get<double>(), 1.00);
}

TEST_F(BatchTest, ASimulatedProfileHasNoDip) {
    const Outcome r = run({"simulate", "--true", "5,0.05,0,0,0,0.3", "--free", "0,1", "--seed", "6", "--reps", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json profile = json::parse(r.out)["profile"];
    ASSERT_EQ(profile.size(), 21u);
    for (std::size_t k = 1; k + 1 < profile.size(); ++k) {
        const double here = profile[k][1].get<double>();
        EXPECT_FALSE(here < profile[k - 1][1].get<double>() && here < profile[k + 1][1].get<double>()) << "dip at " << k;
    }
}

TEST_F(BatchTest, EstimateWithABootstrapAndASeededStudyOfEveryInterval) {
    Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1", "--bootstrap", "300", "--seed", "9", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["boot_reps"], 300);
    EXPECT_LT(j["boot_lower"].get<double>(), j["pop_est"].get<double>());
    EXPECT_EQ(json::parse(run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1", "--bootstrap", "300",
                               "--seed", "9", "--json"})
                              .out)["boot_upper"],
              j["boot_upper"]);
    // 200 simulated surveys of 40 wards with normal errors: each interval covers its
    // quantity about 95 % of the time
    r = run({"simulate", "--reps", "200", "--seed", "31", "--surveys", "40", "--dist", "normal", "--true",
             "40,0.02,0,0,0,6", "--free", "0,1", "--bootstrap", "200", "--json", "--csv", "study.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = json::parse(r.out);
    for (const char* key : {"coverage", "coverage_profile", "coverage_bootstrap", "coverage_delta"}) {
        // three binomial standard deviations about 95 % for 200 draws
        EXPECT_GE(j[key].get<double>(), 0.95 - 3 * std::sqrt(0.95 * 0.05 / 200)) << key;
        EXPECT_LE(j[key].get<double>(), 1.0) << key;
    }
    EXPECT_NE(j["summary"].get<std::string>().find("bootstrap prediction limits: simulated dogs outside in"), std::string::npos);
    const std::string csv = file("study.csv");
    EXPECT_EQ(csv.rfind("rep,true_total,estimate,lower,upper,outside,fail_code,true_lp_total,profile_lower,"
                        "profile_upper,profile_outside,boot_lower,boot_upper,boot_outside,boot_failed,expected_total,"
                        "delta_lower,delta_upper,delta_outside\n",
                        0),
              0u);
}

TEST_F(BatchTest, EachRowsScoreIsItsLimitsAgainstItsTargetAndTheTalliesAddUp) {
    // few surveys and a short bootstrap, so that every kind of limits misses now and then
    const Outcome r = run({"simulate", "--reps", "80", "--seed", "12", "--surveys", "6", "--bootstrap", "20", "--json",
                           "--csv", "score.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    const auto records = valdmora::testing::read_csv(file("score.csv"));
    ASSERT_EQ(records.size(), 81u);
    std::map<std::string, std::size_t> column;
    for (std::size_t c = 0; c < records[0].size(); ++c) column[records[0][c]] = c;
    // prediction limits hold the dogs drawn strictly inside (as drawn, in single precision);
    // confidence limits the expected number; a missing limit is a miss
    auto outside = [](const std::string& lower, const std::string& upper, double truth, bool single) {
        if (lower.empty() || upper.empty()) return true;
        double lo = std::stod(lower), hi = std::stod(upper);
        if (single) {
            lo = static_cast<float>(lo);
            hi = static_cast<float>(hi);
        }
        return !(lo < truth && truth < hi);
    };
    std::map<std::string, int> misses;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const auto& row = records[i];
        auto cell = [&](const char* name) { return row[column.at(name)]; };
        ASSERT_NE(cell("outside"), "left_out");
        const double drawn = std::stod(cell("true_total")), expected = std::stod(cell("expected_total"));
        for (const auto& [kind, lower, upper, truth, single] :
             std::vector<std::tuple<std::string, const char*, const char*, double, bool>>{
                 {"outside", "lower", "upper", drawn, true},
                 {"boot_outside", "boot_lower", "boot_upper", drawn, true},
                 {"profile_outside", "profile_lower", "profile_upper", expected, false},
                 {"delta_outside", "delta_lower", "delta_upper", expected, false}}) {
            const bool miss = outside(cell(lower), cell(upper), truth, single);
            EXPECT_EQ(cell(kind.c_str()), miss ? "outside" : "inside") << kind << " in row " << i;
            misses[kind] += miss;
        }
    }
    // the series' tallies are the rows' scores
    EXPECT_EQ(j["n_sims"], 80);
    EXPECT_EQ(j["n_outside_cl"], misses["outside"]);
    EXPECT_DOUBLE_EQ(j["coverage"].get<double>(), 1.0 - misses["outside"] / 80.0);
    EXPECT_DOUBLE_EQ(j["coverage_bootstrap"].get<double>(), 1.0 - misses["boot_outside"] / 80.0);
    EXPECT_DOUBLE_EQ(j["coverage_profile"].get<double>(), 1.0 - misses["profile_outside"] / 80.0);
    EXPECT_DOUBLE_EQ(j["coverage_delta"].get<double>(), 1.0 - misses["delta_outside"] / 80.0);
    EXPECT_GT(misses["outside"] + misses["boot_outside"] + misses["profile_outside"] + misses["delta_outside"], 0);
}

TEST_F(BatchTest, CompareTablesEveryModelAndResidualsGoToACsv) {
    fs::copy_file(VALDMORA_REFERENCE_DIR "/compare40.txt", dir_ / "compare40.txt");
    Outcome r = run({"compare", "compare40.txt", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_EQ(j["models"].size(), 24u);
    for (const char* key : {"dist", "predictors", "k", "n", "fail_code", "log_lik", "aic", "aicc", "delta_aicc", "weight",
                            "pop_est", "pop_lower", "pop_upper"})
        EXPECT_TRUE(j["models"][0].contains(key)) << key;
    EXPECT_EQ(j["models"][0]["dist"], "negbin");
    EXPECT_EQ(j["models"][0]["predictors"], "households+road_km+markets");
    EXPECT_EQ(j["models"][0]["delta_aicc"], 0.0);
    EXPECT_NE(j["note"].get<std::string>().find("only approximate"), std::string::npos);
    r = run({"compare", "compare40.txt", "--csv", "models.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string csv = file("models.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 25);
    EXPECT_EQ(csv.rfind("dist,predictors,k,n,fail_code,log_lik,aic,aicc,delta_aicc,weight,pop_est,pop_lower,pop_upper\n"
                        "negbin,households+road_km+markets,5,40,0,",
                        0),
              0u)
        << csv.substr(0, 200);
    EXPECT_EQ(run({"compare", "compare40.txt", "--json", "--csv", "x.csv"}).status, 2);
    // the table for a terminal writes plain numbers: three decimals, never a bare "433."
    r = run({"compare", "compare40.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::regex_search(r.out, std::regex("[0-9]\\.(\\s|$)"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("-130\\.564 "))) << r.out;
    // the residuals of an estimate, and its dispersion
    r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1", "--residuals", "res.csv", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(json::parse(r.out)["dispersion"].get<double>(), 0.0);
    const std::string res = file("res.csv");
    EXPECT_EQ(res.rfind("ward,count,fitted,pearson,quantile\nSouthdale,36,", 0), 0u) << res.substr(0, 80);
    EXPECT_EQ(std::count(res.begin(), res.end(), '\n'), 33);
}

#ifndef _WIN32  // limits, links, signals, mounts, the loader and LD_PRELOAD are POSIX's
TEST_F(BatchTest, MoreSurveysThanTheMemoryHoldsAreRefusedBeforeAnyIsDrawn) {
    if (kSanitized) GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
    // a limit of 4 GB for the program, whatever this machine has
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &before), 0);
    rlimit small = before;
    small.rlim_cur = 4ull << 30;
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &small), 0);
    const Outcome r = run({"simulate", "--surveys", "100000000", "--seed", "1"});
    ::setrlimit(RLIMIT_AS, &before);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("need about 37.3 GB of memory"), std::string::npos) << r.err;
}

TEST_F(BatchTest, AnOutputThatReachesTheDataOrAnotherOutputIsRefusedBeforeAnythingIsWritten) {
    const std::string data = file("counts.txt");
    fs::create_directories(dir_ / "D");
    fs::create_hard_link(dir_ / "counts.txt", dir_ / "hard.txt");
    fs::create_symlink("counts.txt", dir_ / "soft.txt");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"estimate", "counts.txt", "--residuals", "counts.txt"},
             {"estimate", "counts.txt", "--residuals", "./D/../counts.txt"},
             {"estimate", "counts.txt", "--out", "D", "--residuals", "D/ward_predictions.txt"},
             {"estimate", "soft.txt", "--out", "D", "--residuals", "D/../D/./user.txt"},
             {"compare", "counts.txt", "--csv", "hard.txt"},
             {"compare", "counts.txt", "--csv", "soft.txt"},
             {"simulate", "--file", "counts.txt", "--csv", "counts.txt"},
             {"simulate", "--csv", "D/user.txt", "--out", "D"},
             {"estimate", "user.txt"}}) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        if (args.back() == "user.txt") {
            // the data file may itself be named like an output: it is one of the run's
            fs::copy_file(dir_ / "counts.txt", dir_ / "user.txt");
        }
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << line << r.err;
        EXPECT_NE(r.err.find("writing it would destroy that file"), std::string::npos) << line << r.err;
        EXPECT_EQ(file("counts.txt"), data) << line;
        EXPECT_FALSE(fs::exists(dir_ / "D" / "ward_predictions.txt")) << line;
        EXPECT_FALSE(fs::exists(dir_ / "ward_predictions.txt")) << line;
        EXPECT_TRUE(fs::is_symlink(dir_ / "soft.txt"));
    }
    // a different file of the same name elsewhere is not the data
    fs::copy_file(dir_ / "counts.txt", dir_ / "D" / "counts.txt");
    EXPECT_EQ(run({"compare", "D/counts.txt", "--csv", "counts.csv"}).status, 0);
}

#endif

TEST_F(BatchTest, EchoedNamesNeverCarryRawTerminalBytes) {
    const std::string hostile = "nodir\x1b]0;pwned\x07";
    write("esc.txt", "a\nW\x1b[2J1,1,0.5\nW2,2,3\nW3,3,4\nW4,4,5\nU\x07,5\n");
    const std::vector<std::vector<std::string>> runs{
        {"compare", "counts.txt", "--csv", hostile + "/r.csv"},
        {"estimate", "counts.txt", "--residuals", hostile + "/r.csv"},
        {"estimate", "counts.txt", "--out", hostile},
        {"simulate", "--csv", hostile + "/s.csv"},
        {"estimate", "counts.txt", "--ward", "Atl\x1b]2;x\x07ntis"},
        {"estimate", "counts.txt", "--range", "\x1b[31m"},
        {"estimate", "esc.txt"},
        {"estimate", hostile + ".txt"}};
    for (const auto& args : runs) {
        const Outcome r = run(args);
        EXPECT_NE(r.status, 0) << args.back();
        for (const std::string* text : {&r.out, &r.err}) {
            EXPECT_EQ(text->find('\x1b'), std::string::npos) << args.back() << ": " << *text;
            EXPECT_EQ(text->find('\x07'), std::string::npos) << args.back() << ": " << *text;
        }
        EXPECT_NE(r.err.find("\\x1B"), std::string::npos) << args.back() << ": " << r.err;
    }
    // DEL and the C1 controls (U+0080..U+009F: CSI is U+009B) move a terminal as ESC does; they
    // come in arguments and paths, as UTF-8 in a file, and as Latin-1 bytes Windows leaves undefined
    write("c1.txt", "a\nW\xC2\x9B" "2J,1,0\nW2,2,3\nW3,3,4\nW4,4,5\nU,5\n");
    write("latin.txt", "a\nW\x81,1,0\nW2,2,3\nW3,3,4\nW4,4,5\nU,5\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> more{
        {{"estimate", "counts.txt", "--ward", "Atl\x7Fntis"}, "Atl\\x7Fntis"},
        {{"estimate", "no\x7F" "dir.txt"}, "no\\x7Fdir.txt"},
        {{"estimate", "counts.txt", "--ward", "Atl\xC2\x80ntis\xC2\x9F"}, "Atl\\u0080ntis\\u009F"},
        {{"estimate", "counts.txt", "--out", "o\xC2\x9B" "2J"}, "o\\u009B2J"},
        {{"estimate", "c1.txt"}, "W\\u009B2J"},
        {{"estimate", "latin.txt"}, "W\\u0081"}};
    for (const auto& [args, escaped] : more) {
        const Outcome r = run(args);
        EXPECT_NE(r.status, 0) << escaped;
        for (const std::string* text : {&r.out, &r.err}) {
            EXPECT_EQ(text->find('\x7F'), std::string::npos) << escaped << ": " << *text;
            EXPECT_EQ(text->find('\x81'), std::string::npos) << escaped << ": " << *text;
            for (int c1 = 0x80; c1 <= 0x9F; ++c1)
                EXPECT_EQ(text->find(std::string("\xC2") + static_cast<char>(c1)), std::string::npos)
                    << escaped << ": " << *text;
        }
        EXPECT_NE(r.err.find(escaped), std::string::npos) << escaped << ": " << r.err;
    }
}

#ifndef _WIN32  // limits, links, signals, mounts, the loader and LD_PRELOAD are POSIX's
TEST_F(BatchTest, ADanglingLinkAsOutputIsWrittenThroughAndStaysALink) {
    fs::create_directories(dir_ / "t");
    fs::create_symlink("t/models.csv", dir_ / "link.csv");
    ASSERT_EQ(run({"compare", "counts.txt", "--csv", "link.csv"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.csv"));
    EXPECT_EQ(file("t/models.csv").rfind("dist,predictors,", 0), 0u);
    // a link into a folder that is not there is refused, and stays as it was
    fs::create_symlink("none/models.csv", dir_ / "nowhere.csv");
    const Outcome r = run({"compare", "counts.txt", "--csv", "nowhere.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("none does not exist"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir_ / "nowhere.csv"));
}

TEST_F(BatchTest, ASignalAtAnyMomentLeavesNoTemporaryAndOnlyWholeFiles) {
    std::string big = "a,b\n";
    for (int i = 0; i < 60; ++i)
        big += "S" + std::to_string(i) + "," + std::to_string(i % 17 + 1) + "," + std::to_string(i % 5) + "," +
               std::to_string(10 + i % 7) + "\n";
    for (int i = 0; i < 200000; ++i) big += "Unsurveyed ward " + std::to_string(i) + "," + std::to_string(i % 40) + ",1\n";
    write("big.txt", big);
    const std::vector<std::string> args{"estimate", "big.txt", "--dist", "normal", "--free", "0,1,2"};
    ASSERT_EQ(run(args).status, 0);
    const std::string whole = file("ward_predictions.txt");
    int stopped = 0;
    for (int ms = 100; ms <= 1400; ms += 150) {
        write("ward_predictions.txt", "earlier\n");
        Process p(kBatch, args, dir_, {}, "sig");
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        p.signal(ms % 300 == 100 ? SIGINT : SIGTERM);
        const Outcome r = p.wait(std::chrono::seconds(30));
        ASSERT_TRUE(r.status == 0 || r.status == 130 || r.status == 143) << ms << ": " << r.status << r.err;
        stopped += r.status != 0;
        const std::string now = file("ward_predictions.txt");
        EXPECT_TRUE(now == "earlier\n" || now == whole) << ms << " ms: " << now.size() << " bytes";
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << ms << ": " << entry.path();
    }
    EXPECT_GT(stopped, 0);
}

TEST_F(BatchTest, ASignalStopsALongBootstrapWithinASecondKeepingWholeRows) {
    for (int sig : {SIGTERM, SIGINT}) {
        Process p(kBatch, {"simulate", "--reps", "50", "--seed", "4", "--bootstrap", "100000", "--csv", "boot.csv"},
                  dir_, {}, "boot");
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto sent = std::chrono::steady_clock::now();
        p.signal(sig);
        const Outcome r = p.wait(std::chrono::seconds(30));
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1));
        EXPECT_EQ(r.status, 128 + sig) << r.err;
        const std::string csv = file("boot.csv");
        ASSERT_FALSE(csv.empty());
        EXPECT_EQ(csv.back(), '\n');
        const long rows = std::count(csv.begin(), csv.end(), '\n') - 1;
        EXPECT_NE(r.err.find(std::to_string(rows) + " of 50 repetitions done; boot.csv holds " + std::to_string(rows) +
                             " rows"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(BatchTest, ASimulationKilledOutrightLeavesTheWholeRowsOfItsLastCheckpoint) {
    Process p(kBatch, {"simulate", "--reps", "32767", "--seed", "5", "--csv", "study.csv"}, dir_, {}, "kill");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    p.signal(SIGKILL);
    EXPECT_EQ(p.wait(std::chrono::seconds(30)).status, 128 + SIGKILL);
    const std::string csv = file("study.csv");
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(csv.back(), '\n');
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    const auto columns = std::count(line.begin(), line.end(), ',');
    long rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        EXPECT_EQ(line.rfind(std::to_string(rows) + ",", 0), 0u) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), columns) << line;
    }
    EXPECT_GT(rows, 0);
}

TEST_F(BatchTest, ASimulationOnAFullDiskSaysItsFileWasNotWritten) {
    const fs::path small = mount_tmpfs("small", "size=8k");
    if (small.empty()) GTEST_SKIP() << "this machine does not allow mounting a small file system";
    std::ofstream(small / "study.csv") << "earlier\n";
    const Outcome r = run({"simulate", "--reps", "300", "--seed", "1", "--csv", (small / "study.csv").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("study.csv could not be written: No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("holds 300 rows"), std::string::npos) << r.err;
    // the earlier file, or (on a slow machine) the rows of a checkpoint that still fitted
    const std::string now = slurp(small / "study.csv");
    const std::string head = "300 of 300 repetitions done; " + (small / "study.csv").string();
    if (now == "earlier\n") {
        EXPECT_NE(r.err.find(head + " was not written"), std::string::npos) << r.err;
    } else {
        const long rows = std::count(now.begin(), now.end(), '\n') - 1;
        EXPECT_NE(r.err.find(head + " holds " + std::to_string(rows) + " rows, those of its last checkpoint"),
                  std::string::npos)
            << r.err;
    }
}

#endif

TEST_F(BatchTest, EveryCsvQuotesNamesAndKeepsFormulasAsText) {
    // a name with a comma comes in a ';' line, whose numbers may use '.' as well
    write("names.txt",
          "=SUM(1+1),b\n=HYPERLINK(\"x\"),1,0.5,3\nHill, North;2;-1.5;5\n+Plus,3,0.2,4\n"
          "@At,4,0.1,9\n-Minus,5,0.3,6\nPlain,6,0.4,8\nU1,3,1\n");
    Outcome r = run({"estimate", "names.txt", "--dist", "normal", "--free", "0,1", "--residuals", "res.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string res = file("res.csv");
    EXPECT_NE(res.find("\n\"'=HYPERLINK(\"\"x\"\")\",3,"), std::string::npos) << res;
    EXPECT_NE(res.find("\n\"Hill, North\",5,"), std::string::npos) << res;
    EXPECT_NE(res.find("\n'+Plus,4,"), std::string::npos) << res;
    EXPECT_NE(res.find("\n'@At,9,"), std::string::npos) << res;
    EXPECT_NE(res.find("\n'-Minus,6,"), std::string::npos) << res;
    // numbers keep their sign: a residual below the fit is negative, never quoted
    EXPECT_NE(res.find(",-"), std::string::npos) << res;
    EXPECT_EQ(res.find(",'-"), std::string::npos) << res;
    r = run({"compare", "names.txt", "--csv", "models.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(file("models.csv"));
    std::string line;
    std::getline(lines, line);
    bool named = false;
    while (std::getline(lines, line)) {
        if (line.find(",'=SUM(1+1)+b,") != std::string::npos) named = true;
        EXPECT_EQ(line.find(",="), std::string::npos) << line;
    }
    EXPECT_TRUE(named);
}

namespace {

// The example data with one more predictor column, made from each ward's fields.
std::string with_column(const std::string& data, const std::string& name,
                        const std::function<std::string(const std::vector<std::string>&)>& value) {
    std::istringstream in(data);
    std::string line, out;
    std::getline(in, line);
    out = line + "," + name + "\n";
    while (std::getline(in, line) && !line.empty()) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string x; std::getline(ss, x, ',');) f.push_back(x);
        const std::string v = value(f);
        if (f.size() == 5) f.insert(f.begin() + 4, v);
        else f.push_back(v);
        std::string joined;
        for (const auto& x : f) joined += (joined.empty() ? "" : ",") + x;
        out += joined + "\n";
    }
    return out;
}

}  // namespace

TEST_F(BatchTest, ADesignNotOfFullRankGivesAliasedRowsAndNoLimits) {
    write("flat.txt", with_column(file("counts.txt"), "flat", [](const auto&) { return std::string("7"); }));
    write("twin.txt", with_column(file("counts.txt"), "twin", [](const auto& f) { return f[1]; }));
    Outcome r = run({"compare", "flat.txt", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    json j = json::parse(r.out);
    int aliased = 0;
    double weights = 0.0;
    std::map<std::string, double> estimate;
    for (const json& m : j["models"])
        estimate[m["dist"].get<std::string>() + " " + (m["predictors"] == "" ? "(constant only)"
                                                                              : m["predictors"].get<std::string>())] =
            m["pop_est"].get<double>();
    for (const json& m : j["models"]) {
        const std::string predictors = m["predictors"];
        const bool has_flat = predictors.find("flat") != std::string::npos;
        EXPECT_EQ(m.contains("aliased_with"), has_flat) << predictors;
        if (!has_flat) {
            EXPECT_TRUE(m["pop_lower"].is_number()) << predictors;
            weights += m["weight"].get<double>();
            continue;
        }
        ++aliased;
        EXPECT_TRUE(m["pop_lower"].is_null() && m["pop_upper"].is_null() && m["weight"].is_null()) << predictors;
        EXPECT_NE(m["limits_reason"].get<std::string>().find("aliased with"), std::string::npos);
        // the model it names is the one it repeats: the same estimate, to the fit's tolerance
        const std::string twin = m["aliased_with"];
        ASSERT_TRUE(estimate.count(twin)) << twin;
        EXPECT_NEAR(m["pop_est"].get<double>(), estimate[twin], 1.0) << predictors << " / " << twin;
    }
    EXPECT_EQ(aliased, 24);
    EXPECT_NEAR(weights, 1.0, 1e-12);
    // a predictor that copies another: the rows with both are aliased, with the first alone
    r = run({"compare", "twin.txt", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = json::parse(r.out);
    for (const json& m : j["models"])
        if (m["predictors"] == "households+twin") {
            EXPECT_EQ(m["aliased_with"], m["dist"].get<std::string>() + " households");
        }
    // an estimate that frees such a predictor has no limits from the singular matrix
    for (const char* dist : {"lognormal", "normal", "negbin"}) {
        r = run({"estimate", "flat.txt", "--dist", dist, "--free", "0,flat", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        j = json::parse(r.out);
        EXPECT_TRUE(j["pop_lower"].is_null()) << dist;
        for (const json& e : j["estimates"]) EXPECT_TRUE(e["se"].is_null()) << dist;
        // the limits list's Wald entry gives the real reason, the one the intervals line gives
        int wald = 0;
        for (const json& l : j["limits"]) {
            if (l["kind"] != "wald") continue;
            ++wald;
            EXPECT_TRUE(l["lower"].is_null() && l["upper"].is_null()) << dist;
            const std::string reason = l["reason"];
            EXPECT_FALSE(reason.empty()) << dist;
            EXPECT_EQ(reason.find("see the notices"), std::string::npos) << reason;
            EXPECT_NE(j["intervals_line"].get<std::string>().find("no limits for the estimate: " + reason),
                      std::string::npos)
                << reason << "\n" << j["intervals_line"];
        }
        EXPECT_EQ(wald, 1) << dist;
    }
}

TEST_F(BatchTest, ModelsNeverFittedHaveNullLimitsWithTheReason) {
    // a count below 1 rules out the lognormal
    write("zero.txt", "a\nW1,1,0\nW2,2,3\nW3,3,4\nW4,4,6\nW5,5,5\nW6,6,9\nU1,3\n");
    const Outcome r = run({"compare", "zero.txt", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    int unfitted = 0;
    const json j = json::parse(r.out);
    for (const json& m : j["models"]) {
        if (m["available"].get<bool>()) continue;
        ++unfitted;
        EXPECT_TRUE(m["pop_lower"].is_null() && m["pop_upper"].is_null());
        EXPECT_EQ(m["limits_reason"], "the model was not fitted");
        EXPECT_NE(m["reason"].get<std::string>().find("below 1"), std::string::npos);
    }
    EXPECT_EQ(unfitted, 2);
}

#ifndef _WIN32  // limits, links, signals, mounts, the loader and LD_PRELOAD are POSIX's
TEST_F(BatchTest, ATruncatedModelLibraryFoundThroughLdLibraryPathIsRefusedToo) {
    // the program alone in its folder; the library only where LD_LIBRARY_PATH leads
    fs::create_directories(dir_ / "bin");
    fs::create_directories(dir_ / "libs");
    fs::copy_file(kBatch, dir_ / "bin" / "valdmora-batch");
    const std::string whole = slurp(fs::path(kBatch).parent_path() / "libvaldmora.so");
    const std::string env = "LD_LIBRARY_PATH=/nonexistent::" + (dir_ / "libs").string();
    for (std::size_t cut : {1000u, 9000u, 17000u, static_cast<unsigned>(whole.size() - 100)}) {
        std::ofstream(dir_ / "libs" / "libvaldmora.so", std::ios::binary | std::ios::trunc) << whole.substr(0, cut);
        const Outcome r = valdmora::testing::run_program((dir_ / "bin" / "valdmora-batch").string(),
                                                         {"compare", "../counts.txt"}, dir_ / "bin", {env});
        EXPECT_EQ(r.status, 1) << cut << ": " << r.err;
        EXPECT_NE(r.err.find((dir_ / "libs" / "libvaldmora.so").string() + " cannot be used: it is cut off"),
                  std::string::npos)
            << cut << ": " << r.err;
    }
    std::ofstream(dir_ / "libs" / "libvaldmora.so", std::ios::binary | std::ios::trunc) << whole;
    const Outcome r = valdmora::testing::run_program((dir_ / "bin" / "valdmora-batch").string(),
                                                     {"estimate", "../counts.txt"}, dir_ / "bin", {env});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BatchTest, CompareOnThreeHundredThousandWardsKeepsTheMemoryBound) {
    if (kSanitized) GTEST_SKIP() << "the address sanitizer's own memory is not the program's";
    std::string data = "households,road_m,markets\n";
    uint32_t x = 12345;
    auto next = [&x](uint32_t range) { return (x = x * 1103515245u + 12345u) / 65536u % range; };
    for (int i = 0; i < 300000; ++i) {
        const uint32_t h = 100 + next(1900);
        data += "W" + std::to_string(i) + "," + std::to_string(h) + "," + std::to_string(500 + next(8500)) + "," +
                std::to_string(next(6)) + (i % 2 ? "" : "," + std::to_string(1 + h / 30 + next(10))) + "\n";
    }
    write("wards.txt", data);
    // the peak of the batch alone, measured in a process of its own
    const fs::path peak = dir_ / "peak";
    const pid_t child = ::fork();
    if (child == 0) {
        const Outcome r = valdmora::testing::run_program(kBatch, {"compare", "wards.txt", "--json"}, dir_);
        rusage usage{};
        ::getrusage(RUSAGE_CHILDREN, &usage);
        std::ofstream(peak) << r.status << " " << usage.ru_maxrss << "\n";
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::ifstream in(peak);
    int exit_status = -1;
    long kib = 0;
    in >> exit_status >> kib;
    EXPECT_EQ(exit_status, 0);
    const double bound_kib = 64.0 * 1024 + 8.0 * static_cast<double>(data.size()) / 1024;
    EXPECT_LT(kib, bound_kib) << kib / 1024 << " MiB for " << data.size() / 1048576.0 << " MiB of data";
}

TEST_F(BatchTest, TheDataReachTheDiskBeforeTheNameAndAFailingSyncKeepsTheOldFile) {
    const std::string preload = std::string("LD_PRELOAD=") + VALDMORA_SYNC_SPY;
    const std::string log = "SYNC_SPY_LOG=" + (dir_ / "calls.log").string();
    // a sanitized build lets the spy load before its runtime
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string order = std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    Outcome r = run({"estimate", "counts.txt", "--residuals", "res.csv"}, {preload, log, order});
    ASSERT_EQ(r.status, 0) << r.err;
    // every file written is synced, as its temporary, before the rename gives it its name
    std::istringstream calls(file("calls.log"));
    std::map<std::string, int> synced_at, renamed_at;
    int at = 0;
    for (std::string what, a, b; calls >> what >> a;) {
        ++at;
        if (what == "fdatasync") synced_at[fs::path(a).filename().string()] = at;
        if (what == "rename") {
            calls >> b;
            EXPECT_TRUE(synced_at.count(fs::path(a).filename().string())) << a << " renamed unsynced";
            EXPECT_LT(synced_at[fs::path(a).filename().string()], at) << a;
            renamed_at[fs::path(b).filename().string()] = at;
        }
    }
    for (const char* name : {"ward_predictions.txt", "user.txt", "res.csv"}) EXPECT_TRUE(renamed_at.count(name)) << name;
    // a sync that fails: each file keeps its earlier content, and the run says so
    for (const char* name : {"ward_predictions.txt", "user.txt", "res.csv"}) write(name, "earlier\n");
    r = run({"estimate", "counts.txt", "--residuals", "res.csv"}, {preload, "SYNC_SPY_FAIL=1", order});
    EXPECT_EQ(r.status, 1);
    for (const char* name : {"ward_predictions.txt", "user.txt", "res.csv"}) {
        EXPECT_EQ(file(name), "earlier\n") << name;
        EXPECT_NE(r.err.find(std::string(name) + " could not be written: Input/output error"), std::string::npos)
            << r.err;
    }
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

#endif

TEST_F(BatchTest, StandardErrorsAreTheRootsOfTheCovariancesDiagonal) {
    // the normal with the constant alone has closed forms at its optimum: the mean's
    // standard error sigma / sqrt(n) and sigma's own sigma / sqrt(2 n)
    fs::copy_file(VALDMORA_REFERENCE_DIR "/compare40.txt", dir_ / "compare40.txt");
    const Outcome r = run({"estimate", "compare40.txt", "--dist", "normal", "--free", "0", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    const json& e = j["estimates"];
    ASSERT_EQ(e.size(), 5u);
    const double sigma = e[4]["value"].get<double>();
    EXPECT_EQ(e[4]["box"], 5);
    EXPECT_NEAR(sigma, 12.905401001131271, 1e-4);  // tests/reference: R
    EXPECT_NEAR(e[0]["se"].get<double>(), sigma / std::sqrt(40.0), 2e-3 * sigma / std::sqrt(40.0));
    EXPECT_NEAR(e[4]["se"].get<double>(), sigma / std::sqrt(80.0), 2e-3 * sigma / std::sqrt(80.0));
    for (int box : {1, 2, 3}) EXPECT_TRUE(e[box]["se"].is_null()) << box;
}

// A ward named in another letter case is found; its bootstrap limits are the ward's, and the
// town's total with its named limits leads the JSON only for the town.
TEST_F(BatchTest, AWardNamedInAnyCaseGetsLimitsOfItsOwn) {
    const Outcome town = run({"estimate", "counts.txt", "--dist", "negbin", "--bootstrap", "200", "--json"});
    ASSERT_EQ(town.status, 0) << town.err;
    const json t = json::parse(town.out);
    ASSERT_TRUE(t.contains("town_total"));
    EXPECT_NEAR(t["town_total"]["estimate"].get<double>(),
                t["counted_total"].get<double>() + t["pop_est"].get<double>(), 1e-9);
    EXPECT_EQ(t["headline"].get<std::string>().rfind("Dogs in the town: ", 0), 0u);
    const Outcome ward = run({"estimate", "counts.txt", "--dist", "negbin", "--ward", "stonefield", "--bootstrap", "200",
                              "--json"});
    ASSERT_EQ(ward.status, 0) << ward.err;
    const json w = json::parse(ward.out);
    const double estimate = w["pop_est"].get<double>();
    ASSERT_FALSE(w["boot_lower"].is_null()) << ward.out;
    EXPECT_LE(w["boot_lower"].get<double>(), estimate);
    EXPECT_GE(w["boot_upper"].get<double>(), estimate);
    EXPECT_LT(w["boot_upper"].get<double>(), t["boot_lower"].get<double>());
    EXPECT_FALSE(w.contains("town_total"));
    EXPECT_EQ(w["headline"].get<std::string>().rfind("Dogs in ward Stonefield: ", 0), 0u) << w["headline"];
}

TEST_F(BatchTest, AFileWithoutUnsurveyedWardsSaysExactlyThat) {
    write("surveyed.txt", "a\nW1,1,5\nW2,2,7\nW3,3,9\nW4,4,8\n");
    Outcome r = run({"estimate", "surveyed.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "maximum log likelihood = -3.776\n"
              "no unsurveyed ward to estimate; 29 dogs counted\n"
              "Dogs in the town: 29, all counted (every ward was surveyed)\n"
              "profile-likelihood limits not available: there is no unsurveyed ward\n");
    EXPECT_EQ(r.err, "");
    r = run({"estimate", "surveyed.txt", "--json", "--bootstrap", "20"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["notices"], json::array({"The bootstrap limits are not available: there is no unsurveyed ward."}));
    EXPECT_TRUE(j["pop_lower"].is_null() && j["profile_lower"].is_null() && j["boot_lower"].is_null());
    EXPECT_EQ(file("ward_predictions.txt"), "");
}

#ifndef _WIN32
// The report read back as a reader's PDF viewer would: its words (pdftotext, which the setup
// script installs) hold the R-checked numbers of compare40 and say what each interval covers;
// its charts are drawings, not pictures.
TEST_F(BatchTest, TheReportPdfHoldsTheWholeAnalysis) {
    fs::copy_file(std::string(VALDMORA_REFERENCE_DIR) + "/compare40.txt", dir_ / "compare40.txt");
    const Outcome r = run({"report", "compare40.txt", "--dist", "negbin", "--free", "0,1,2,3", "--pdf", "report.pdf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("wrote report.pdf"), std::string::npos) << r.out;
    const std::string pdf = file("report.pdf");
    ASSERT_EQ(pdf.rfind("%PDF-", 0), 0u);
    EXPECT_EQ(pdf.find("/Subtype /Image"), std::string::npos) << "the charts are drawn as pictures";
    const Outcome text = valdmora::testing::run_program("/usr/bin/pdftotext", {"-layout", "report.pdf", "report.txt"}, dir_);
    ASSERT_EQ(text.status, 0) << "pdftotext (poppler-utils, from scripts/setup-deps.sh): " << text.err;
    const std::string words = file("report.txt");
    // glmmTMB: negbin, households+road_km+markets: log_lik -130.56415583452645, AIC 271.128,
    // total 949.26378, Wald 846.03115 to 1052.49641
    for (const char* expected :
         {"valdmora report", "File: compare40.txt", "Wards: 70 (40 surveyed, 30 unsurveyed)",
          "Predictors: households, road_km, markets", "Model: negative binomial; constant, households, road_km, markets",
          "-130.564", "271.128", "1,052", "846 to 1,052", "the dogs present (prediction)",
          "their expected number (confidence)", "Table of models", "complete log", "unsurveyed wards' total",
          "Pearson residuals against fitted means", "Quantile residuals against normal quantiles",
          "Profile log likelihood of the unsurveyed wards' total",
          // the headline, the verdicts, the averaged total, every ward and the chart's legend
          "Dogs in the town: ", "95 % prediction limits", "Model check", "Overdispersion against Poisson counts:",
          "Simulated dispersion test:", "Model-averaged total:", "Each unsurveyed ward", "C05", "Wald prediction limits",
          "maximum - 1.92"})
        EXPECT_NE(words.find(expected), std::string::npos) << expected << "\n" << words;
    // the headline comes first, before the data
    EXPECT_LT(words.find("Dogs in the town: "), words.find("File: compare40.txt"));
}

// Names holding markup, ampersands and quotes appear in the report as written: the data, the
// estimate's rows, the named ward's line and the table of models.
TEST_F(BatchTest, NamesWithMarkupAppearInTheReportAsWritten) {
    const std::string ward = "O'Brien \"Row\" & <b>Sons</b>";
    write("names.txt", "<i>roads,R&D,\"mkts\"\nS1,1,2,3,5\nS2,2,1,4,9\nS3,3,5,1,12\nS4,4,2,2,17\nS5,5,3,3,19\n"
                       "S6,6,1,5,22\nS7,7,4,1,25\nS8,8,2,6,31\n" + ward + ",2.5,2,2\nU2,3,3,3\n");
    const Outcome r =
        run({"report", "names.txt", "--dist", "normal", "--free", "0,1,2,3", "--ward", ward, "--pdf", "report.pdf"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Outcome text = valdmora::testing::run_program("/usr/bin/pdftotext", {"-layout", "report.pdf", "report.txt"}, dir_);
    ASSERT_EQ(text.status, 0) << "pdftotext (poppler-utils, from scripts/setup-deps.sh): " << text.err;
    const std::string words = file("report.txt");
    for (const std::string& expected :
         {std::string("Predictors: <i>roads, R&D, \"mkts\""), std::string("Model: normal; constant, <i>roads, R&D, \"mkts\""),
          std::string("coefficient of <i>roads"), std::string("coefficient of R&D"), std::string("coefficient of \"mkts\""),
          "estimated dogs in ward " + ward})
        EXPECT_NE(words.find(expected), std::string::npos) << expected << "\n" << words;
    const std::size_t table = words.find("Table of models");
    ASSERT_NE(table, std::string::npos) << words;
    for (const char* name : {"<i>roads", "R&D", "\"mkts\""})
        EXPECT_NE(words.find(name, table), std::string::npos) << name << "\n" << words.substr(table);
}

TEST_F(BatchTest, AReportThatCannotBeWrittenSaysSoAndNeverReplacesTheData) {
    const std::string data_before = file("counts.txt");
    Outcome r = run({"report", "counts.txt", "--pdf", "./counts.txt"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(file("counts.txt"), data_before);
    r = run({"report", "counts.txt", "--pdf", "no/such/folder/report.pdf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "no"));
}
#endif

// --start's numbers reach the fit as the very numbers given: a fixed slope of seventeen
// significant digits comes back in the JSON to the last bit.
TEST_F(BatchTest, StartValuesReachTheFitExactly) {
    const double slope = 1.2345678901234567e-4;
    const Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0", "--start",
                           "10,1.2345678901234567e-4,0,0,0,1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["estimates"][1]["free"], false);
    EXPECT_EQ(j["estimates"][1]["value"].get<double>(), slope);
}

// The dogs present: the JSON's block and its limits, the per-ward CSV beside the two files
// (whose layout stays), the same numbers from --out and the report's options, and every
// unusable sighting a usage error that names the value and writes nothing.
TEST_F(BatchTest, SightingsGiveTheDogsPresentAndBadSightingsAreUsageErrors) {
    const std::string before = [&] {
        const Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1"});
        EXPECT_EQ(r.status, 0) << r.err;
        return file("ward_predictions.txt");
    }();
    const Outcome r = run({"estimate", "counts.txt", "--dist", "negbin", "--free", "0,1", "--sighting", "40,22,25,19",
                           "--bootstrap", "100", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    const json& d = j.at("dogs_present");
    EXPECT_DOUBLE_EQ(d.at("sighting_proportion").get<double>(), 66.0 / 120.0);
    EXPECT_DOUBLE_EQ(d.at("sighting_se").get<double>(), std::sqrt(0.55 * 0.45 / 120.0));
    EXPECT_EQ(d.at("counts").get<int>(), 3);
    EXPECT_EQ(d.at("marked").get<int>(), 40);
    const double seen = j.at("counted_total").get<double>() + j.at("pop_est").get<double>();
    EXPECT_NEAR(d.at("estimate").get<double>(), seen / 0.55, 1e-9 * seen);
    ASSERT_EQ(d.at("limits").size(), 2u);
    for (const json& l : d.at("limits")) {
        EXPECT_TRUE(l.at("available").get<bool>()) << l.dump();
        EXPECT_NE(l.at("target").get<std::string>().find("dogs present"), std::string::npos);
        EXPECT_LT(l.at("lower").get<double>(), d.at("estimate").get<double>());
        EXPECT_GT(l.at("upper").get<double>(), d.at("estimate").get<double>());
    }
    EXPECT_EQ(d.at("limits")[0].at("kind"), "delta");
    EXPECT_EQ(d.at("limits")[1].at("kind"), "bootstrap");
    expect_finite_numbers(d);
    // each ward's dogs present in its own CSV; ward_predictions.txt as without sightings
    EXPECT_EQ(file("ward_predictions.txt"), before);
    const std::string csv = file("ward_dogs_present.csv");
    ASSERT_EQ(csv.rfind("ward,prediction,dogs_present\n", 0), 0u) << csv;
    const std::size_t row = csv.find("\nStonefield,");
    ASSERT_NE(row, std::string::npos) << csv;
    const std::string line = csv.substr(row + 12, csv.find('\n', row + 1) - row - 12);
    const double prediction = std::stod(line.substr(0, line.find(',')));
    EXPECT_NEAR(std::stod(line.substr(line.find(',') + 1)), prediction / 0.55, 1e-9 * prediction);
    // a study's proportion has no counts of its own; the result lines give the dogs present
    const Outcome study = run({"estimate", "counts.txt", "--sighting-proportion", "0.62,0.05"});
    ASSERT_EQ(study.status, 0) << study.err;
    EXPECT_NE(study.out.find("over the sighting proportion 0.620 \u00b1 0.050 (from an earlier study)"), std::string::npos)
        << study.out;
    EXPECT_NE(study.out.find("delta-method (log scale) 95 % limits of the dogs present: "), std::string::npos);
    // p = 1 and few marked dogs: notices, not failures
    const Outcome all = run({"estimate", "counts.txt", "--sighting", "10,10,10"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.err.find("the correction changes nothing"), std::string::npos) << all.err;
    EXPECT_NE(all.err.find("Fewer than 30"), std::string::npos) << all.err;

    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--sighting", "40.5,3"}, "\"40.5\", is not a whole number"},
        {{"--sighting", "40,3,x"}, "count 2, \"x\""},
        {{"--sighting", "0,0"}, "at least 1"},
        {{"--sighting", "10,4,-1"}, "count 2 saw -1"},
        {{"--sighting", "10,11"}, "more than the 10 marked dogs"},
        {{"--sighting", "10,0,0"}, "no count saw a marked dog"},
        {{"--sighting-proportion", "0,0.1"}, "0 is outside (0, 1]"},
        {{"--sighting-proportion", "1.01,0.1"}, "1.01 is outside (0, 1]"},
        {{"--sighting-proportion", "0.5,-0.1"}, "-0.1 is negative"},
        {{"--sighting-proportion", "0.5"}, "needs two values"},
        {{"--sighting", "10,5", "--sighting-proportion", "0.5,0.1"}, "not both"},
    };
    for (const auto& [options, words] : bad) {
        fs::remove(dir_ / "ward_predictions.txt");
        fs::remove(dir_ / "ward_dogs_present.csv");
        std::vector<std::string> args{"estimate", "counts.txt"};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome u = run(args);
        EXPECT_EQ(u.status, 2) << options[1] << u.err;
        EXPECT_NE(u.err.find(words), std::string::npos) << u.err;
        EXPECT_FALSE(fs::exists(dir_ / "ward_predictions.txt")) << options[1];
        EXPECT_FALSE(fs::exists(dir_ / "ward_dogs_present.csv")) << options[1];
        // the report takes the same options and refuses them alike
        args[0] = "report";
        args.insert(args.end(), {"--pdf", "r.pdf"});
        EXPECT_EQ(run(args).status, 2) << options[1];
        EXPECT_FALSE(fs::exists(dir_ / "r.pdf"));
    }
}
