// SPDX-License-Identifier: GPL-3.0-or-later
// Text to number in the locale's format, and the first-character test of typed values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace valdmora {

// The locale's separators; the window passes its own in.
struct NumberFormat {
    char decimal = '.';
    char group = ',';
};

// A decimal number with optional sign, decimals in the locale's separator and an exponent,
// surrounded by blanks or not. Anything else (an empty text, 1.2.3, 7abc, inf) gives nothing.
std::optional<double> parse_number(std::string_view text, const NumberFormat& fmt);

// A number as a data file writes it, whatever the locale: '.' as the decimal separator,
// optional sign and exponent, surrounding blanks allowed; with decimal_comma (a line
// split at ';', as spreadsheets in comma-decimal locales save it) a ',' serves as well.
// Nothing else is a number (an empty text, 1.2.3, 1.000,5, inf, nan, 0x10).
std::optional<double> parse_data_number(std::string_view text, bool decimal_comma);

// True when the text is written as a data number but lies beyond the largest double
// (1e400): a number, only too large to hold.
bool data_number_too_large(std::string_view text, bool decimal_comma);

// True when the text begins with a digit or a minus sign; only the first character counts.
bool isnum(const std::string& alphanum);

// The test applied when a typed value is left: the whole text must be a number. Besides
// what isnum passes, a leading decimal separator passes too (".0433", "-.5"): the
// program writes such texts into the boxes itself.
bool typed_number_ok(const std::string& text, const NumberFormat& fmt);

// A number written with '.' as its separator, given the locale's separator.
std::string with_locale_decimal(std::string_view ascii, const NumberFormat& fmt);

}  // namespace valdmora
