// SPDX-License-Identifier: GPL-3.0-or-later
// The dogs present: the sighting proportion, the dogs present and their delta limits against
// tests/reference/sighting_values.txt (make_sighting.R), the checks of the sighting input,
// the binomial draws against R's dbinom, and a seeded study in which both the counts and the
// sightings are drawn and each interval must cover the dogs present near 95 % of the time.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "cycle/count_file.h"
#include "estimation/click.h"
#include "estimation/estimate.h"
#include "estimation/sighting.h"
#include "testkit/reference_values.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};

std::map<std::string, double> sighting_values() {
    return valdmora::testing::reference_values(std::string(VALDMORA_REFERENCE_DIR) + "/sighting_values.txt");
}

void expect_relative(double actual, double expected, double tolerance, const std::string& what) {
    EXPECT_NEAR(actual, expected, tolerance * std::fabs(expected)) << what;
}

EstimateResult survey300(Dist dist, const SightingInput& sighting, const std::string& ward = "", int reps = 0) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(std::string(VALDMORA_REFERENCE_DIR) + "/survey300.txt"));
    EstimateRequest q;
    q.dist = dist;
    q.free = {true, true, true, true, false};
    q.start = {10, 0, 0, 0, 0, dist == Dist::lognormal ? 0.25 : dist == Dist::normal ? 10 : 1};
    q.profile = false;
    q.ward = ward;
    q.bootstrap_reps = reps;
    q.bootstrap_seed = 5;
    q.sighting = sighting;
    ClickServices services;
    services.library = kLibrary;
    return run_estimate(q, s, services);
}

const Interval& dogs_interval(const DogsPresent& d, IntervalKind kind) {
    for (const Interval& i : d.intervals)
        if (i.kind == kind) return i;
    throw std::logic_error("no such interval of the dogs present");
}

}  // namespace

TEST(DogsPresent, AgreeWithAnIndependentComputationForEachInputAndDistribution) {
    const auto ref = sighting_values();
    const std::map<std::string, SightingInput> cases{
        {"three", SightingCounts{40, {22, 25, 19}}},
        {"study", SightingShare{0.62, 0.05}},
        {"all", SightingCounts{10, {10, 10}}},
        {"few", SightingCounts{12, {1, 2}}},
    };
    const std::pair<Dist, const char*> dists[] = {{Dist::lognormal, "lognormal"}, {Dist::normal, "normal"}, {Dist::negbin, "negbin"}};
    for (const auto& [dist, dname] : dists) {
        for (const auto& [name, input] : cases) {
            const std::string key = name + "." + dname;
            const EstimateResult e = survey300(dist, input);
            ASSERT_TRUE(e.fit_ok) << key;
            ASSERT_TRUE(e.dogs_present) << key;
            const DogsPresent& d = *e.dogs_present;
            expect_relative(d.sighting.p, ref.at(name + ".p"), 1e-14, key + " p");
            EXPECT_NEAR(d.sighting.variance, ref.at(name + ".var_p"), 1e-15) << key;
            expect_relative(d.seen, ref.at(key + ".T"), 1e-7, key + " T");
            expect_relative(d.estimate, ref.at(key + ".D"), 1e-7, key + " D");
            const Interval& delta = dogs_interval(d, IntervalKind::delta);
            EXPECT_EQ(delta.target, ScoreTarget::dogs_present);
            ASSERT_TRUE(delta.limits.ok()) << key << delta.limits.reason();
            expect_relative(delta.limits->lower, ref.at(key + ".delta_lower"), 1e-6, key + " lower");
            expect_relative(delta.limits->upper, ref.at(key + ".delta_upper"), 1e-6, key + " upper");
            // each ward's dogs present, in the order of the predictions
            ASSERT_EQ(d.ward.size(), e.ward_predictions.size());
            for (std::size_t w = 0; w < e.ward_predictions.size(); ++w)
                if (e.ward_predictions[w].name == "W002" || e.ward_predictions[w].name == "W004")
                    expect_relative(d.ward[w], ref.at(key + ".ward." + e.ward_predictions[w].name), 1e-6, key + " ward");
            // no bootstrap asked for: no bootstrap limits of the dogs present either
            EXPECT_EQ(d.intervals.size(), 1u);
            EXPECT_EQ(d.all_seen, name == "all") << key;
            EXPECT_EQ(d.few_seen, name == "few") << key;
            EXPECT_EQ(d.few_marked, name == "few" || name == "all") << key;  // 20 and 24 below 30
        }
    }
}

TEST(DogsPresent, ANamedWardIsCorrectedAloneBootstrapIncluded) {
    const EstimateResult e = survey300(Dist::negbin, SightingCounts{40, {22, 25, 19}}, "W004", 50);
    ASSERT_TRUE(e.dogs_present);
    const DogsPresent& d = *e.dogs_present;
    // the ward's own prediction over p, without the dogs counted elsewhere
    EXPECT_DOUBLE_EQ(d.seen, e.total.pop_est);
    EXPECT_DOUBLE_EQ(d.estimate, e.total.pop_est / 0.55);
    EXPECT_TRUE(dogs_interval(d, IntervalKind::delta).limits.ok());
    // the bootstrap of the ward's own draws over p*: about the ward's dogs present
    const Interval& boot = dogs_interval(d, IntervalKind::bootstrap);
    ASSERT_TRUE(boot.limits.ok()) << boot.limits.reason();
    EXPECT_LT(boot.limits->lower, d.estimate);
    EXPECT_GT(boot.limits->upper, d.estimate);
    EXPECT_LT(boot.limits->upper, 10.0 * d.estimate);
}

TEST(DogsPresent, TheBootstrapIsSeededAndWiderThanTheDogsSeenOverP) {
    const SightingInput in = SightingCounts{40, {22, 25, 19}};
    const EstimateResult a = survey300(Dist::negbin, in, "", 200);
    const EstimateResult b = survey300(Dist::negbin, in, "", 200);
    const Interval& ia = dogs_interval(*a.dogs_present, IntervalKind::bootstrap);
    const Interval& ib = dogs_interval(*b.dogs_present, IntervalKind::bootstrap);
    ASSERT_TRUE(ia.limits.ok()) << ia.limits.reason();
    EXPECT_EQ(ia.limits->lower, ib.limits->lower);
    EXPECT_EQ(ia.limits->upper, ib.limits->upper);
    ASSERT_TRUE(ia.monte_carlo);
    EXPECT_GT(ia.monte_carlo->upper_error, 0.0);
    // the sighting's uncertainty widens the limits well beyond the dogs seen's own, over p
    const Available<Limits>& seen = a.limits(IntervalKind::bootstrap);
    ASSERT_TRUE(seen.ok());
    const double counted = a.counts.counted_total;
    EXPECT_GT(ia.limits->upper - ia.limits->lower, 2.0 * (seen->upper - seen->lower) / 0.55);
    EXPECT_LT(ia.limits->lower, (counted + seen->lower) / 0.55);
    EXPECT_GT(ia.limits->upper, (counted + seen->upper) / 0.55);
}

TEST(SightingInput, EachUnusableValueIsNamed) {
    const std::pair<SightingInput, const char*> bad[] = {
        {SightingCounts{0, {0}}, "at least 1"},
        {SightingCounts{10, {}}, "no count"},
        {SightingCounts{10, {3, -1}}, "count 2 saw -1 marked dogs, which is below 0"},
        {SightingCounts{10, {11}}, "count 1 saw 11 marked dogs, more than the 10"},
        {SightingCounts{10, {0, 0, 0}}, "no count saw a marked dog"},
        {SightingShare{0.0, 0.1}, "proportion 0 is outside (0, 1]"},
        {SightingShare{1.2, 0.1}, "proportion 1.2 is outside"},
        {SightingShare{std::nan(""), 0.1}, "outside"},
        {SightingShare{0.5, -0.01}, "-0.01 is negative"},
    };
    for (const auto& [input, words] : bad)
        EXPECT_NE(sighting_problem(input).find(words), std::string::npos) << sighting_problem(input) << " / " << words;
    EXPECT_EQ(sighting_problem(SightingCounts{10, {0, 10}}), "");
    EXPECT_EQ(sighting_problem(SightingShare{1.0, 0.0}), "");
    // the engine refuses them before it fits
    EXPECT_THROW(survey300(Dist::negbin, SightingCounts{10, {11}}), UserError);
}

TEST(SightingInput, TextIsReadAsWholeNumbersOrNamesTheValue) {
    const ParsedSighting ok = parse_sighting_counts(" 40, 22 ,25");
    ASSERT_TRUE(ok.counts) << ok.problem;
    EXPECT_EQ(ok.counts->marked, 40);
    EXPECT_EQ(ok.counts->seen, (std::vector<long>{22, 25}));
    EXPECT_EQ(parse_sighting_counts("40").counts->seen.size(), 0u);  // sighting_problem says so
    const std::pair<const char*, const char*> bad[] = {
        {"40.5,3", "the marked dogs present, \"40.5\", is not a whole number"},
        {"40,3,2.5", "count 2, \"2.5\", is not a whole number"},
        {"40,,3", "count 1 is missing"},
        {"", "the marked dogs present is missing"},
        {"40,3x", "\"3x\""},
        {"40,1e2", "\"1e2\""},
    };
    for (const auto& [text, words] : bad) {
        const ParsedSighting p = parse_sighting_counts(text);
        EXPECT_FALSE(p.counts) << text;
        EXPECT_NE(p.problem.find(words), std::string::npos) << p.problem;
    }
}

// The draws' frequencies against R's dbinom, in a chi-square test at a small and a large n.
TEST(BinomialDraws, FollowTheBinomialDistribution) {
    const auto ref = sighting_values();
    FastRandom random(11, 3);
    for (const auto& [n, p, lo, hi, key] :
         {std::tuple<long, double, long, long, std::string>{20, 0.3, 0, 20, "dbinom20."},
          std::tuple<long, double, long, long, std::string>{360, 0.5, 150, 210, "dbinom360."}}) {
        const int draws = 200000;
        std::map<long, int> seen;
        int beyond = 0;  // outside [lo, hi]: one cell of the rest of the mass
        for (int i = 0; i < draws; ++i) {
            const long x = draw_binomial(n, p, random);
            ASSERT_GE(x, 0);
            ASSERT_LE(x, n);
            if (x < lo || x > hi)
                ++beyond;
            else
                ++seen[x];
        }
        double chi2 = 0.0, inside = 0.0;
        int cells = 0;
        double pooled_expected = 0.0, pooled_seen = 0.0;
        for (long x = lo; x <= hi; ++x) {
            const double expected = draws * ref.at(key + std::to_string(x));
            inside += expected;
            pooled_expected += expected;
            pooled_seen += seen[x];
            // cells of at least 5 expected: the thin tails pooled with their neighbours
            if (pooled_expected >= 5.0 || x == hi) {
                chi2 += std::pow(pooled_seen - pooled_expected, 2) / pooled_expected;
                ++cells;
                pooled_expected = pooled_seen = 0.0;
            }
        }
        if (draws - inside >= 5.0) {
            chi2 += std::pow(beyond - (draws - inside), 2) / (draws - inside);
            ++cells;
        }
        // chi-square with 'cells' degrees of freedom: mean cells, sd sqrt(2 cells); 5 sd
        EXPECT_LT(chi2, cells + 5.0 * std::sqrt(2.0 * cells)) << key << " cells " << cells;
    }
    EXPECT_EQ(draw_binomial(50, 1.0, random), 50);
    EXPECT_EQ(draw_binomial(50, 0.0, random), 0);
}

// A seeded study with the exact generator: 40 surveyed and 10 unsurveyed wards, 2 counts
// of 30 marked dogs seen with a true sighting proportion of 0.6. The dogs present are the
// dogs a count would see in every ward over the true proportion.
TEST(DogsPresent, ASeededStudyCoversTheDogsPresentNearNinetyFivePerCent) {
    EstimationState s;
    form_load(s);
    s.n_pred = 4;
    for (int i = 0; i <= 5; ++i) s.beta_entered(i) = 0.0;
    s.beta_entered(0) = 30.0;
    s.beta_entered(1) = 0.02;
    s.beta_entered(5) = 1.0;
    s.err_dist = Dist::negbin;
    ClickInput in;
    in.simulate = true;
    in.files = false;
    in.request.dist = Dist::negbin;
    in.beta_label = {"the constant", "b1", "b2", "b3", "b4", "the extra parameter"};
    in.request.free = {true, true, false, false, false};
    in.request.start = {30, 0.02, 0, 0, 0, 1};
    in.request.profile = false;
    in.request.bootstrap_reps = 200;
    in.surveys = 40;
    in.generator = Generator::exact;
    ClickServices services;
    services.library = kLibrary;
    MersenneUniform u(2029);
    services.random = &u;
    services.reseed_from_clock = false;
    std::mt19937 sight(77);
    const double p_true = 0.6;
    const long marked = 30;
    std::binomial_distribution<long> seen(marked, p_true);
    const int sims = 200;
    int outside_delta = 0, outside_boot = 0;
    for (int k = 0; k < sims; ++k) {
        in.request.sighting = SightingCounts{marked, {seen(sight), seen(sight)}};
        in.request.bootstrap_seed = static_cast<uint64_t>(k + 1);
        const ClickResult r = run_estimating_click(in, s, services);
        s = r.state();
        const EstimateResult& e = r.estimate;
        const double truth = (e.counts.counted_total + s.sim_total) / p_true;
        const DogsPresent& d = *e.dogs_present;
        for (const Interval& iv : d.intervals) {
            const bool out = !iv.limits || truth < iv.limits->lower || truth > iv.limits->upper;
            (iv.kind == IntervalKind::delta ? outside_delta : outside_boot) += out ? 1 : 0;
        }
    }
    RecordProperty("outside_delta", outside_delta);
    RecordProperty("outside_bootstrap", outside_boot);
    const double band = 4.0 * std::sqrt(0.05 * 0.95 * sims);
    EXPECT_LT(std::abs(outside_delta - 0.05 * sims), band) << outside_delta;
    EXPECT_LT(std::abs(outside_boot - 0.05 * sims), band) << outside_boot;
}
