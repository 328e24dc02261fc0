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

// True when the text begins with a digit or a minus sign; only the first character counts.
bool isnum(const std::string& alphanum);

// The test applied when a typed value is left: isnum, and the whole text must be a number.
bool typed_number_ok(const std::string& text, const NumberFormat& fmt);

// A number written with '.' as its separator, given the locale's separator.
std::string with_locale_decimal(std::string_view ascii, const NumberFormat& fmt);

}  // namespace valdmora
