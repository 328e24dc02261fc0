// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a count data file: the splitter and the reader must refuse what they
// cannot read with a message, and store what they can without leaving their ranges.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cycle/count_file.h"
#include "cycle/user_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> fields;
    uint8_t last = 0;
    while (std::getline(lines, line)) {
        try {
            valdmora::split_readstring(line, fields, last);
            if (last >= fields.size()) __builtin_trap();
        } catch (const valdmora::UserError&) {
        }
    }
    std::istringstream in(text);
    try {
        const valdmora::CountData d = valdmora::read_count_data(in, "fuzz.txt");
        valdmora::EstimationState s;
        valdmora::form_load(s);
        valdmora::store_count_data(s, d);
        if (s.n_surveyed != static_cast<int32_t>(d.surveyed.size())) __builtin_trap();
    } catch (const valdmora::UserError&) {
    }
    return 0;
}
