// SPDX-License-Identifier: GPL-3.0-or-later
// Numbers written for people: the report patterns and the plain decimal form.
#pragma once

#include <string>

#include "number_text.h"

namespace valdmora {

// Writes a value under a pattern of '#' (optional digit), '0' (required digit), '.'
// (the decimal separator, always written when the pattern has it) and ',' among the integer
// places (thousands grouping). Rounds to the pattern's decimals, halves away from zero;
// '#' decimals drop trailing zeros, '0' decimals keep them; with only '#' before the point
// a zero integer part writes nothing. A value that rounds to zero carries no minus sign.
// Patterns in use: "###.####", "####.###", "###", "0", "##,###", "##.#", "#.###0".
std::string format_number(double value, const std::string& pattern, const NumberFormat& fmt);

// Plain decimal form with up to 15 significant digits (7 for single precision), a blank
// where a plus sign would stand, and, when asked, one blank after the number.
std::string plain_number(double value, const NumberFormat& fmt, bool trailing_blank = true);
std::string plain_number(float value, const NumberFormat& fmt, bool trailing_blank = true);

// The general number form: up to 15 significant digits, no blank for the sign.
std::string general_number(double value, const NumberFormat& fmt);

// At most so many decimals (trailing zeros and a bare point dropped), '.' whatever the
// locale; a value that rounds to zero carries no minus sign. Empty for a value that is not
// finite.
std::string fixed_number(double value, int decimals);

// The shortest text that reads back as the same double, with '.' whatever the locale: for
// files and output meant for programs. Empty for a value that is not finite.
std::string shortest_number(double value);
std::string shortest_number(float value);

}  // namespace valdmora
