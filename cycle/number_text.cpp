// SPDX-License-Identifier: GPL-3.0-or-later
#include "number_text.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace valdmora {
namespace {

// Blanks around the text dropped, and a leading sign taken off: true if it was '-'.
bool trim_and_take_sign(std::string_view& text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    return negative;
}

// True when a plain number out of a double's range is below its smallest value (1e-400)
// rather than beyond its largest (1e400): the power of ten of its first significant digit
// is negative.
bool below_smallest(const std::string& plain) {
    const std::size_t e = plain.find_first_of("eE");
    const std::string_view mantissa = std::string_view(plain).substr(0, e);
    long long exponent = 0;
    if (e != std::string::npos) {
        std::string_view digits = std::string_view(plain).substr(e + 1);
        const bool minus = !digits.empty() && digits.front() == '-';
        if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
        if (ec == std::errc::result_out_of_range) return minus;  // an exponent of a thousand digits
        if (minus) exponent = -exponent;
    }
    const std::size_t point = mantissa.find('.');
    const std::string_view whole = mantissa.substr(0, point);
    const std::size_t lead = whole.find_first_not_of('0');
    if (lead != std::string_view::npos) return static_cast<long long>(whole.size() - lead) - 1 + exponent < 0;
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
    const std::size_t first = fraction.find_first_not_of('0');
    return first == std::string_view::npos || -static_cast<long long>(first) - 1 + exponent < 0;
}

// The value of a plain C-locale number that must be all of the text, and finite; one below
// the smallest double is 0, as near as a double comes to it.
std::optional<double> whole_plain_number(const std::string& plain, bool negative) {
    double value = 0.0;
    const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    if (end != plain.data() + plain.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range && below_smallest(plain)) value = 0.0;
    else if (ec != std::errc() || !std::isfinite(value)) return std::nullopt;
    return negative ? -value : value;
}

}  // namespace

std::optional<double> parse_number(std::string_view text, const NumberFormat& fmt) {
    const bool negative = trim_and_take_sign(text);
    // one sign only, and a digit or the separator right after it
    if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    std::string plain;
    plain.reserve(text.size());
    for (char c : text) {
        if (c == fmt.decimal) {
            plain.push_back('.');
        } else if (c == '.' || !(std::isdigit(static_cast<unsigned char>(c)) || c == 'e' || c == 'E' ||
                                 c == '-' || c == '+')) {
            return std::nullopt;  // a point that is not the locale's separator, or a stray character
        } else {
            plain.push_back(c);
        }
    }
    return whole_plain_number(plain, negative);
}

namespace {

// The text in the plain form from_chars reads, or nothing when it is not written as a data
// number; the sign taken off into negative.
std::optional<std::string> plain_data_number(std::string_view text, bool decimal_comma, bool& negative) {
    negative = trim_and_take_sign(text);
    std::string plain;
    plain.reserve(text.size());
    int separators = 0;
    bool digit = false, exponent = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
            plain.push_back(c);
        } else if ((c == '.' || (decimal_comma && c == ',')) && !exponent) {
            if (++separators > 1) return std::nullopt;
            plain.push_back('.');
        } else if ((c == 'e' || c == 'E') && digit && !exponent) {
            exponent = true;
            plain.push_back('e');
        } else if ((c == '-' || c == '+') && !plain.empty() && plain.back() == 'e') {
            plain.push_back(c);
        } else {
            return std::nullopt;
        }
    }
    if (!digit) return std::nullopt;
    return plain;
}

}  // namespace

std::optional<double> parse_data_number(std::string_view text, bool decimal_comma) {
    bool negative = false;
    const auto plain = plain_data_number(text, decimal_comma, negative);
    if (!plain) return std::nullopt;
    return whole_plain_number(*plain, negative);
}

bool data_number_too_large(std::string_view text, bool decimal_comma) {
    bool negative = false;
    const auto plain = plain_data_number(text, decimal_comma, negative);
    if (!plain) return false;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(plain->data(), plain->data() + plain->size(), value);
    return end == plain->data() + plain->size() && ec == std::errc::result_out_of_range && !below_smallest(*plain);
}

bool isnum(const std::string& alphanum) {
    if (alphanum.empty()) return false;
    const char c = alphanum.front();
    return (c >= '0' && c <= '9') || c == '-';
}

bool typed_number_ok(const std::string& text, const NumberFormat& fmt) {
    const bool leading_separator =
        !text.empty() && (text[0] == fmt.decimal || (text[0] == '-' && text.size() > 1 && text[1] == fmt.decimal));
    return (isnum(text) || leading_separator) && parse_number(text, fmt).has_value();
}

std::string with_locale_decimal(std::string_view ascii, const NumberFormat& fmt) {
    std::string out(ascii);
    for (char& c : out)
        if (c == '.') c = fmt.decimal;
    return out;
}

}  // namespace valdmora
