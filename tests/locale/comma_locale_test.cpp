// SPDX-License-Identifier: GPL-3.0-or-later
// The engine inside a real decimal-comma session: the C library's locale is German for the
// whole test program, as the window's start-up makes it for a German user.
#include <cmath>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <fstream>

#include "cycle/count_file.h"
#include "cycle/number_format.h"
#include "estimation/click.h"
#include "valdmora/modellib.h"

using namespace valdmora;

namespace {

const NumberFormat kGerman{',', '.'};

ClickResult example_click(const NumberFormat& fmt, const BoxValues& start) {
    EstimationState s;
    form_load(s);
    store_count_data(s, read_count_file(VALDMORA_EXAMPLE_DATA));
    s.err_dist = Dist::negbin;
    ClickInput in;
    in.fmt = fmt;
    in.data_file = true;
    in.request.dist = Dist::negbin;
    in.request.free = {true, true, true, true, false};
    in.request.start = start;
    ClickServices services;
    services.library = {VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH, VALDMORA_HESSIAN};
    return run_estimating_click(in, s, services);
}

}  // namespace

TEST(CommaLocale, TheCLibraryReallyWritesCommas) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", 1.5);
    EXPECT_STREQ(buf, "1,50") << "the test runs without a comma locale";
}

TEST(CommaLocale, NumbersTakeTheirDigitsFromNowhereButTheValue) {
    EXPECT_EQ(format_number(37.117, "###.####", kGerman), "37,117");
    EXPECT_EQ(format_number(1234567.0, "##,###", kGerman), "1.234.567");
    EXPECT_EQ(format_number(-0.25, "#.###0", kGerman), "-,2500");
    EXPECT_EQ(plain_number(2.5, kGerman), " 2,5 ");
    EXPECT_EQ(plain_number(1e20, kGerman), " 1E+20 ");
    EXPECT_EQ(general_number(0.1, kGerman), "0,1");
    EXPECT_EQ(shortest_number(0.1), "0.1");  // for programs: a point always
    // the same patterns with a point
    EXPECT_EQ(format_number(37.117, "###.####", {}), "37.117");
}

TEST(CommaLocale, DataFilesReadTheirPointDecimals) {
    const std::string path = ::testing::TempDir() + "/comma_locale_counts.txt";
    std::ofstream(path) << "a\tb\nW1\t19.4\t2\t12\nW2\t3.25\t1\t7\nX;1,5;2\n";
    const CountData d = read_count_file(path);
    EXPECT_EQ(d.surveyed[0].x[0], 19.4);
    EXPECT_EQ(d.surveyed[1].x[0], 3.25);
    EXPECT_EQ(d.unsurveyed[0].x[0], 1.5);
}

TEST(CommaLocale, AWholeClickGivesTheSameNumbersWithCommaTexts) {
    const ClickResult german = example_click(kGerman, {10, 0, 0, 0, 0, 1});
    const ClickResult point = example_click({}, {10, 0, 0, 0, 0, 1});
    EXPECT_EQ(german.estimate.max_ll, point.estimate.max_ll);
    EXPECT_EQ(german.estimate.total.pop_est, point.estimate.total.pop_est);
    ASSERT_TRUE(german.estimate.wald().ok()) << german.estimate.wald().reason();
    ASSERT_TRUE(point.estimate.wald().ok()) << point.estimate.wald().reason();
    EXPECT_EQ(german.estimate.wald()->lower, point.estimate.wald()->lower);
    EXPECT_EQ(german.label7.rfind("maximum log likelihood = -115,693, change = -115,693", 0), 0u) << german.label7;
    EXPECT_EQ(german.label8.rfind("estimated number of roaming dogs = 1.780 (", 0), 0u) << german.label8;
    // limits that cannot be read as one decimal number
    const auto open = german.label8.find('('), close = german.label8.find(')');
    const std::string limits = german.label8.substr(open, close - open + 1);
    EXPECT_NE(limits.find("; "), std::string::npos) << limits;
    EXPECT_EQ(limits.find(','), std::string::npos) << limits;
    EXPECT_NE(point.label8.find(std::to_string(std::lround(point.estimate.wald()->lower)) + "," +
                                  std::to_string(std::lround(point.estimate.wald()->upper)) + ")"),
              std::string::npos) << point.label8;
    // the estimates as the boxes show them read back as the same numbers
    EXPECT_EQ(german.estimate.values, point.estimate.values);
    for (std::size_t i : {0, 1, 2, 3, 5}) {
        const std::string point_text = box_text(point.estimate.values[i], {});
        EXPECT_NE(point_text.find('.'), std::string::npos) << i << " " << point_text;  // decimals to compare
        std::string text = point_text;
        std::replace(text.begin(), text.end(), '.', ',');
        EXPECT_EQ(box_text(german.estimate.values[i], kGerman), text) << i;
    }
    // the predictions file is the same; user.txt differs only in its decimal separator
    EXPECT_EQ(german.files[1].content, point.files[1].content);
    std::string user = german.files[0].content;
    std::replace(user.begin(), user.end(), ',', '.');
    EXPECT_EQ(user, point.files[0].content);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        std::fprintf(stderr, "The de_DE.UTF-8 locale is not installed; scripts/setup-deps.sh generates it.\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
