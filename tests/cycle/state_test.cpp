// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "cycle/command_cycle.h"
#include "cycle/estimation_state.h"
#include "cycle/number_text.h"
#include "cycle/user_error.h"

using namespace valdmora;

TEST(EstimationState, LoadFillsTheConstantTables) {
    EstimationState s;
    form_load(s);
    EXPECT_EQ(s.err_dist, Dist::lognormal);
    EXPECT_EQ(s.extra_param_name(2), "VoM - 1");
    EXPECT_EQ(s.extra_param_name(3), "null");
    EXPECT_EQ(s.t_crit(1), 12.706f);
    EXPECT_EQ(s.t_crit(20), 2.086f);
    EXPECT_EQ(s.t_crit(21), 2.0f);
    EXPECT_EQ(s.t_crit(100), 2.0f);
    EXPECT_EQ(s.data_read, 0);
}

TEST(EstimationState, WardsGrowAndIndicesOutsideThemAreErrorsWithTheName) {
    EstimationState s;
    s.resize_wards(150, 2);
    EXPECT_NO_THROW(s.surveyed_count(150) = 1.0f);
    try {
        s.surveyed_count(151) = 1.0f;
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("surveyed_count(151) is outside its range 1 to 150"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(s.surveyed_count(0), UserError);
    EXPECT_THROW(s.unsurveyed_x(5, 1), UserError);
    EXPECT_THROW(s.unsurveyed_x(0, 1), UserError);
    EXPECT_THROW(s.unsurveyed_x(1, 3), UserError);
    EXPECT_THROW(s.surveyed_x(0, 1), UserError);
    EXPECT_THROW(s.beta_entered(6), UserError);
    s.resize_wards(100000, 100000);
    EXPECT_EQ(s.n_surveyed, 100000);
    EXPECT_NO_THROW(s.unsurveyed_x(4, 100000) = 2.0f);
    // the t table ends at 100 degrees of freedom; beyond it the value stays 2.0
    form_load(s);
    EXPECT_EQ(s.t_value(20), 2.086f);
    EXPECT_EQ(s.t_value(145), 2.0);
    EXPECT_EQ(s.t_value(1000000), 2.0);
    EXPECT_THROW(s.t_value(0), UserError);
}

TEST(EstimationState, SixteenBitArithmeticRefusesToWrap) {
    EXPECT_EQ(add16(32766, 1, "n_sims"), 32767);
    EXPECT_THROW(add16(32767, 1, "n_sims"), UserError);
    EXPECT_THROW(to_int16(-32769, "count"), UserError);
}

TEST(CommandCycle, DispatchOnModePathAndReestimate) {
    EXPECT_EQ(decide_click(FormMode::read_file, "", false), ClickAction::ReadFile);
    EXPECT_EQ(decide_click(FormMode::estimate, "counts.txt", false), ClickAction::Estimate);
    EXPECT_EQ(decide_click(FormMode::estimate, "", false), ClickAction::SimulateAndEstimate);
    EXPECT_EQ(decide_click(FormMode::simulate, "", true), ClickAction::Estimate);
    EXPECT_EQ(decide_click(FormMode::reestimate, "x.txt", false), ClickAction::Estimate);
    // only the read mode reads: every other mode estimates, simulating first on an empty path
    for (const FormModeTraits& m : kFormModes) {
        if (m.mode == FormMode::read_file) continue;
        EXPECT_EQ(decide_click(m.mode, "", false), ClickAction::SimulateAndEstimate) << m.caption;
        EXPECT_EQ(decide_click(m.mode, "", true), ClickAction::Estimate) << m.caption;
        EXPECT_EQ(decide_click(m.mode, "x.txt", false), ClickAction::Estimate) << m.caption;
    }
}

TEST(CommandCycle, EachModeShowsItsOwnCaption) {
    EXPECT_EQ(caption_of(FormMode::read_file), "read data from file");
    EXPECT_EQ(caption_of(FormMode::estimate), "estimate population size");
    EXPECT_EQ(caption_of(FormMode::simulate), "simulate data and estimate");
    EXPECT_EQ(caption_of(FormMode::simulate_again), "Simulate data and estimate");
    EXPECT_EQ(caption_of(FormMode::reestimate), "Estimate from current data");
    // the table is in the enum's order, so each mode finds its own row
    for (std::size_t i = 0; i < kFormModes.size(); ++i) EXPECT_EQ(static_cast<std::size_t>(kFormModes[i].mode), i);
}

TEST(NumberText, ParsesInEitherLocaleAndRefusesPartialNumbers) {
    const NumberFormat point{'.', ','}, comma{',', '.'};
    EXPECT_EQ(parse_number(" 2.5 ", point), 2.5);
    EXPECT_EQ(parse_number("-0.25", point), -0.25);
    EXPECT_EQ(parse_number("+5", point), 5.0);
    EXPECT_EQ(parse_number(".5", point), 0.5);
    EXPECT_EQ(parse_number("1e3", point), 1000.0);
    EXPECT_EQ(parse_number("2,5", comma), 2.5);
    for (const char* bad : {"", " ", "-", "7abc", "1.2.3", "--5", "+-5", "inf", "nan", "1,5", "0x10", "-."})
        EXPECT_FALSE(parse_number(bad, point).has_value()) << bad;
    EXPECT_FALSE(parse_number("2.5", comma).has_value());
}

TEST(NumberText, IsnumLooksAtTheFirstCharacterOnly) {
    for (const char* yes : {"12", "-3", "0.25", "7abc", "-"}) EXPECT_TRUE(isnum(yes)) << yes;
    for (const char* no : {"", " 1", ".5", "+5", "abc"}) EXPECT_FALSE(isnum(no)) << no;
    // the test on leaving a box also wants the whole text to be a number
    EXPECT_TRUE(typed_number_ok("-0.5", {}));
    for (const char* no : {"7abc", "-", "1.2.3", "+5", " 1", ""}) EXPECT_FALSE(typed_number_ok(no, {})) << no;
    // every text the program writes into a box itself passes
    for (const char* yes : {".0433", "-.5", "5.", ".", "-3.1416"}) EXPECT_TRUE(typed_number_ok(yes, {}) || std::string(yes) == ".") << yes;
    const NumberFormat comma{',', '.'};
    for (const char* yes : {",0433", "-,5", "5,"}) EXPECT_TRUE(typed_number_ok(yes, comma)) << yes;
    EXPECT_FALSE(typed_number_ok(".5", comma));
}

TEST(NumberText, DataFileNumbersIgnoreTheLocale) {
    EXPECT_EQ(parse_data_number("19.4", false), 19.4);
    EXPECT_EQ(parse_data_number(" -2e3 ", false), -2000.0);
    EXPECT_EQ(parse_data_number("+.5", false), 0.5);
    EXPECT_FALSE(parse_data_number("19,4", false).has_value());
    EXPECT_EQ(parse_data_number("19,4", true), 19.4);
    EXPECT_EQ(parse_data_number("6944,5", true), 6944.5);
    for (const char* bad : {"", "1.000,5", "1,2,3", "e5", "1e", "1e+", "--1", "inf", "1 2", "0x1"})
        EXPECT_FALSE(parse_data_number(bad, true).has_value()) << bad;
    // below the smallest double is as near 0 as a double comes; beyond the largest is no number
    for (const char* tiny : {"1e-400", "-1e-400", "0.0000001e-399", "1e-99999999999999999999", "1000e-403"})
        EXPECT_EQ(parse_data_number(tiny, false), 0.0) << tiny;
    EXPECT_EQ(parse_data_number("0,5e-400", true), 0.0);
    for (const char* huge : {"1e400", "-1e309", "0.001e312", "1e99999999999999999999"}) {
        EXPECT_FALSE(parse_data_number(huge, false).has_value()) << huge;
        EXPECT_TRUE(data_number_too_large(huge, false)) << huge;
    }
    for (const char* other : {"1e-400", "abc", "1e", "19,4", "1.7e308"}) EXPECT_FALSE(data_number_too_large(other, false)) << other;
}
