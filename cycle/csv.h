// SPDX-License-Identifier: GPL-3.0-or-later
// The one way the program writes CSV: fields quoted as RFC 4180 says, and text that a
// spreadsheet would take for a formula (a ward or predictor name from a file beginning with
// = + - @) written with a leading quote so that it shows as text and never runs.
#pragma once

#include <string>
#include <string_view>

namespace valdmora {

class CsvRow {
public:
    // A name or word: guarded against formulas, quoted when it holds , " CR or LF.
    CsvRow& text(std::string_view cell);
    // A number, digits from std::to_chars; NaN or infinity an empty cell. Negative numbers
    // stay numbers.
    CsvRow& number(double value);
    CsvRow& number(float value);  // a float's own shortest digits
    // A number to so many decimals at most (trailing zeros dropped): the digits that carry
    // meaning, not the seventeen of a double.
    CsvRow& rounded(double value, int decimals);
    CsvRow& whole(long long value);
    CsvRow& empty();
    // The row with its line end.
    std::string line() const { return line_ + "\n"; }

private:
    void separate();
    std::string line_;
    bool first_ = true;
};

// One text cell as it is written.
std::string csv_text_cell(std::string_view cell);

}  // namespace valdmora
