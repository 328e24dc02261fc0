// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cycle/count_file.h"
#include "cycle/text.h"
#include "cycle/user_error.h"

using namespace valdmora;

namespace {

struct Split {
    std::vector<std::string> fields;
    int last;
};

Split split(const std::string& line) {
    Split s;
    uint8_t last = 0;
    split_readstring(line, s.fields, last);
    s.last = last;
    return s;
}

class TempFile {
public:
    explicit TempFile(const std::string& content, const std::string& name = "counts.txt") {
        dir_ = std::filesystem::temp_directory_path() / ("valdmora_test_" + std::to_string(::getpid()) + "_" +
                                                        std::to_string(counter_++));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / name).string();
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::filesystem::remove_all(dir_); }
    const std::string& path() const { return path_; }
    std::string dir() const { return dir_.string(); }

private:
    static inline int counter_ = 0;
    std::filesystem::path dir_;
    std::string path_;
};

// The message of a failed read, or "" when it succeeds.
std::string read_error(const std::string& content) {
    TempFile f(content);
    try {
        read_count_file(f.path());
    } catch (const UserError& e) {
        return std::string(e.what()) + " | " + e.detail();
    }
    return "";
}

}  // namespace

TEST(SplitReadstring, SeparatorChoiceAndFields) {
    EXPECT_EQ(split("X,1,2").fields, (std::vector<std::string>{"X", "1", "2"}));
    EXPECT_EQ(split("X,1,2").last, 2);
    // a comma wins over tabs and blanks; nothing is trimmed
    EXPECT_EQ(split("a b,\tc").fields, (std::vector<std::string>{"a b", "\tc"}));
    // blank-separated fields with a tab inside split at the tab only
    EXPECT_EQ(split("North side\t12 5").fields, (std::vector<std::string>{"North side", "12 5"}));
    EXPECT_EQ(split("a  b").fields, (std::vector<std::string>{"a", "", "b"}));
    // one trailing separator is ignored, but the empty field stays in the list
    const Split t = split("X,1,2,");
    EXPECT_EQ(t.last, 2);
    EXPECT_EQ(t.fields.size(), 4u);
    EXPECT_EQ(split("X,1,2,,").last, 3);
    EXPECT_EQ(split(",").last, 0);
    EXPECT_EQ(split("single").last, 0);
}

TEST(SplitReadstring, EmptyLineAndTooManyFieldsAreErrors) {
    EXPECT_THROW(split(""), UserError);
    EXPECT_EQ(split(std::string(255, ',') + "x").last, 255);  // 256 fields
    EXPECT_THROW(split(std::string(256, ',') + "x"), UserError);
}

TEST(CountFile, ReadsBothKindsOfWardInFileOrder) {
    TempFile f("housing,markets\r\nNorthside, 120, 3\r\nEastgate,340,5,27\r\nY,1,2,7.5\r\nX,1,2,\r\n");
    const CountData d = read_count_file(f.path());
    ASSERT_EQ(d.predictor_names, (std::vector<std::string>{"housing", "markets"}));
    ASSERT_EQ(d.unsurveyed.size(), 2u);
    ASSERT_EQ(d.surveyed.size(), 2u);
    EXPECT_EQ(d.unsurveyed[0].name, "Northside");
    EXPECT_EQ(d.unsurveyed[0].x[0], 120.0);
    EXPECT_EQ(d.unsurveyed[1].name, "X");  // one trailing comma: read like X,1,2
    EXPECT_EQ(d.surveyed[0].name, "Eastgate");
    EXPECT_EQ(d.surveyed[0].count, 27.0);
    EXPECT_EQ(d.surveyed[1].count, 7.5);
    EXPECT_TRUE(d.notices.empty());
    // lines that end in a CR alone, as older Mac programs write them, and a last CR
    TempFile mac("housing,markets\rNorthside,120,3\rEastgate,340,5,27\r");
    const CountData m = read_count_file(mac.path());
    EXPECT_EQ(m.unsurveyed.size(), 1u);
    ASSERT_EQ(m.surveyed.size(), 1u);
    EXPECT_EQ(m.surveyed[0].count, 27.0);
    TempFile mixed("a\r\nW,1,2\r\nV,3\r");
    EXPECT_EQ(read_count_file(mixed.path()).unsurveyed.size(), 1u);
    TempFile blank("a\rW,1,2\r\rV,3\rU,4\r\n");
    EXPECT_EQ(read_count_file(blank.path()).lines_not_read, 2);
}

TEST(CountFile, ABlankLineEndsTheDataAndSaysHowManyLinesWereNotRead) {
    TempFile f("a,b\nW1,1,2,3\n\nW2,1,2,3\n  \nW3,1,2\r\n\n");
    const CountData d = read_count_file(f.path());
    EXPECT_EQ(d.surveyed.size(), 1u);
    EXPECT_EQ(d.lines_not_read, 2);
    ASSERT_EQ(d.notices.size(), 1u);
    EXPECT_NE(d.notices[0].text.find("blank line 3: 2 lines after it were not read"), std::string::npos)
        << d.notices[0].text;
    // blank lines at the end alone leave nothing unread and say nothing
    TempFile g("a\tb\nW1\t1\t2\t3\n\n\n");
    EXPECT_TRUE(read_count_file(g.path()).notices.empty());
    TempFile h("a\tb\n");
    const CountData only = read_count_file(h.path());
    EXPECT_EQ(only.predictor_names.size(), 2u);
    EXPECT_TRUE(only.surveyed.empty() && only.unsurveyed.empty());
}

TEST(CountFile, PointDecimalsAndSpreadsheetSemicolonLines) {
    // a comma would make the comma the separator, so decimals go between tabs or blanks
    TempFile f("a\tb\nW1\t1.5\t 2 \t3e1\nW2 0.25 -4 6\n");
    const CountData d = read_count_file(f.path());
    EXPECT_EQ(d.surveyed[0].x[0], 1.5);
    EXPECT_EQ(d.surveyed[0].x[1], 2.0);
    EXPECT_EQ(d.surveyed[0].count, 30.0);
    EXPECT_EQ(d.surveyed[1].x[0], 0.25);
    // a line with ';' splits there, and its numbers may use a decimal comma; other lines
    // of the same file keep their own separators
    TempFile g("households;road_m;markets\nSouthdale;951;6944,5;0;36\nEastgate,340,5.5,2\nX;1;2,25;3,0\n");
    const CountData e = read_count_file(g.path());
    ASSERT_EQ(e.predictor_names, (std::vector<std::string>{"households", "road_m", "markets"}));
    EXPECT_EQ(e.surveyed[0].name, "Southdale");
    EXPECT_EQ(e.surveyed[0].x[1], 6944.5);
    EXPECT_EQ(e.surveyed[0].count, 36.0);
    EXPECT_EQ(e.unsurveyed[0].x[1], 5.5);
    EXPECT_EQ(e.unsurveyed[1].x[1], 2.25);
    // a comma is no decimal separator outside ';' lines (there it separates fields), nor
    // grouping anywhere
    EXPECT_EQ(read_error("a,b\nW1 19,4\n").rfind("please check data file", 0), 0u);
    EXPECT_NE(read_error("a;b\nW1;1.000,5;2\n").find("not a number"), std::string::npos);
    for (const char* bad : {"inf", "nan", "0x10", "1.2.3", "--1", "1e", "."})
        EXPECT_NE(read_error(std::string("a\tb\nW\t") + bad + "\t1\n").find("is not a number"), std::string::npos) << bad;
    // '.' decimals in a ';' line, alone and beside decimal commas in other fields
    TempFile h("a;b\nW1;1.5;2.25;3\nW2;0,5;4.75;7.0\nW3;-1.5e1;2,5\n");
    const CountData m = read_count_file(h.path());
    ASSERT_EQ(m.surveyed.size(), 2u);
    EXPECT_EQ(m.surveyed[0].x[0], 1.5);
    EXPECT_EQ(m.surveyed[0].x[1], 2.25);
    EXPECT_EQ(m.surveyed[1].x[0], 0.5);
    EXPECT_EQ(m.surveyed[1].x[1], 4.75);
    EXPECT_EQ(m.surveyed[1].count, 7.0);
    EXPECT_EQ(m.unsurveyed[0].x[0], -15.0);
    EXPECT_EQ(m.unsurveyed[0].x[1], 2.5);
    // one field with both marks is no number
    EXPECT_NE(read_error("a;b\nW1;1.5,2;3\n").find("not a number"), std::string::npos);
    // below the smallest double: read as 0, not refused as "not a number"
    TempFile tiny("a\nW1,1e-400,4\nW2,2,5\nW3,3,6\n");
    EXPECT_EQ(read_count_file(tiny.path()).surveyed[0].x[0], 0.0f);
    EXPECT_NE(read_error("a\nW1,1e400,4\n").find("\"1e400\" is too large"), std::string::npos);
}

TEST(CountFile, EveryBadInputNamesFileLineAndField) {
    EXPECT_NE(read_error("").find("is empty; its first line must name"), std::string::npos);
    EXPECT_EQ(read_error("").find("line 0"), std::string::npos);
    EXPECT_NE(read_error("\nW,1\n").find("line 1: the header line is empty"), std::string::npos);
    EXPECT_NE(read_error("a,b,c,d,e\n").find("at most 4"), std::string::npos);
    EXPECT_NE(read_error("a,,b\nW,1,2,3\n").find("line 1, field 2: the name of predictor variable 2 is empty"),
              std::string::npos);
    EXPECT_NE(read_error(" \nW,1\n").find("is empty"), std::string::npos);
    // a count that single precision would carry past 32 bits is refused where it stands
    EXPECT_NE(read_error("a\nW,1,2147483647\n").find("line 2, field 3: the dog count"), std::string::npos);
    EXPECT_EQ(read_error("a\nW,1,2147483520\n"), "");
    const std::string nan = read_error("a,b\nW1,1,2\nW2,1,l2,4\n");
    EXPECT_NE(nan.find("line 3, field 3"), std::string::npos) << nan;
    EXPECT_NE(nan.find("\"l2\" is not a number"), std::string::npos) << nan;
    EXPECT_NE(read_error("a\nW,1,-4\n").find("negative"), std::string::npos);
    EXPECT_NE(read_error("a\nW,1e99\n").find("too large"), std::string::npos);
    EXPECT_NE(read_error("a\nW,3e38,5\nV,3e38\nU,3e38\n").find("too large"), std::string::npos);
    EXPECT_NE(read_error("a\nW,1,3e9\n").find("too large"), std::string::npos);
    // a predictor value beyond 1e12 either way is refused where it stands; the bounds are read
    for (const char* beyond : {"2e12", "-2e12", "-1000000000001"}) {
        const std::string e = read_error(std::string("a,b\nW1,1,2,3\nW2,5,") + beyond + "\n");
        EXPECT_NE(e.find(std::string("line 3, field 3: the value of \"b\" \"") + beyond + "\""), std::string::npos) << e;
        EXPECT_NE(e.find("within \u00B11e12"), std::string::npos) << e;
    }
    EXPECT_EQ(read_error("a,b\nW1,-1e12,1e12,3\nW2,1e12,-1e12\n"), "");
    // a wrong number of fields: the old message, with the place and the expected counts
    const std::string bad = read_error("a,b\nX,1,2,,,\n");
    EXPECT_EQ(bad.rfind("please check data file", 0), 0u) << bad;
    EXPECT_NE(bad.find("line 2: 5 fields or more; a ward line needs 3"), std::string::npos) << bad;
    EXPECT_NE(read_error("a,b\nX\n").find("line 2: 1 field; a ward line needs 3"), std::string::npos);
    // two trailing commas leave an empty dog count
    EXPECT_NE(read_error("a,b\nX,1,2,,\n").find("field 4: the dog count \"\" is not a number"), std::string::npos);
}

TEST(CountFile, AnyNumberOfWards) {
    std::string many = "a,b\n";
    for (int i = 0; i < 20000; ++i)
        many += "W" + std::to_string(i) + "," + std::to_string(i % 97) + ".5," + std::to_string(i % 13) +
                (i % 2 ? "\n" : "," + std::to_string(i % 50) + "\n");
    TempFile f(many);
    const CountData d = read_count_file(f.path());
    EXPECT_EQ(d.surveyed.size(), 10000u);
    EXPECT_EQ(d.unsurveyed.size(), 10000u);
    EXPECT_EQ(d.unsurveyed.back().x[0], 19999 % 97 + 0.5);
    EstimationState s;
    form_load(s);
    store_count_data(s, d);
    EXPECT_EQ(s.n_surveyed, 10000);
    EXPECT_EQ(s.n_unsurveyed, 10000);
    double sum = 0.0;
    for (const WardRow& r : d.unsurveyed) sum += r.x[0];
    EXPECT_EQ(s.unsurveyed_x_sum(1), sum);  // halves are exact in single precision
    EXPECT_THROW(s.surveyed_count(10001), UserError);
}

TEST(CountFile, EncodingsAndFilesThatAreNotText) {
    // a byte-order mark is not part of the first predictor's name
    TempFile bom("\xEF\xBB\xBFhouseholds,markets\nX,1,2\n");
    EXPECT_EQ(read_count_file(bom.path()).predictor_names[0], "households");
    // Latin-1 names arrive as UTF-8; UTF-8 names stay as they are
    TempFile latin("Stra\xDF" "en,m\xE4rkte\nK\xF6penick,1,2,3\nM\xC3\xBCnster,1,2\n");
    const CountData d = read_count_file(latin.path());
    EXPECT_EQ(d.predictor_names[0], "Stra\xC3\x9F" "en");
    EXPECT_EQ(d.surveyed[0].name, "K\xC3\xB6penick");
    EXPECT_EQ(d.unsurveyed[0].name, "M\xC3\xBCnster");
    // Windows' typographic characters where Latin-1 has controls; its undefined bytes escaped
    TempFile windows("a\nSt Mary\x92s \x80,1\nX\x81,2\n");
    const CountData w = read_count_file(windows.path());
    EXPECT_EQ(w.unsurveyed[0].name, "St Mary\xE2\x80\x99s \xE2\x82\xAC");
    EXPECT_EQ(printable(w.unsurveyed[1].name), "X\\u0081");
    // UTF-16 with or without its mark, and binary files, are named as what they seem
    const std::string utf16("\xFF\xFE" "a\0,\0b\0\n\0", 10);
    EXPECT_NE(read_error(utf16).find("seems to be UTF-16"), std::string::npos);
    EXPECT_NE(read_error(std::string("a\0,\0b\0\n\0X\0,\0" "1\0", 14)).find("UTF-16"), std::string::npos);
    const std::string elf("\x7f" "ELF\x02\x01\x01\0\0\0\0\0", 12);
    EXPECT_NE(read_error(elf + std::string(200, '\x01')).find("binary"), std::string::npos);
    // control bytes are never echoed raw
    const std::string message = read_error("a\nW\x1b[31m,1\n");
    EXPECT_EQ(message.find('\x1b'), std::string::npos) << message;
    EXPECT_NE(message.find("\\x1B"), std::string::npos) << message;
}

TEST(CountFile, HugeLinesAndFieldsStopEarly) {
    // a line with a million fields is refused at the first field too many, in bounded memory
    const std::string wide = "a,b\nX" + std::string(1000000, ',') + "\n";
    const auto start = std::chrono::steady_clock::now();
    const std::string e = read_error(wide);
    EXPECT_NE(e.find("5 fields or more"), std::string::npos) << e;
    // a line beyond 1 MiB is refused whatever it holds
    EXPECT_NE(read_error("a\n" + std::string(2 << 20, 'x') + "\n").find("longer than 1 MiB"), std::string::npos);
    EXPECT_NE(read_error(std::string(3 << 20, 'y')).find("line 1: the line is longer than 1 MiB"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // not a timing: a hang guard
}

TEST(CountFile, OnlyRegularFilesAreRead) {
    TempFile f("a\n");
    try {
        read_count_file(f.dir() + "/nope.txt");
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("nope.txt cannot be opened"), std::string::npos);
    }
    try {
        read_count_file(f.dir());
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("is a folder"), std::string::npos);
    }
#ifndef _WIN32
    // a pipe without a writer is refused at once instead of waiting in open
    const std::string fifo = f.dir() + "/pipe.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    try {
        read_count_file(fifo);
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("not a regular file (a pipe)"), std::string::npos) << e.what();
    }
    EXPECT_THROW(read_count_file("/dev/zero"), UserError);
#endif
}

TEST(CountFile, StoreSumsThePredictorsAsStored) {
    EstimationState s;
    form_load(s);
    TempFile f("a,b\n" + [] {
        std::string rows;
        for (int i = 1; i <= 30; ++i) rows += "S" + std::to_string(i) + ",1,2,9\n";
        return rows;
    }() + "U1,0.1,5\nU2,0.2,6\n");
    store_count_data(s, read_count_file(f.path()));
    EXPECT_EQ(s.data_read, -1);
    EXPECT_EQ(s.n_surveyed, 30);
    EXPECT_EQ(s.n_unsurveyed, 2);
    EXPECT_EQ(s.unsurveyed_x_sum(1), static_cast<double>(0.1f) + static_cast<double>(0.2f));
    EXPECT_EQ(s.unsurveyed_x_sum(2), 11.0);

    TempFile g("a,b\nT1,3,4,1\n");
    store_count_data(s, read_count_file(g.path()));
    EXPECT_EQ(s.n_surveyed, 1);
    EXPECT_EQ(s.surveyed_name(1), "T1");
    EXPECT_EQ(s.n_unsurveyed, 0);
    EXPECT_EQ(s.unsurveyed_x_sum(1), 0.0);
}
