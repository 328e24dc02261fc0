// The rules every front end writes through: the likelihood line and the coverage score of
// a simulation.
#include <gtest/gtest.h>

#include <cmath>

#include "cycle/number_format.h"
#include "estimation/report.h"

using namespace valdmora;

TEST(LikelihoodLine, WrittenFromTheNumbers) {
    const NumberFormat point;
    NumberFormat comma;
    comma.decimal = ',';
    comma.group = '.';
    // a run without an earlier fit has no change to give
    EXPECT_EQ(likelihood_line(-115.6934, std::nullopt, false, point), "maximum log likelihood = -115.693");
    EXPECT_EQ(likelihood_line(-115.6934, std::nullopt, false, comma), "maximum log likelihood = -115,693");
    // the window's line after an earlier fit, "####.###": no trailing zeros, none before the point
    EXPECT_EQ(likelihood_line(-123.78, -100.0, false, point), "maximum log likelihood = -123.78, change = -23.78");
    EXPECT_EQ(likelihood_line(-0.25, 0.0, false, point), "maximum log likelihood = -.25, change = -.25");
    EXPECT_EQ(likelihood_line(-5.5, std::nullopt, true, point),
              "maximum log likelihood = -5.5; the profile found a higher likelihood than the fit, so the fit did not "
              "reach the maximum");
}

TEST(CoverageScore, EdgesOfTheLimits) {
    using T = ScoreTarget;
    // prediction limits hold the dogs drawn strictly inside
    EXPECT_FALSE(scored_outside(T::dogs_drawn, true, 90.0, 110.0, 100.0));
    EXPECT_TRUE(scored_outside(T::dogs_drawn, true, 100.0, 110.0, 100.0));  // a limit equal to the truth
    EXPECT_TRUE(scored_outside(T::dogs_drawn, true, 90.0, 100.0, 100.0));
    // compared at the width the total was drawn in: a limit a hair above it in double is equal in float
    EXPECT_TRUE(scored_outside(T::dogs_drawn, true, 90.0, 100.000001, 100.0f));
    // confidence limits hold the expected number strictly inside, at full precision
    EXPECT_FALSE(scored_outside(T::expected_number, true, 90.0, 110.0, 100.0));
    EXPECT_TRUE(scored_outside(T::expected_number, true, 100.0, 110.0, 100.0));
    EXPECT_FALSE(scored_outside(T::expected_number, true, 90.0, 100.000001, 100.0));
    // limits that are not there never show the truth inside them, whatever numbers they hold
    EXPECT_TRUE(scored_outside(T::dogs_drawn, false, 0.0, 1e9, 100.0));
    EXPECT_TRUE(scored_outside(T::expected_number, false, 0.0, 1e9, 100.0));
    EXPECT_TRUE(scored_outside(T::expected_number, true, std::nan(""), 110.0, 100.0));
}

TEST(CoverageScore, ShareOfTheScoredOnly) {
    EXPECT_EQ(coverage_share(0, 0), std::nullopt);  // nothing scored: no share, not 100 %
    EXPECT_EQ(coverage_share(0, 20), 1.0);
    EXPECT_EQ(coverage_share(20, 20), 0.0);
    EXPECT_DOUBLE_EQ(*coverage_share(1, 20), 0.95);
}
