// SPDX-License-Identifier: GPL-3.0-or-later
#include "number_format.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace valdmora {
namespace {

// The exact decimal digits of |value| cut (not rounded) after `decimals` + 1 places,
// as integer digits and decimal digits.
void exact_digits(double magnitude, int decimals, std::string& int_digits, std::string& dec_digits) {
    // Enough extra places that the conversion's own rounding cannot reach the digits we
    // look at. to_chars never consults the C library's locale: the point is always '.'.
    const int places = decimals + 30;
    std::vector<char> buf(static_cast<std::size_t>(places) + 400);
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), magnitude, std::chars_format::fixed, places);
    const std::string s(buf.data(), ec == std::errc() ? end : buf.data());
    const std::size_t point = s.find('.');
    int_digits = s.substr(0, point);
    dec_digits = s.substr(point + 1, static_cast<std::size_t>(decimals) + 1);
}

// Adds one unit in the last place of a digit string; returns true when it carries out.
bool increment(std::string& digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return false;
        }
        *it = '0';
    }
    return true;
}

std::string group_thousands(const std::string& digits, char sep) {
    std::string out;
    const std::size_t n = digits.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out.push_back(sep);
        out.push_back(digits[i]);
    }
    return out;
}

}  // namespace

std::string format_number(double value, const std::string& pattern, const NumberFormat& fmt) {
    const std::size_t point = pattern.find('.');
    const std::string int_pattern = pattern.substr(0, point);
    const std::string dec_pattern = point == std::string::npos ? "" : pattern.substr(point + 1);
    const int max_decimals = static_cast<int>(dec_pattern.size());
    const std::size_t last_zero = dec_pattern.rfind('0');
    const int min_decimals = last_zero == std::string::npos ? 0 : static_cast<int>(last_zero) + 1;
    int min_int_digits = 0;
    for (char c : int_pattern) min_int_digits += c == '0';
    const bool grouping = int_pattern.find(',') != std::string::npos;

    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : (value < 0 ? "-Inf" : "Inf");

    std::string int_digits, dec_digits;
    exact_digits(std::fabs(value), max_decimals, int_digits, dec_digits);
    // halves away from zero: the first dropped digit decides
    const bool up = dec_digits.back() >= '5';
    dec_digits.pop_back();
    if (up) {
        std::string all = int_digits + dec_digits;
        if (increment(all)) all.insert(all.begin(), '1');
        int_digits = all.substr(0, all.size() - dec_digits.size());
        dec_digits = all.substr(all.size() - dec_digits.size());
    }
    const bool is_zero = int_digits.find_first_not_of('0') == std::string::npos &&
                         dec_digits.find_first_not_of('0') == std::string::npos;

    // integer part: no leading zeros beyond what the pattern's '0's demand
    const std::size_t first = int_digits.find_first_not_of('0');
    int_digits = first == std::string::npos ? "" : int_digits.substr(first);
    while (static_cast<int>(int_digits.size()) < min_int_digits) int_digits.insert(int_digits.begin(), '0');
    if (grouping) int_digits = group_thousands(int_digits, fmt.group);

    while (static_cast<int>(dec_digits.size()) > min_decimals && dec_digits.back() == '0') dec_digits.pop_back();

    std::string out = (value < 0 && !is_zero) ? "-" : "";
    out += int_digits;
    if (point != std::string::npos) out += fmt.decimal + dec_digits;
    return out;
}

namespace {

std::string plain(double value, int digits, const NumberFormat& fmt, bool trailing_blank) {
    // the %G form (trailing zeros dropped, an upper-case exponent) without the C library's
    // locale
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::general, digits);
    std::string s(buf, ec == std::errc() ? end : buf);
    for (char& c : s) {
        if (c == '.') c = fmt.decimal;
        if (c == 'e') c = 'E';
    }
    std::string out = (value < 0 ? "-" : " ") + s;
    if (trailing_blank) out += ' ';
    return out;
}

}  // namespace

std::string plain_number(double value, const NumberFormat& fmt, bool trailing_blank) {
    return plain(value, 15, fmt, trailing_blank);
}

std::string general_number(double value, const NumberFormat& fmt) {
    std::string s = plain(value, 15, fmt, false);
    if (!s.empty() && s.front() == ' ') s.erase(s.begin());
    return s;
}

namespace {

template <class T>
std::string shortest(T value) {
    if (!std::isfinite(value)) return {};
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, ec == std::errc() ? end : buf);
}

}  // namespace

std::string shortest_number(double value) { return shortest(value); }
std::string shortest_number(float value) { return shortest(value); }

std::string plain_number(float value, const NumberFormat& fmt, bool trailing_blank) {
    return plain(static_cast<double>(value), 7, fmt, trailing_blank);
}

std::string fixed_number(double value, int decimals) {
    if (!std::isfinite(value)) return {};
    char text[400];
    const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return shortest_number(value);
    std::string out(text, r.ptr);
    if (out.find('.') != std::string::npos) {
        while (out.back() == '0') out.pop_back();
        if (out.back() == '.') out.pop_back();
    }
    return out == "-0" ? "0" : out;
}

}  // namespace valdmora
