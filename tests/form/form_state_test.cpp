// SPDX-License-Identifier: GPL-3.0-or-later
// The form's rules without a display: which controls each mode shows, what the boxes become,
// what a click does, and when the result on show stops belonging to the form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "cycle/distributions.h"
#include "cycle/number_format.h"
#include "form/form_state.h"
#include "form/results_summary.h"
#include "testkit/scratch_dir.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const NumberFormat kPoint{'.', ','};
const NumberFormat kComma{',', '.'};

CountData survey(std::vector<std::string> predictors, int surveyed = 12) {
    CountData d;
    d.predictor_names = std::move(predictors);
    for (int i = 0; i < surveyed; ++i) {
        WardRow w;
        w.name = "s" + std::to_string(i);
        for (std::size_t j = 0; j < d.predictor_names.size(); ++j) w.x[j] = 100.0 + 37.0 * i + 11.0 * j * (i % 3);
        w.count = 5.0 + (i * 7) % 9;
        d.surveyed.push_back(w);
    }
    for (int i = 0; i < 3; ++i) {
        WardRow w;
        w.name = "u" + std::to_string(i);
        for (std::size_t j = 0; j < d.predictor_names.size(); ++j) w.x[j] = 150.0 + 20.0 * i;
        d.unsurveyed.push_back(w);
    }
    return d;
}

// A click as the window and the batch run it, with the real model library.
void estimate(FormState& f, int bootstrap = 0) {
    ClickServices sv;
    sv.library = ModelLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    ClickInput in = f.click_input();
    in.files = false;
    in.request.bootstrap_reps = bootstrap;
    f.apply(run_estimating_click(in, f.state(), sv));
}

}  // namespace

TEST(FormModes, StartReadAndSimulationShowTheirOwnControls) {
    FormState f(kComma);
    EXPECT_EQ(f.mode(), FormMode::read_file);
    EXPECT_EQ(f.caption(), "read data from file");  // the caption shown, once
    EXPECT_EQ(f.shown(), FormShown{});
    EXPECT_EQ(f.box(5), "0,25");  // the extra parameter's start in the locale's decimals
    EXPECT_EQ(f.next_click(), ClickAction::ReadFile);

    f.load(survey({"population", "area"}), "/data/town.txt");
    EXPECT_EQ(f.mode(), FormMode::estimate);
    EXPECT_EQ(f.caption(), "estimate population size");
    EXPECT_TRUE(f.shown().model);
    EXPECT_EQ(f.shown().predictors, 2);
    EXPECT_FALSE(f.shown().surveys);
    EXPECT_EQ(f.predictor_label(2), "area");
    EXPECT_EQ(f.box_label(1), "the coefficient of population");
    EXPECT_EQ(f.next_click(), ClickAction::Estimate);

    // emptying the path simulates with four predictors of made-up names; data were read,
    // so the number of surveys stays hidden
    f.set_path("");
    EXPECT_EQ(f.mode(), FormMode::simulate);
    EXPECT_EQ(f.caption(), "simulate data and estimate");
    EXPECT_EQ(f.shown().predictors, 4);
    EXPECT_FALSE(f.shown().surveys);
    EXPECT_EQ(f.predictor_label(1), "predictor 1");
    EXPECT_EQ(f.next_click(), ClickAction::SimulateAndEstimate);
    f.set_just_estimate(true);
    EXPECT_EQ(f.mode(), FormMode::reestimate);
    EXPECT_EQ(f.caption(), "Estimate from current data");
    EXPECT_EQ(f.next_click(), ClickAction::Estimate);

    // typing a path again returns to reading, with the file's names back
    f.set_path("/data/other.txt");
    EXPECT_EQ(f.mode(), FormMode::read_file);
    EXPECT_FALSE(f.just_estimate());
    EXPECT_EQ(f.shown().predictors, 2);
    EXPECT_EQ(f.predictor_label(1), "population");
}

TEST(FormModes, ASimulationFromTheStartShowsTheNumberOfSurveys) {
    FormState f(kPoint);
    f.set_path("");
    EXPECT_TRUE(f.shown().surveys);
    EXPECT_EQ(f.state().n_pred, 4);
}

TEST(FormModes, EmptyingThePathWithABadBoxChangesNoMode) {
    FormState f(kPoint);
    f.set_box(2, "abc");
    EXPECT_THROW(f.set_path(""), UserError);
    EXPECT_EQ(f.mode(), FormMode::read_file);
    EXPECT_FALSE(f.shown().model);
}

TEST(FormRules, BoxesTicksAndRangeFollowTheirRules) {
    FormState f(kComma);
    f.load(survey({"population"}), "a.txt");
    f.set_box(1, ".");
    EXPECT_EQ(f.box(1), "0");
    f.set_box(1, "1,5");
    f.leave_box(1);
    EXPECT_EQ(f.state().beta_entered(1), 1.5);
    // a point in a comma locale is not understood: the text stays, marked, the value too
    f.set_box(1, "0.5");
    f.leave_box(1);
    EXPECT_EQ(f.box(1), "0.5");
    EXPECT_NE(f.box_problem(1).find("\"0.5\" is not a number: type a number such as 0,25 (decimals after ',')"),
              std::string::npos) << f.box_problem(1);
    EXPECT_EQ(f.state().beta_entered(1), 1.5);
    // and it says how this reader writes it
    EXPECT_NE(f.box_problem(1).find("Write 0,5"), std::string::npos) << f.box_problem(1);
    f.set_box(1, "0,5");
    EXPECT_TRUE(f.box_problem(1).empty());

    f.set_tick(1, true);
    f.set_box(1, "2");
    f.set_tick(1, false);
    EXPECT_EQ(f.box(1), "2");  // fixed at what it shows

    for (const char* bad : {"-5", "0", "100", "x"}) {
        f.set_range(bad);
        f.leave_range();
        EXPECT_EQ(f.range(), bad);
        EXPECT_NE(f.range_problem().find("a percentage from 1 to 99"), std::string::npos) << bad;
    }
    f.set_range("99");
    f.leave_range();
    EXPECT_TRUE(f.range_problem().empty());

    f.choose_distribution(Dist::negbin);
    EXPECT_EQ(f.extra_name(), "VoM - 1");
    EXPECT_EQ(f.box(0), "10");
    EXPECT_EQ(f.box(5), "1");
    EXPECT_EQ(f.box_label(5), "the extra parameter VoM - 1");
}

TEST(FormRules, AnotherPathIsReadAtTheClickNeverEstimatedAsTheDataHeld) {
    FormState f(kPoint);
    f.load(survey({"population"}), "a.txt");
    f.set_path("b.txt");
    EXPECT_EQ(f.mode(), FormMode::read_file);
    EXPECT_EQ(f.next_click(), ClickAction::ReadFile);
    f.set_path("a.txt");  // typed back: the data held are that file's
    EXPECT_EQ(f.mode(), FormMode::estimate);
}

TEST(FormRules, AFileThatCannotBeReadChangesNothing) {
    FormState f(kPoint);
    f.load(survey({"population"}), "a.txt");
    EXPECT_THROW(f.read_file("/nowhere/b.txt"), UserError);
    EXPECT_EQ(f.data_file(), "a.txt");
    EXPECT_EQ(f.state().n_surveyed, 12);
}

TEST(FormRules, ANewFileKeepsTheTicksOfPredictorsOfTheSameNameOnly) {
    FormState f(kPoint);
    f.load(survey({"population", "area"}), "a.txt");
    f.set_tick(1, true);
    f.set_tick(2, true);
    f.set_box(1, "0.003");
    f.set_box(2, "4");
    f.load(survey({"population", "households"}), "b.txt");
    EXPECT_TRUE(f.tick(1));
    EXPECT_EQ(f.box(1), "0.003");
    EXPECT_FALSE(f.tick(2));  // area's value is no start for households
    EXPECT_EQ(f.box(2), "0");
}

TEST(FormResult, TheResultBelongsToTheDataAndModelItWasEstimatedFrom) {
    FormState f(kPoint);
    f.load(survey({"population"}), "/data/a.txt");
    f.set_tick(1, true);
    EXPECT_EQ(f.result(), nullptr);
    EXPECT_TRUE(f.out_of_date_line().empty());
    estimate(f);
    ASSERT_NE(f.result(), nullptr);
    EXPECT_TRUE(f.result_current());  // the estimates written into the boxes are its own

    // a box typed and typed back
    const std::string b0 = f.box(0);
    f.set_box(0, "3");
    EXPECT_FALSE(f.result_current());
    f.set_box(0, b0);
    EXPECT_TRUE(f.result_current());
    // a range is only the chart's reach
    f.set_range("20");
    EXPECT_TRUE(f.result_current());
    // a ward named, or another ward, is another estimate; the box emptied again, the same one
    f.set_ward("u1");
    EXPECT_FALSE(f.result_current());
    EXPECT_NE(f.out_of_date_line().find("the model or its start values have changed"), std::string::npos);
    f.set_ward("");
    EXPECT_TRUE(f.result_current());
    f.set_ward("u1");
    estimate(f);
    EXPECT_TRUE(f.result_current());
    f.set_ward("u2");
    EXPECT_FALSE(f.result_current());
    f.set_ward("u1");
    EXPECT_TRUE(f.result_current());
    f.set_ward("");
    estimate(f);

    EXPECT_EQ(f.change_note(), "");
    f.choose_distribution(Dist::normal);
    EXPECT_FALSE(f.result_current());
    EXPECT_EQ(f.out_of_date_line(),
              "Out of date: these results are for a.txt (lognormal; constant, population); the model or its start "
              "values have changed. Click \"estimate population size\" for results that belong to what is shown.");
    estimate(f);
    EXPECT_TRUE(f.result_current());
    // the likelihood's change is against a fit of another model: it says which, and points to AIC
    EXPECT_EQ(f.change_note().rfind(" (the change is against the fit of another model: lognormal; constant, population;", 0), 0u);
    EXPECT_NE(f.change_note().find("AIC"), std::string::npos);
    estimate(f);
    EXPECT_EQ(f.change_note(), "");
    EXPECT_NE(f.result()->label7.find(", change = "), std::string::npos);

    f.load(survey({"population"}), "/data/b.txt");
    f.choose_distribution(Dist::normal);
    estimate(f);
    // against a fit of another file there is no change to show
    EXPECT_EQ(f.change_note(), "");
    EXPECT_EQ(f.result()->label7.find("change"), std::string::npos);
    f.load(survey({"population"}), "/data/a.txt");
    EXPECT_FALSE(f.result_current());
    EXPECT_NE(f.out_of_date_line().find("for b.txt (normal; constant, population); other data are held now"),
              std::string::npos);
}

TEST(FormResult, UsingAModelOfTheTableMarksTheResultOutOfDate) {
    FormState f(kPoint);
    f.load(survey({"population", "area"}), "a.txt");
    estimate(f);
    ModelRow row;
    row.dist = Dist::negbin;
    row.predictors = {2};
    row.boxes = {"4.5", "", "0.01", "", "", "0.8"};
    f.use_model(row);
    EXPECT_FALSE(f.result_current());
    EXPECT_EQ(f.distribution(), Dist::negbin);
    EXPECT_FALSE(f.tick(1));
    EXPECT_TRUE(f.tick(2));
    EXPECT_EQ(f.box(0), "4.5");
    EXPECT_EQ(f.box(1), "0");
    EXPECT_EQ(f.box(2), "0.01");
    EXPECT_EQ(f.box(5), "0.8");
}

TEST(FormResult, EachSimulationIsDataOfItsOwn) {
    FormState f(kPoint);
    f.set_path("");
    f.set_surveys("15");
    estimate(f);
    EXPECT_TRUE(f.shown().reestimate);
    EXPECT_TRUE(f.shown().sim_summary);
    EXPECT_TRUE(f.result_current());
    EXPECT_EQ(f.result_origin()->data_name, "simulated data");
    const long first = f.result_origin()->data_version;
    f.set_just_estimate(true);
    estimate(f);  // re-estimating keeps the data
    EXPECT_EQ(f.result_origin()->data_version, first);
    f.set_just_estimate(false);
    estimate(f);
    EXPECT_GT(f.result_origin()->data_version, first);
}

TEST(FormSimulation, AnotherGeneratorStartsANewSeriesAndThePredictorsReadAsWords) {
    FormState f(kPoint);
    f.set_path("");
    f.set_surveys("15");
    estimate(f);
    estimate(f);
    EXPECT_EQ(f.state().n_sims, 2);
    f.set_generator(Generator::classic);  // the same: the series goes on
    EXPECT_EQ(f.state().n_sims, 2);
    f.set_generator(Generator::exact);
    EXPECT_EQ(f.state().n_sims, 0);
    EXPECT_EQ(f.state().tally_of(IntervalKind::wald).scored, 0);
    estimate(f);
    EXPECT_EQ(f.state().n_sims, 1);
    EXPECT_EQ(f.predictor_label(2), "predictor 2");
}

// The window's boxes typed and left, then the simulating click: values whose draws could not
// be counts are refused with the value and the limit, and the form keeps what it had.
TEST(FormSimulation, ValuesWhoseDrawsCannotBeCountsAreRefusedAndChangeNothing) {
    struct Case {
        Dist dist;
        std::array<const char*, 6> boxes;
        const char* message;
    };
    const std::vector<Case> cases{
        {Dist::negbin, {"10", "1e300", "0", "0", "0", "1"}, "a ward's mean of 1,1E+303 is beyond single precision"},
        {Dist::negbin, {"10", "0", "0", "0", "0", "1e300"},
         "a ward of mean 10 has a standard deviation of 3,162E+150, beyond the largest count the model library "
         "takes (2147483520)"},
        {Dist::lognormal, {"1e308", "0", "0", "0", "0", "1e308"}, "a ward's mean of 1E+308 is beyond single precision"},
        {Dist::normal, {"5", "0", "0", "0", "0", "-1"}, "The extra parameter SD must be 0 or more to simulate (it is -1)"},
    };
    for (Generator g : {Generator::classic, Generator::exact})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.message);
            FormState f(kComma);
            f.set_path("");
            f.set_generator(g);
            f.choose_distribution(c.dist);
            for (int i = 0; i < 6; ++i) {
                f.set_box(i, c.boxes[static_cast<std::size_t>(i)]);
                f.leave_box(i);
            }
            const long version = f.data_version();
            try {
                estimate(f);
                ADD_FAILURE() << "simulated";
            } catch (const UserError& e) {
                EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            }
            EXPECT_EQ(f.result(), nullptr);
            EXPECT_EQ(f.data_version(), version);
            EXPECT_EQ(f.box(1), c.boxes[1]);
            EXPECT_EQ(f.state().n_sims, 0);
        }
}

// A negative SD is marked in its box as soon as it is left while the form simulates; estimating
// from a file takes it as a start value, unmarked.
TEST(FormSimulation, ANegativeSdIsMarkedWhileSimulating) {
    FormState f(kPoint);
    f.load(survey({"population"}), "a.txt");
    f.choose_distribution(Dist::normal);
    f.set_box(5, "-1");
    f.leave_box(5);
    EXPECT_EQ(f.box_problem(5), "");
    f.set_path("");
    EXPECT_NE(f.box_problem(5).find("must be 0 or more to simulate (it is -1)"), std::string::npos) << f.box_problem(5);
    f.choose_distribution(Dist::lognormal);  // the lognormal's own start values
    EXPECT_EQ(f.box_problem(5), "");
    f.choose_distribution(Dist::normal);
    f.set_box(5, "0");
    f.leave_box(5);
    EXPECT_EQ(f.box_problem(5), "");
}

// The summary's numbers against glmmTMB's fit of the same model (tests/reference), in a
// reader's comma decimals; cells a spreadsheet takes apart at the tabs.
TEST(ResultsSummaryTest, AgreesWithAnIndependentFitAndNamesWhatEachIntervalCovers) {
    FormState f(kComma);
    f.read_file(std::string(VALDMORA_REFERENCE_DIR) + "/compare40.txt");
    f.choose_distribution(Dist::negbin);
    for (int j = 1; j <= 3; ++j) f.set_tick(j, true);
    estimate(f, 50);
    const ResultsSummary sum = results_summary(f);
    auto cell = [&](const std::string& first, std::size_t c) -> std::string {
        for (const auto& row : sum.rows)
            if (!row.empty() && row[0] == first && row.size() > c) return row[c];
        return "(no row " + first + ")";
    };
    // negbin, households+road_km+markets: log_lik -130.56415583452645, aic 271.12831166905289,
    // aicc 272.89301755140582, total 949.26378 (846.03115, 1052.49641)
    EXPECT_EQ(cell("log likelihood (complete, with every constant)", 1), "-130,564");
    EXPECT_EQ(cell("AIC", 1), "271,128");
    EXPECT_EQ(cell("AICc", 1), "272,893");
    EXPECT_EQ(cell("estimated dogs in the unsurveyed wards", 1), "949");
    EXPECT_EQ(cell("Wald", 1), "the dogs present (prediction)");
    EXPECT_EQ(cell("Wald", 2), "846 to 1.052");
    EXPECT_EQ(cell("delta method", 1), "their expected number (confidence)");
    EXPECT_EQ(cell("parametric bootstrap", 1), "the dogs present (prediction)");
    EXPECT_EQ(cell("free parameters", 1), "5");
    EXPECT_EQ(cell("constant", 2).find('.'), std::string::npos) << "comma decimals";
    // the negative binomial's likelihood has no constant left out, so only one line shows it
    EXPECT_EQ(cell("log likelihood as the form shows it (without -ln(2 pi)/2 a ward)", 1).rfind("(no row", 0), 0u);

    const std::string table = sum.table();
    EXPECT_NE(table.find("AIC\t271,128"), std::string::npos) << table;
    const std::string text = sum.text();
    EXPECT_NE(text.find("Model: negative binomial; constant, households, road_km, markets"), std::string::npos) << text;
    EXPECT_EQ(text.find("Out of date"), std::string::npos);
    f.set_tick(3, false);
    EXPECT_EQ(results_summary(f).text().rfind("Out of date: these results are for compare40.txt", 0), 0u);
    // the pane leads with the town's dogs, in the reader's separators
    EXPECT_EQ(sum.rows.at(0).at(0).rfind("Dogs in the town: ", 0), 0u) << sum.rows[0][0];
    EXPECT_NE(sum.rows[0][0].find(" to "), std::string::npos);
    EXPECT_NE(sum.rows[0][0].find(" counted"), std::string::npos);
}

TEST(ResultsSummaryTest, SmallEstimatesAreWrittenOutNotInScientificNotation) {
    FormState f(kComma);
    // populations in thousands: the slope's standard error is 0.000589 (R's lm gives
    // 3.4678818609505555e-07 for its variance)
    f.read_file(std::string(VALDMORA_REFERENCE_DIR) + "/realsize60.txt");
    for (int j = 1; j <= 2; ++j) f.set_tick(j, true);
    estimate(f);
    const ResultsSummary sum = results_summary(f);
    bool seen = false;
    for (const auto& row : sum.rows)
        if (row.size() > 2 && row[0] == "coefficient of population") {
            EXPECT_EQ(row[2], "0,000588887") << row[2];
            seen = true;
        }
    EXPECT_TRUE(seen);
    for (const auto& row : sum.rows)
        for (const std::string& cell : row) {
            EXPECT_EQ(cell.find("E-"), std::string::npos) << cell;
            EXPECT_EQ(cell.find("e-"), std::string::npos) << cell;
        }
}

TEST(ResultsSummaryTest, TheNormalShowsBothLikelihoodsAndNothingWithoutAResult) {
    FormState f(kPoint);
    EXPECT_TRUE(results_summary(f).rows.empty());
    f.read_file(std::string(VALDMORA_REFERENCE_DIR) + "/compare40.txt");
    f.choose_distribution(Dist::normal);
    estimate(f);
    const ResultsSummary sum = results_summary(f);
    double complete = 0, form = 0;
    for (const auto& row : sum.rows) {
        if (row[0] == "log likelihood (complete, with every constant)") complete = std::stod(row[1]);
        if (row[0] == "log likelihood as the form shows it (without -ln(2 pi)/2 a ward)") form = std::stod(row[1]);
    }
    EXPECT_NEAR(complete - form, -20.0 * std::log(2.0 * 3.14159265358979), 1e-3);  // 40 wards
    EXPECT_NE(sum.text().find("profile likelihood  their expected number (confidence)"), std::string::npos) << sum.text();
}

// The boxes after a click: each free estimate in the box's own pattern, while a fixed box and
// a box the data have no predictor for keep their texts.
TEST(FormClick, TheBoxesShowTheEstimatesAndKeepTheFixedTexts) {
    FormState f(kPoint);
    f.load(survey({"a", "b"}), "a.txt");
    f.choose_distribution(Dist::normal);
    f.set_tick(2, true);
    const std::array<const char*, 6> typed{"2", "0.5", "1", "77", "88", "3"};
    for (int i = 0; i < 6; ++i) f.set_box(i, typed[static_cast<std::size_t>(i)]);
    // the start values are the boxes' numbers; the extra parameter's comes from box 5
    const ClickInput in = f.click_input();
    EXPECT_EQ(in.request.dist, Dist::normal);
    EXPECT_EQ(in.request.start[0], 2.0);
    EXPECT_EQ(in.request.start[1], 0.5);
    EXPECT_EQ(in.request.start[2], 1.0);
    EXPECT_EQ(in.request.start[5], 3.0);
    EXPECT_EQ(in.request.free, (std::array<bool, 5>{true, false, true, false, false}));
    estimate(f);
    ASSERT_NE(f.result(), nullptr);
    const EstimateResult& e = f.result()->estimate;
    EXPECT_EQ(e.free_pos, (std::vector<int32_t>{1, 3, 4}));
    EXPECT_EQ(f.box(0), box_text(e.values[0], kPoint));
    EXPECT_EQ(f.box(2), box_text(e.values[2], kPoint));
    EXPECT_EQ(f.box(5), box_text(e.values[5], kPoint));
    EXPECT_EQ(f.box(1), "0.5");  // fixed: keeps its text
    EXPECT_EQ(f.box(3), "77");   // no third predictor: untouched
    EXPECT_EQ(f.box(4), "88");
}

// Unticking a box, the constant's or a predictor's, fixes the parameter at the value the box
// shows: an estimate keeps showing it, the click starts from it, and the fit holds it there.
TEST(FormClick, UntickingABoxFixesItAtTheValueItShows) {
    FormState f(kComma);
    f.load(survey({"a", "b"}), "a.txt");
    f.choose_distribution(Dist::normal);
    f.set_tick(1, true);
    f.set_tick(2, true);
    estimate(f);
    ASSERT_NE(f.result(), nullptr);
    f.set_box(0, "6,5");
    const std::string b2 = f.box(2);  // the estimate, as its box shows it
    ASSERT_NE(b2, "0");
    f.set_tick(0, false);
    f.set_tick(2, false);
    EXPECT_EQ(f.box(0), "6,5");
    EXPECT_EQ(f.box(2), b2);
    const ClickInput in = f.click_input();
    EXPECT_EQ(in.request.free, (std::array<bool, 5>{false, true, false, false, false}));
    EXPECT_EQ(in.request.start[0], 6.5);
    EXPECT_EQ(in.request.start[2], *parse_number(b2, kComma));
    estimate(f);
    const EstimateResult& e = f.result()->estimate;
    EXPECT_EQ(e.free_pos, (std::vector<int32_t>{2, 4}));
    EXPECT_EQ(e.par_value[0], 6.5);
    EXPECT_EQ(e.par_value[2], *parse_number(b2, kComma));
    EXPECT_EQ(f.box(0), "6,5");
    EXPECT_EQ(f.box(2), b2);
    EXPECT_TRUE(f.result_current());
    // ticked again, the box still starts the fit from what it shows
    f.set_tick(2, true);
    EXPECT_EQ(f.box(2), b2);
}

// After a simulation the boxes show the true values it drew with, in the general form (not
// what was typed since, nor four decimals); a free one then shows its estimate.
TEST(FormClick, ASimulationRefillsTheBoxesFromTheTrueValuesInTheGeneralForm) {
    FormState f(kPoint);
    f.set_box(0, "40");
    f.set_box(1, "0.5");
    f.set_box(2, "0.00012345");
    f.set_path("");
    EXPECT_EQ(f.state().beta_entered(1), 0.5);
    f.set_tick(0, false);  // only the extra parameter is estimated
    f.set_box(1, "7");     // typed, not entered: the true value stays 0.5
    f.set_surveys("20");
    estimate(f);
    ASSERT_NE(f.result(), nullptr);
    EXPECT_TRUE(f.result()->simulated);
    EXPECT_EQ(f.box(0), "40");
    EXPECT_EQ(f.box(1), "0.5");
    EXPECT_EQ(f.box(2), general_number(0.00012345, kPoint));
    EXPECT_NE(f.box(2), box_text(0.00012345, kPoint));
    EXPECT_EQ(f.box(3), "0");
    EXPECT_EQ(f.box(5), box_text(f.result()->estimate.values[5], kPoint));
}

// Texts that are not numbers stop a click before the engine, naming the box or the range;
// nothing is estimated.
TEST(FormClick, TextsThatAreNotNumbersAreRefusedNamingTheBox) {
    FormState f(kPoint);
    f.load(survey({"population"}), "a.txt");
    f.set_box(0, "1.2.3");
    try {
        f.click_input();
        FAIL() << "1.2.3 was read as a number";
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("The value of the constant is \"1.2.3\", which is not a number"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(f.box_value(0), UserError);
    f.set_box(0, "10");
    EXPECT_EQ(f.box_value(0), 10.0);
    for (const char* range : {"x", "0", "-50"}) {
        f.set_range(range);
        try {
            f.click_input();
            FAIL() << range;
        } catch (const UserError& e) {
            EXPECT_NE(std::string(e.what()).find("The range of the likelihood chart is \"" + std::string(range) + "\""),
                      std::string::npos)
                << e.what();
        }
    }
    f.set_range("50");
    EXPECT_EQ(f.click_input().request.range_percent, 50.0);
    // a box of a predictor the data do not have is never read
    f.set_box(3, "abc");
    EXPECT_NO_THROW(f.click_input());
    EXPECT_EQ(f.result(), nullptr);
    // decimals in the locale's own form
    FormState comma(kComma);
    comma.load(survey({"population"}), "a.txt");
    comma.set_box(1, "0,125");
    EXPECT_EQ(comma.click_input().request.start[1], 0.125);
    comma.set_box(1, "0.125");
    EXPECT_THROW(comma.click_input(), UserError);
}

// The number of surveys is a simulation's without a file: it must be a whole number of at
// least 1 (to the nearest); after a file the file's wards are simulated and it is not read.
TEST(FormClick, TheNumberOfSurveysIsReadOnlyWithoutAFile) {
    FormState f(kPoint);
    f.set_path("");
    for (const char* bad : {"abc", "0", "0.4", "-3", "", "1e30"}) {
        f.set_surveys(bad);
        EXPECT_THROW(f.click_input(), UserError) << bad;
    }
    f.set_surveys("20.4");
    EXPECT_TRUE(f.click_input().simulate);
    EXPECT_EQ(f.click_input().surveys, 20);

    FormState g(kPoint);
    g.load(survey({"population"}), "a.txt");
    g.set_path("");
    g.set_surveys("not read after a file");
    EXPECT_TRUE(g.click_input().simulate);
}

// The copied text's columns line up as a reader sees them, in characters, whatever letters
// the names hold: a coefficient's name beside the plain "constant", and a long name of many
// two-byte letters, which must not wrap a count of blanks round.
TEST(ResultsSummaryTest, ColumnsAlignWhateverLettersTheNamesHold) {
    const std::string long_name = "Einwohner größerer Höfe über Ödland, Übersicht für Süßwasser";
    const std::string ward = "Süderstraße-Öhringen-Wöhrden";
    CountData d = survey({"población", long_name});
    d.unsurveyed[1].name = ward;
    FormState f(kPoint);
    f.load(d, "población.txt");
    f.choose_distribution(Dist::normal);
    f.set_tick(1, true);
    f.set_tick(2, true);
    f.set_ward(ward);
    estimate(f);
    ASSERT_NE(f.result(), nullptr);
    ASSERT_TRUE(f.result()->estimate.cov.ok()) << f.result()->estimate.cov.reason();
    const ResultsSummary sum = results_summary(f);
    const std::string text = sum.text();
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), sum.rows.size()) << text;
    auto chars = [](const std::string& s) {
        return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
    // where each cell of row i starts on its line, in characters (empty cells: nowhere)
    auto columns = [&](std::size_t i) {
        std::vector<std::size_t> at;
        std::size_t pos = 0;
        for (const std::string& cell : sum.rows[i]) {
            const std::size_t p = cell.empty() ? std::string::npos : lines[i].find(cell, pos);
            at.push_back(p == std::string::npos ? std::string::npos : chars(lines[i].substr(0, p)));
            if (p != std::string::npos) pos = p + cell.size();
        }
        return at;
    };
    std::size_t header = 0;
    while (header < sum.rows.size() && sum.rows[header][0] != "parameter") ++header;
    ASSERT_LT(header, sum.rows.size()) << text;
    const std::vector<std::size_t> head = columns(header);
    std::size_t rows = 0;
    for (std::size_t i = header + 1; i < sum.rows.size() && sum.rows[i].size() > 1; ++i, ++rows) {
        const std::vector<std::size_t> at = columns(i);
        for (std::size_t c = 0; c < at.size(); ++c) {
            if (sum.rows[i][c].empty()) continue;
            EXPECT_EQ(at[c], head[c]) << "column " << c << " of\n" << lines[i] << "\n" << text;
        }
    }
    EXPECT_EQ(rows, 4u) << text;  // the constant, two coefficients, the extra parameter
    EXPECT_EQ(head[1], chars("coefficient of " + long_name) + 2) << text;
    // the ward's own line: its name, two blanks, its estimate
    bool ward_line = false;
    for (std::size_t i = 0; i < sum.rows.size(); ++i)
        if (sum.rows[i][0] == "estimated dogs in ward " + ward) {
            ward_line = true;
            ASSERT_EQ(sum.rows[i].size(), 2u);
            EXPECT_EQ(lines[i], sum.rows[i][0] + "  " + sum.rows[i][1]);
        }
    EXPECT_TRUE(ward_line) << text;
}

// Without a covariance the pane says why: the Wald row "not available: <reason>" and the
// line on the standard errors with the reason in brackets.
TEST(ResultsSummaryTest, MissingLimitsSayWhy) {
    CountData d = survey({"population", "flat"});
    for (WardRow& w : d.surveyed) w.x[1] = 7.0;  // a constant predictor: no more than the constant
    FormState f(kPoint);
    f.load(d, "flat.txt");
    f.choose_distribution(Dist::normal);
    f.set_tick(2, true);
    estimate(f);
    ASSERT_NE(f.result(), nullptr);
    const EstimateResult& e = f.result()->estimate;
    ASSERT_FALSE(e.cov.ok());
    const std::string reason = e.cov.reason();
    EXPECT_FALSE(reason.empty());
    ASSERT_FALSE(e.wald().ok());
    const ResultsSummary sum = results_summary(f);
    bool wald_row = false, no_se_line = false;
    for (const auto& row : sum.rows) {
        if (row.size() > 2 && row[0] == "Wald") {
            wald_row = true;
            EXPECT_EQ(row[2], "not available: " + e.wald().reason());
        }
        if (!row.empty() && row[0] == "No standard errors: the covariance matrix could not be computed (" + reason + ").")
            no_se_line = true;
    }
    EXPECT_TRUE(wald_row) << sum.text();
    EXPECT_TRUE(no_se_line) << sum.text();
}

// The sighting group: off by default and then no correction; typed counts (parted by commas,
// semicolons or blanks) or a proportion in the form's own decimal separator become the
// request's numbers; anything unusable is a message that names it.
TEST(FormSighting, TheGroupBecomesTheRequestsSightingsOrAMessageNamingTheValue) {
    FormState f(NumberFormat{',', '.'});
    EXPECT_FALSE(f.sighting().on);
    EXPECT_FALSE(f.sighting_input());
    SightingForm g;
    g.on = true;
    g.marked = "40";
    g.seen = "22; 25 19";
    f.set_sighting(g);
    const auto counts = f.sighting_input();
    ASSERT_TRUE(counts);
    const auto& c = std::get<SightingCounts>(*counts);
    EXPECT_EQ(c.marked, 40);
    EXPECT_EQ(c.seen, (std::vector<long>{22, 25, 19}));
    g.from_counts = false;
    g.proportion = "0,62";
    g.se = "0,05";
    f.set_sighting(g);
    const auto share = f.sighting_input();
    ASSERT_TRUE(share);
    EXPECT_DOUBLE_EQ(std::get<SightingShare>(*share).proportion, 0.62);
    EXPECT_DOUBLE_EQ(std::get<SightingShare>(*share).se, 0.05);
    const std::pair<SightingForm, const char*> bad[] = {
        {{true, true, "40", "22, 2.5", "", ""}, "count 2, \"2.5\", is not a whole number"},
        {{true, true, "", "3", "", ""}, "the marked dogs present is missing"},
        {{true, true, "4", "5", "", ""}, "more than the 4 marked dogs"},
        {{true, true, "4", "", "", ""}, "no count of marked dogs seen"},
        {{true, false, "", "", "0.6", "0,1"}, "sighting proportion \"0.6\" is not a number"},
        {{true, false, "", "", "1,5", "0,1"}, "1.5 is outside (0, 1]"},
        {{true, false, "", "", "0,5", "-0,1"}, "-0.1 is negative"},
    };
    for (const auto& [form, words] : bad) {
        f.set_sighting(form);
        try {
            (void)f.sighting_input();
            ADD_FAILURE() << words;
        } catch (const UserError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
            EXPECT_EQ(e.title(), "Sighting correction");
        }
    }
}
