// The count data file: a header line of 1 to 4 predictor names, then one line per ward,
// "name, x1 .. xp" for an unsurveyed ward or "name, x1 .. xp, count" for a surveyed one.
#pragma once

#include <array>
#include <istream>
#include <cstdint>
#include <string>
#include <vector>

#include "estimation_state.h"
#include "number_text.h"

namespace valdmora {

// Splits a line at commas, else tabs, else single spaces; nothing is trimmed. last is the
// index of the last field, one trailing separator ignored (fields keeps the empty field).
// An empty line, or more than 256 fields, raises a UserError.
void split_readstring(const std::string& line, std::vector<std::string>& fields, uint8_t& last);

struct WardRow {
    std::string name;
    std::array<double, kMaxPredictors> x{};  // as read; stored in single precision
    double count = 0.0;                       // surveyed wards only
};

struct CountData {
    std::vector<std::string> predictor_names;
    std::vector<WardRow> surveyed;
    std::vector<WardRow> unsurveyed;
};

// The message of a line with the wrong number of fields.
inline constexpr const char* kCheckDataFile = "please check data file";

// Reads the whole file or raises a UserError naming the file, line and field; nothing is
// kept from a failed read. The file is open only while it is read.
CountData read_count_file(const std::string& path, const NumberFormat& fmt);

// The same from a stream already open; name is what messages call it.
CountData read_count_data(std::istream& in, const std::string& name, const NumberFormat& fmt);

// Stores a read into the state: data_read, the counts, names, values and predictor sums.
// Ward entries beyond the new counts keep what they held.
void store_count_data(EstimationState& s, const CountData& d);

}  // namespace valdmora
