#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cycle/count_file.h"
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
std::string read_error(const std::string& content, NumberFormat fmt = {}) {
    TempFile f(content);
    try {
        read_count_file(f.path(), fmt);
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
    const CountData d = read_count_file(f.path(), {});
    ASSERT_EQ(d.predictor_names, (std::vector<std::string>{"housing", "markets"}));
    ASSERT_EQ(d.unsurveyed.size(), 2u);
    ASSERT_EQ(d.surveyed.size(), 2u);
    EXPECT_EQ(d.unsurveyed[0].name, "Northside");
    EXPECT_EQ(d.unsurveyed[0].x[0], 120.0);
    EXPECT_EQ(d.unsurveyed[1].name, "X");  // one trailing comma: read like X,1,2
    EXPECT_EQ(d.surveyed[0].name, "Eastgate");
    EXPECT_EQ(d.surveyed[0].count, 27.0);
    EXPECT_EQ(d.surveyed[1].count, 7.5);
}

TEST(CountFile, AnEmptyLineEndsTheDataAndAHeaderAloneIsValid) {
    TempFile f("a,b\nW1,1,2,3\n\nthis line is never read\n");
    EXPECT_EQ(read_count_file(f.path(), {}).surveyed.size(), 1u);
    TempFile g("a\tb\n");
    const CountData d = read_count_file(g.path(), {});
    EXPECT_EQ(d.predictor_names.size(), 2u);
    EXPECT_TRUE(d.surveyed.empty() && d.unsurveyed.empty());
}

TEST(CountFile, NumbersFollowTheLocale) {
    // a comma would make the comma the separator, so decimals go between tabs or blanks
    TempFile f("a\tb\nW1\t1.5\t 2 \t3e1\n");
    const CountData d = read_count_file(f.path(), NumberFormat{'.', ','});
    EXPECT_EQ(d.surveyed[0].x[0], 1.5);
    EXPECT_EQ(d.surveyed[0].x[1], 2.0);
    EXPECT_EQ(d.surveyed[0].count, 30.0);
    // the point is not a decimal separator in a comma locale
    EXPECT_NE(read_error("a\nW1\t1.5\n", NumberFormat{',', '.'}), "");
}

TEST(CountFile, EveryBadInputNamesFileLineAndField) {
    EXPECT_NE(read_error("").find("header line is empty"), std::string::npos);
    EXPECT_NE(read_error("\nW,1\n").find("line 1"), std::string::npos);
    EXPECT_NE(read_error("a,b,c,d,e\n").find("at most 4"), std::string::npos);
    const std::string nan = read_error("a,b\nW1,1,2\nW2,1,l2,4\n");
    EXPECT_NE(nan.find("line 3, field 3"), std::string::npos) << nan;
    EXPECT_NE(nan.find("\"l2\" is not a number"), std::string::npos) << nan;
    EXPECT_NE(read_error("a\nW,1,-4\n").find("negative"), std::string::npos);
    EXPECT_NE(read_error("a\nW,1e99\n").find("too large"), std::string::npos);
    // a wrong number of fields: the old message, with the place and the expected counts
    const std::string bad = read_error("a,b\nX,1,2,,,\n");
    EXPECT_EQ(bad.rfind("please check data file", 0), 0u) << bad;
    EXPECT_NE(bad.find("line 2: 5 fields; a ward line needs 3"), std::string::npos) << bad;
    // two trailing commas leave an empty dog count
    EXPECT_NE(read_error("a,b\nX,1,2,,\n").find("field 4: the dog count \"\" is not a number"), std::string::npos);
}

TEST(CountFile, WardLimits) {
    std::string many = "a\n";
    for (int i = 0; i < 100; ++i) many += "U" + std::to_string(i) + ",1\n";
    EXPECT_EQ(read_error(many), "");
    EXPECT_NE(read_error(many + "U100,1\n").find("line 102: more than 100 unsurveyed"), std::string::npos);
    std::string surveyed = "a\n";
    for (int i = 0; i < 99; ++i) surveyed += "S" + std::to_string(i) + ",1,5\n";
    EXPECT_EQ(read_error(surveyed), "");
    EXPECT_NE(read_error(surveyed + "S99,1,5\n").find("more than 99 surveyed"), std::string::npos);
}

TEST(CountFile, MissingFileAndFolder) {
    TempFile f("a\n");
    try {
        read_count_file(f.dir() + "/nope.txt", {});
        FAIL();
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("nope.txt cannot be opened"), std::string::npos);
    }
    EXPECT_THROW(read_count_file(f.dir(), {}), UserError);
}

TEST(CountFile, StoreKeepsOlderEntriesAndSumsInSinglePrecision) {
    EstimationState s;
    form_load(s);
    TempFile f("a,b\n" + [] {
        std::string rows;
        for (int i = 1; i <= 30; ++i) rows += "S" + std::to_string(i) + ",1,2,9\n";
        return rows;
    }() + "U1,0.1,5\nU2,0.2,6\n");
    store_count_data(s, read_count_file(f.path(), {}));
    EXPECT_EQ(s.data_read, -1);
    EXPECT_EQ(s.n_surveyed, 30);
    EXPECT_EQ(s.n_unsurveyed, 2);
    EXPECT_EQ(s.unsurveyed_x_sum(1), static_cast<float>(static_cast<double>(0.1f) + 0.2));
    EXPECT_EQ(s.unsurveyed_x_sum(2), 11.0f);

    TempFile g("a,b\nT1,3,4,1\n");
    store_count_data(s, read_count_file(g.path(), {}));
    EXPECT_EQ(s.n_surveyed, 1);
    EXPECT_EQ(s.surveyed_name(1), "T1");
    EXPECT_EQ(s.surveyed_name(30), "S30");  // beyond the count, still there
}
