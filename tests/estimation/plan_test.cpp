// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <set>

#include "cycle/count_file.h"
#include "cycle/user_error.h"
#include "estimation/plan.h"
#include "testkit/reference_values.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const std::string kRef = VALDMORA_REFERENCE_DIR;

EstimationState town_state(const std::string& file) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(file));
    return s;
}

ClickServices library() {
    ClickServices services;
    services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    services.reseed_from_clock = false;
    return services;
}

// The normal model of make_plan_normal.R: intercept and slope free, least squares.
PlanRequest normal_plan() {
    PlanRequest q;
    q.estimate.dist = Dist::normal;
    q.estimate.free = {true, true, false, false, false};
    q.estimate.profile = false;
    q.truth = {20.0, 0.1, 0.0, 0.0, 0.0, 15.0};
    q.surveys = {12, 40};
    q.reps = 400;
    q.seed = 11;
    return q;
}

// A town of n wards with two predictors: one rising, one folded, so they do not copy each other.
Town grid_town(std::size_t n) {
    Town t;
    t.n_pred = 2;
    for (std::size_t i = 0; i < n; ++i) {
        t.names.push_back("W" + std::to_string(i));
        t.x.push_back({static_cast<double>(i), static_cast<double>((i * 37) % 101), 0.0, 0.0});
    }
    return t;
}

double sample_mean(const Town& t, const std::vector<std::size_t>& chosen, std::size_t j) {
    double sum = 0.0;
    for (std::size_t i : chosen) sum += t.x[i][j];
    return sum / static_cast<double>(chosen.size());
}

}  // namespace

// Against an independent Monte Carlo study in R (least squares, the Wald formula), within
// four standard errors of the two studies' Monte Carlo error together.
TEST(PlanTest, NormalModelAgreesWithIndependentMonteCarloStudy) {
    const auto ref = valdmora::testing::reference_values(kRef + "/plan_normal_values.txt");
    ASSERT_FALSE(ref.empty());
    const EstimationState s = town_state(kRef + "/plan_wards.txt");
    ASSERT_EQ(s.n_unsurveyed, 200);
    const PlanResult plan = run_plan(normal_plan(), s, library());
    ASSERT_EQ(plan.rows.size(), 2u);
    const double batch_share = ref.at("batch") / ref.at("reps");
    for (const PlanRow& row : plan.rows) {
        const std::string key = "k" + std::to_string(row.surveys);
        SCOPED_TRACE(key);
        EXPECT_EQ(row.reps, 400);
        EXPECT_EQ(row.failed, 0);
        const KindScore* wald = row.kind(IntervalKind::wald);
        ASSERT_NE(wald, nullptr);
        ASSERT_TRUE(wald->relative_half_width && wald->coverage);
        const double sd_width = ref.at(key + ".median_rhw_sd_batch");
        EXPECT_NEAR(*wald->relative_half_width, ref.at(key + ".median_rhw"), 4.0 * sd_width * std::sqrt(1.0 + batch_share));
        const double sd_cover = ref.at(key + ".coverage_sd_batch");
        EXPECT_NEAR(*wald->coverage, ref.at(key + ".coverage"), 4.0 * sd_cover * std::sqrt(1.0 + batch_share));
        ASSERT_TRUE(row.relative_rmse);
        EXPECT_NEAR(*row.relative_rmse / ref.at(key + ".relative_rmse"), 1.0, 0.15);
        // the profile was not asked for, the delta method's limits always come
        EXPECT_EQ(row.kind(IntervalKind::profile), nullptr);
        EXPECT_NE(row.kind(IntervalKind::delta), nullptr);
    }
    // more wards, narrower limits
    EXPECT_LT(*plan.rows[1].kind(IntervalKind::wald)->relative_half_width,
              *plan.rows[0].kind(IntervalKind::wald)->relative_half_width);
}

// The same seed gives the same plan bit for bit whatever thread ran a replicate, and a k's
// row does not depend on the other candidates in the list.
TEST(PlanTest, SeededPlanIsReproducibleAndEachRowStandsAlone) {
    const EstimationState s = town_state(kRef + "/plan_wards.txt");
    PlanRequest q = normal_plan();
    q.reps = 30;
    q.estimate.profile = true;
    q.design.kind = DesignKind::balanced;
    const PlanResult a = run_plan(q, s, library());
    const PlanResult b = run_plan(q, s, library());
    q.surveys = {40};
    const PlanResult alone = run_plan(q, s, library());
    auto same = [](const PlanRow& x, const PlanRow& y) {
        ASSERT_EQ(x.kinds.size(), y.kinds.size());
        EXPECT_EQ(x.failed, y.failed);
        EXPECT_EQ(x.relative_rmse, y.relative_rmse);
        for (std::size_t i = 0; i < x.kinds.size(); ++i) {
            EXPECT_EQ(x.kinds[i].relative_half_width, y.kinds[i].relative_half_width);
            EXPECT_EQ(x.kinds[i].coverage, y.kinds[i].coverage);
        }
    };
    same(a.rows[0], b.rows[0]);
    same(a.rows[1], b.rows[1]);
    same(a.rows[1], alone.rows[0]);
    EXPECT_NE(a.rows[1].kind(IntervalKind::profile), nullptr);
    q.seed = 12;
    const PlanResult other = run_plan(q, s, library());
    EXPECT_NE(other.rows[0].relative_rmse, alone.rows[0].relative_rmse);
}

// With sightings each survey draws its marked dogs seen as well: the dogs present's delta
// limits cover the town's dogs over the true proportion near 95 %, are wider than the dogs
// seen's, and the dogs seen's own scores are those of the plan without sightings.
TEST(PlanTest, SightingsArePlannedWithTheirOwnDraws) {
    const EstimationState s = town_state(kRef + "/plan_wards.txt");
    PlanRequest q = normal_plan();
    q.surveys = {40};
    q.reps = 300;
    const PlanResult seen = run_plan(q, s, library());
    q.sighting = SightingCounts{60, {30, 30}};  // p = 0.5 taken as true
    const PlanResult present = run_plan(q, s, library());
    const PlanRow& a = seen.rows[0];
    const PlanRow& b = present.rows[0];
    EXPECT_TRUE(a.present.empty());
    ASSERT_EQ(a.kinds.size(), b.kinds.size());
    for (std::size_t i = 0; i < a.kinds.size(); ++i) {
        EXPECT_EQ(a.kinds[i].relative_half_width, b.kinds[i].relative_half_width);
        EXPECT_EQ(a.kinds[i].coverage, b.kinds[i].coverage);
    }
    ASSERT_FALSE(b.present.empty());
    const KindScore& delta = b.present.front();
    EXPECT_EQ(delta.kind, IntervalKind::delta);
    EXPECT_EQ(delta.scored, 300 - b.failed);
    ASSERT_TRUE(delta.coverage && delta.relative_half_width);
    // 300 surveys: a Monte Carlo standard error of about 1.3 points
    EXPECT_NEAR(*delta.coverage, 0.95, 0.05);
    // the proportion's own uncertainty (SE 0.046 on 0.5) widens the limits
    EXPECT_GT(*delta.relative_half_width, *b.kind(IntervalKind::wald)->relative_half_width);
}

TEST(PlanTest, TargetIsTheSmallestCandidateReachingThePrecision) {
    std::vector<PlanRow> rows(3);
    const double widths[] = {0.2, 0.08, 0.05};
    const long ks[] = {60, 20, 40};
    for (std::size_t i = 0; i < 3; ++i) {
        rows[i].surveys = ks[i];
        rows[i].kinds.push_back({IntervalKind::wald, widths[i], 0.95, 10, 10});
        rows[i].kinds.push_back({IntervalKind::delta, widths[i] / 4.0, 0.95, 10, 10});
    }
    // listed out of order: 20 reaches 0.10, 60 does not
    EXPECT_EQ(surveys_reaching(rows, IntervalKind::wald, 0.10), 20);
    EXPECT_EQ(surveys_reaching(rows, IntervalKind::wald, 0.01), std::nullopt);
    EXPECT_EQ(surveys_reaching(rows, IntervalKind::delta, 0.015), 40);
    EXPECT_EQ(surveys_reaching(rows, IntervalKind::profile, 0.5), std::nullopt);
}

TEST(PlanTest, RequestsThatCannotBePlannedSayWhy) {
    const Town town = grid_town(50);
    PlanRequest q;
    q.estimate.free = {true, true, false, false, false};  // three free parameters
    q.surveys = {5, 20};
    q.reps = 10;
    EXPECT_EQ(plan_request_problem(q, town), "");
    auto problem = [&](auto change) {
        PlanRequest r = q;
        change(r);
        return plan_request_problem(r, town);
    };
    EXPECT_NE(problem([](PlanRequest& r) { r.surveys = {4}; }).find("at least 5 wards"), std::string::npos);
    EXPECT_NE(problem([](PlanRequest& r) { r.surveys = {51}; }).find("more than the 50 wards"), std::string::npos);
    EXPECT_NE(problem([](PlanRequest& r) { r.reps = 9; }).find("at least 10"), std::string::npos);
    EXPECT_NE(problem([](PlanRequest& r) { r.precision = 1.0; }).find("between 0 and 1"), std::string::npos);
    EXPECT_NE(problem([](PlanRequest& r) { r.precision = 0.0; }).find("between 0 and 1"), std::string::npos);
    EXPECT_NE(problem([](PlanRequest& r) { r.design = {DesignKind::stratified, 3, 4}; }).find("stratifying predictor 3"),
              std::string::npos);
    EXPECT_NE(problem([](PlanRequest& r) { r.design = {DesignKind::stratified, 1, 6}; }).find("6 strata"),
              std::string::npos);
}

TEST(PlanTest, StratifiedSampleTakesEachStratumsShare) {
    const Town town = grid_town(103);  // strata of 25, 26, 26, 26
    const SampleDesign d{DesignKind::stratified, 1, 4};
    FastRandom random(5, 0);
    for (int rep = 0; rep < 50; ++rep) {
        const auto chosen = choose_wards(town, d, 10, random);
        ASSERT_EQ(chosen.size(), 10u);
        EXPECT_EQ(std::set<std::size_t>(chosen.begin(), chosen.end()).size(), 10u);
        // predictor 1 is the ward's index: the strata are runs of it
        int counts[4] = {};
        for (std::size_t i : chosen) ++counts[i < 25 ? 0 : i < 51 ? 1 : i < 77 ? 2 : 3];
        // 10 * 25/103 = 2.43, 10 * 26/103 = 2.52 each: the three larger strata get the third ward
        EXPECT_EQ(counts[0], 2);
        EXPECT_EQ(counts[1], 3);
        EXPECT_EQ(counts[2], 3);
        EXPECT_EQ(counts[3], 2) << "largest remainders, the earlier stratum first";
    }
    const auto p = selection_probabilities(town, d, 10);
    EXPECT_DOUBLE_EQ(p[0], 2.0 / 25.0);
    EXPECT_DOUBLE_EQ(p[30], 3.0 / 26.0);
    EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), 10.0, 1e-12);
}

// The cube method keeps every ward's chance at k/N and matches the town's means far more
// closely than a simple random sample does.
TEST(PlanTest, BalancedSampleMatchesTheTownsMeansWithEqualChances) {
    const Town town = grid_town(100);
    const long k = 20;
    const int draws = 2000;
    std::vector<int> times(town.size(), 0);
    double balanced_gap = 0.0, random_gap = 0.0;
    const double town_mean[2] = {49.5, sample_mean(town, [] {
                                         std::vector<std::size_t> all(100);
                                         std::iota(all.begin(), all.end(), std::size_t{0});
                                         return all;
                                     }(), 1)};
    for (int r = 0; r < draws; ++r) {
        FastRandom random(9, static_cast<uint64_t>(r));
        const auto chosen = choose_wards(town, {DesignKind::balanced, 0, 0}, k, random);
        ASSERT_EQ(chosen.size(), static_cast<std::size_t>(k));
        for (std::size_t i : chosen) ++times[i];
        const auto plain = choose_wards(town, {DesignKind::random, 0, 0}, k, random);
        for (std::size_t j = 0; j < 2; ++j) {
            balanced_gap += std::fabs(sample_mean(town, chosen, j) - town_mean[j]);
            random_gap += std::fabs(sample_mean(town, plain, j) - town_mean[j]);
        }
    }
    // the landing's last few wards cannot be balanced exactly
    EXPECT_LT(balanced_gap, random_gap / 3.0);
    // each ward chosen 400 times on average, binomial sd about 17.9
    for (std::size_t i = 0; i < town.size(); ++i) EXPECT_NEAR(times[i], 400, 5 * 17.9) << "ward " << i;
    for (double p : selection_probabilities(town, {DesignKind::balanced, 0, 0}, k)) EXPECT_DOUBLE_EQ(p, 0.2);
}

TEST(PlanTest, TruthThatCannotBeDrawnFromIsRefusedBeforeAnyFit) {
    const EstimationState s = town_state(kRef + "/plan_wards.txt");
    PlanRequest q = normal_plan();
    q.estimate.dist = Dist::negbin;
    q.truth[5] = 0.0;
    EXPECT_THROW(run_plan(q, s, library()), UserError);
    q.estimate.dist = Dist::normal;
    q.truth[5] = 15.0;
    q.truth[0] = 1e12;
    try {
        run_plan(q, s, library());
        ADD_FAILURE() << "planned";
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot be simulated from"), std::string::npos) << e.what();
    }
}

TEST(PlanTest, CandidateListsAndRanges) {
    EXPECT_EQ(survey_list("20,40,60"), (std::vector<long>{20, 40, 60}));
    EXPECT_EQ(survey_list("20: 60:20"), (std::vector<long>{20, 40, 60}));
    EXPECT_EQ(survey_list("20:65:20"), (std::vector<long>{20, 40, 60}));
    EXPECT_EQ(survey_list("7"), (std::vector<long>{7}));
    for (const char* bad : {"", "20,,40", "20,x", "0,10", "20:10:5", "1:2", "1:100000:1", "2.5"})
        EXPECT_THROW(survey_list(bad), UserError) << bad;
}

// The wards a seed chooses, pinned: the choice uses only the project's own generator, so any
// machine (and the Windows build under Wine) must choose exactly these.
TEST(PlanTest, ASeedChoosesTheSameWardsEverywhere) {
    const Town town = grid_town(30);
    const std::vector<std::pair<SampleDesign, std::vector<std::size_t>>> pins{
        {{DesignKind::random, 0, 0}, {0, 5, 14, 18, 20, 22}},
        {{DesignKind::stratified, 2, 3}, {0, 5, 7, 21, 25, 26}},
        {{DesignKind::balanced, 0, 0}, {0, 5, 9, 10, 21, 25}},
    };
    for (const auto& [design, wards] : pins) {
        FastRandom random(2026, 7);
        EXPECT_EQ(choose_wards(town, design, 6, random), wards) << design_traits(design.kind).key;
    }
}
