// SPDX-License-Identifier: GPL-3.0-or-later
#include "csv.h"

#include <cmath>

#include "number_format.h"

namespace valdmora {

std::string csv_text_cell(std::string_view cell) {
    std::string value;
    // a tab or carriage return first is a formula lead-in to some spreadsheets as well
    if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@' || cell[0] == '\t' ||
                          cell[0] == '\r'))
        value = "'";
    value += cell;
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

void CsvRow::separate() {
    if (!first_) line_ += ',';
    first_ = false;
}

CsvRow& CsvRow::text(std::string_view cell) {
    separate();
    line_ += csv_text_cell(cell);
    return *this;
}

CsvRow& CsvRow::number(double value) {
    separate();
    if (std::isfinite(value)) line_ += shortest_number(value);
    return *this;
}

CsvRow& CsvRow::rounded(double value, int decimals) {
    separate();
    line_ += fixed_number(value, decimals);
    return *this;
}

CsvRow& CsvRow::number(float value) {
    separate();
    if (std::isfinite(value)) line_ += shortest_number(value);
    return *this;
}

CsvRow& CsvRow::whole(long long value) {
    separate();
    line_ += std::to_string(value);
    return *this;
}

CsvRow& CsvRow::empty() {
    separate();
    return *this;
}

}  // namespace valdmora
