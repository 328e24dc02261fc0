// SPDX-License-Identifier: GPL-3.0-or-later
// The count data file: a header line of 1 to 4 predictor names, then one line per ward,
// "name, x1 .. xp" for an unsurveyed ward or "name, x1 .. xp, count" for a surveyed one.
// Any number of wards of each kind.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "estimation_state.h"
#include "user_error.h"

namespace valdmora {

// Splits a line at commas, else tabs, else single spaces; nothing is trimmed. last is the
// index of the last field, one trailing separator ignored (fields keeps the empty field).
// An empty line, or more than 256 fields, raises a UserError.
void split_readstring(const std::string& line, std::vector<std::string>& fields, uint8_t& last);

struct WardRow {
    std::string name;                         // UTF-8
    std::array<double, kMaxPredictors> x{};  // as read; stored in single precision
    double count = 0.0;                       // surveyed wards only
};

struct CountData {
    std::vector<std::string> predictor_names;  // UTF-8
    std::vector<WardRow> surveyed;
    std::vector<WardRow> unsurveyed;
    // Lines with text after the blank line that ended the data: they are not read.
    long lines_not_read = 0;
    // What the reader wants the user to know about a read that succeeded.
    std::vector<Notice> notices;
};

// The message of a line with the wrong number of fields.
inline constexpr const char* kCheckDataFile = "please check data file";

// The longest line a data file may have.
constexpr std::size_t kMaxLineBytes = 1 << 20;

// The largest count the model library takes: counts are whole numbers of 32 bits for it,
// held in single precision until then, so the largest single-precision value below 2^31.
constexpr double kMaxCount = 2147483520.0;

// Reads the whole file or raises a UserError naming the file, line and field; nothing is
// kept from a failed read. Numbers are written with '.' as the decimal separator in every
// locale; a line holding ';' is split at ';' and its numbers may use a decimal comma. The
// file is open only while it is read; a path that is not a regular file (a folder, a pipe,
// a device) is refused without waiting on it.
CountData read_count_file(const std::string& path);

// The same from a stream already open; name is what messages call it.
CountData read_count_data(std::istream& in, const std::string& name);

// Stores a read into the state: data_read, the counts, names, values and predictor sums.
void store_count_data(EstimationState& s, const CountData& d);

}  // namespace valdmora
