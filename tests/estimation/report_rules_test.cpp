// SPDX-License-Identifier: GPL-3.0-or-later
// The rules every front end writes through: the model table's two file forms, the
// likelihood line, and the coverage score of a simulation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "estimation/model_table.h"
#include "cycle/number_format.h"
#include "estimation/report.h"
#include "testkit/csv_reader.h"

using namespace valdmora;
using valdmora::testing::read_csv;

namespace {

// Names a ';'-separated data file can hold, each of which breaks a naive writer.
const std::vector<std::string> kHostileNames{"hh, total", "say \"hi\"", "two\r\nlines", "=SUM(A1)", "tab\there"};

ModelTable hostile_table() {
    ModelTable t;
    for (std::size_t i = 0; i < kHostileNames.size(); ++i) {
        ModelRow r;
        r.dist = kDistributions[i % 3].dist;
        r.predictor_names = kHostileNames[i] + "+plain";
        r.k = 4;
        r.n = 12;
        r.available = i != 2;  // one row without a fit: nine empty cells
        r.log_lik = -40.25 - static_cast<double>(i);
        r.aic = 88.5;
        r.aicc = std::nan("");  // not finite: an empty cell
        r.delta_aicc = std::nan("");
        r.weight = std::nan("");
        r.pop_est = 1234.5;
        r.pop_lower = -0.5;  // a negative number stays a number
        r.pop_upper = 2000.0;
        t.rows.push_back(r);
    }
    return t;
}

}  // namespace

TEST(ModelTableFiles, CsvReadsBackCellForCellWithThirteenFieldsOnEveryLine) {
    const ModelTable t = hostile_table();
    const auto records = read_csv(model_table_csv(t));
    ASSERT_EQ(records.size(), t.rows.size() + 1);
    for (const auto& record : records) EXPECT_EQ(record.size(), 13u);
    EXPECT_EQ(records[0][1], "predictors");
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const auto& cells = records[i + 1];
        const std::string& name = t.rows[i].predictor_names;
        // a formula lead-in is guarded by a quote; every other name comes back as it was
        EXPECT_EQ(cells[1], name[0] == '=' ? "'" + name : name) << i;
        EXPECT_EQ(cells[0], i % 3 == 0 ? "lognormal" : i % 3 == 1 ? "normal" : "negbin");
        if (t.rows[i].available) {
            EXPECT_EQ(cells[5], shortest_number(t.rows[i].log_lik));
            EXPECT_EQ(cells[7], "");  // AICc not finite
            EXPECT_EQ(cells[11], "-0.5");
        } else {
            for (std::size_t c = 4; c < 13; ++c) EXPECT_EQ(cells[c], "") << c;
        }
    }
}

TEST(ModelTableFiles, TabSeparatedCopyKeepsEveryRowOnOneLineOfThirteenCells) {
    const ModelTable t = hostile_table();
    std::istringstream lines(model_table_tsv(t));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            cells.push_back(line.substr(start, tab - start));
        cells.push_back(line.substr(start));
        rows.push_back(cells);
    }
    ASSERT_EQ(rows.size(), t.rows.size() + 1);
    for (const auto& cells : rows) EXPECT_EQ(cells.size(), 13u);
    EXPECT_EQ(rows[3][1], "two  lines+plain");  // CR and LF each a space
    EXPECT_EQ(rows[5][1], "tab here+plain");
    EXPECT_EQ(rows[1][1], "hh, total+plain");   // no quoting in a tab-separated copy
    EXPECT_EQ(rows[4][1], "=SUM(A1)+plain");
    EXPECT_EQ(rows[1][11], "-0.5");
}

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
    const auto limits = [](double lower, double upper) { return Available<Limits>::of(Limits{lower, upper}); };
    // prediction limits hold the dogs drawn strictly inside
    EXPECT_FALSE(scored_outside(T::dogs_drawn, limits(90.0, 110.0), 100.0));
    EXPECT_TRUE(scored_outside(T::dogs_drawn, limits(100.0, 110.0), 100.0));  // a limit equal to the truth
    EXPECT_TRUE(scored_outside(T::dogs_drawn, limits(90.0, 100.0), 100.0));
    // compared at the width the total was drawn in: a limit a hair above it in double is equal in float
    EXPECT_TRUE(scored_outside(T::dogs_drawn, limits(90.0, 100.000001), 100.0f));
    // confidence limits hold the expected number strictly inside, at full precision
    EXPECT_FALSE(scored_outside(T::expected_number, limits(90.0, 110.0), 100.0));
    EXPECT_TRUE(scored_outside(T::expected_number, limits(100.0, 110.0), 100.0));
    EXPECT_FALSE(scored_outside(T::expected_number, limits(90.0, 100.000001), 100.0));
    // limits that are not there never show the truth inside them
    EXPECT_TRUE(scored_outside(T::dogs_drawn, Available<Limits>::why_not("no covariance"), 100.0));
    EXPECT_TRUE(scored_outside(T::expected_number, Available<Limits>::why_not("no covariance"), 100.0));
    EXPECT_TRUE(scored_outside(T::dogs_drawn, Available<Limits>(), 100.0));
    EXPECT_TRUE(scored_outside(T::expected_number, limits(std::nan(""), 110.0), 100.0));
}

TEST(CoverageScore, ShareOfTheScoredOnly) {
    EXPECT_EQ(coverage_share(0, 0), std::nullopt);  // nothing scored: no share, not 100 %
    EXPECT_EQ(coverage_share(0, 20), 1.0);
    EXPECT_EQ(coverage_share(20, 20), 0.0);
    EXPECT_DOUBLE_EQ(*coverage_share(1, 20), 0.95);
}
