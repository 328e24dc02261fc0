// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "cycle/number_format.h"

using namespace valdmora;

namespace {
const NumberFormat kPoint{'.', ','};
const NumberFormat kComma{',', '.'};
}  // namespace

TEST(NumberFormat, PatternsAsTheReportsUseThem) {
    EXPECT_EQ(format_number(0.25, "###.####", kPoint), ".25");
    EXPECT_EQ(format_number(2.0, "###.####", kPoint), "2.");
    EXPECT_EQ(format_number(0.0, "###.####", kPoint), ".");
    EXPECT_EQ(format_number(-3.14159265, "###.####", kPoint), "-3.1416");
    EXPECT_EQ(format_number(1234.56789, "###.####", kPoint), "1234.5679");
    EXPECT_EQ(format_number(0.0, "####.###", kPoint), ".");
    EXPECT_EQ(format_number(0.4, "###", kPoint), "");
    EXPECT_EQ(format_number(2.5, "###", kPoint), "3");
    EXPECT_EQ(format_number(-2.5, "0", kPoint), "-3");
    EXPECT_EQ(format_number(0.2, "0", kPoint), "0");
    EXPECT_EQ(format_number(1234567.0, "##,###", kPoint), "1,234,567");
    EXPECT_EQ(format_number(999.6, "##,###", kPoint), "1,000");
    EXPECT_EQ(format_number(0.3, "##,###", kPoint), "");
    EXPECT_EQ(format_number(1500.0, "##.#", kPoint), "1500.");
    EXPECT_EQ(format_number(1499.96, "##.#", kPoint), "1500.");
    EXPECT_EQ(format_number(-0.5, "#.###0", kPoint), "-.5000");
    EXPECT_EQ(format_number(-1234.5, "#.###0", kPoint), "-1234.5000");
}

TEST(NumberFormat, HalvesGoAwayFromZeroOnTheExactValue) {
    EXPECT_EQ(format_number(0.125, "#.##", kPoint), ".13");     // exactly half
    EXPECT_EQ(format_number(-0.125, "#.##", kPoint), "-.13");
    EXPECT_EQ(format_number(2.675, "#.##", kPoint), "2.67");    // just below half in binary
    EXPECT_EQ(format_number(9.99996, "###.####", kPoint), "10.");
    // a value that rounds to zero carries no sign; the change handler then makes "." a 0
    EXPECT_EQ(format_number(-0.00001, "###.####", kPoint), ".");
}

TEST(NumberFormat, LocaleSeparators) {
    EXPECT_EQ(format_number(0.25, "###.####", kComma), ",25");
    EXPECT_EQ(format_number(1234567.0, "##,###", kComma), "1.234.567");
    EXPECT_EQ(plain_number(2.5, kComma), " 2,5 ");
}

TEST(NumberFormat, PlainForm) {
    EXPECT_EQ(plain_number(5.0f, kPoint), " 5 ");
    EXPECT_EQ(plain_number(-5.0, kPoint), "-5 ");
    EXPECT_EQ(plain_number(0.25, kPoint, false), " 0.25");
    EXPECT_EQ(plain_number(1.0 / 3.0, kPoint, false), " 0.333333333333333");
    EXPECT_EQ(plain_number(30.0f, kPoint), " 30 ");
}
