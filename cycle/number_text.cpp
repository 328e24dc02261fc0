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

// The value of a plain C-locale number that must be all of the text, and finite.
std::optional<double> whole_plain_number(const std::string& plain, bool negative) {
    double value = 0.0;
    const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    if (ec != std::errc() || end != plain.data() + plain.size() || !std::isfinite(value)) return std::nullopt;
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

std::optional<double> parse_data_number(std::string_view text, bool decimal_comma) {
    const bool negative = trim_and_take_sign(text);
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
    return whole_plain_number(plain, negative);
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
