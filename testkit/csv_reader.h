// SPDX-License-Identifier: GPL-3.0-or-later
// A small RFC 4180 reader for checking the CSV the program writes: quoted fields may hold
// commas, doubled quotes and line breaks; records end at LF or CRLF outside quotes.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace valdmora::testing {

inline std::vector<std::vector<std::string>> read_csv(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false, field_started = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
                const char next = i + 1 < text.size() ? text[i + 1] : '\n';
                if (next != ',' && next != '\n' && next != '\r') throw std::runtime_error("text after a closing quote");
            }
        } else if (c == '"') {
            // a quote may only open a field
            if (field_started) throw std::runtime_error("a quote inside an unquoted field");
            quoted = field_started = true;
        } else if (c == ',') {
            record.push_back(std::move(field));
            field.clear();
            field_started = false;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r') ++i;
            record.push_back(std::move(field));
            records.push_back(std::move(record));
            field.clear();
            record.clear();
            field_started = false;
        } else {
            field += c;
            field_started = true;
        }
    }
    if (quoted) throw std::runtime_error("a quoted field runs to the end");
    if (field_started || !record.empty()) {
        record.push_back(std::move(field));
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace valdmora::testing
