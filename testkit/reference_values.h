// SPDX-License-Identifier: GPL-3.0-or-later
// The values an R script derived independently of the program (tests/reference), as
// "name value" pairs; a file that is missing gives an empty map, which the tests notice.
#pragma once

#include <fstream>
#include <map>
#include <string>

namespace valdmora::testing {

inline std::map<std::string, double> reference_values(const std::string& path) {
    std::map<std::string, double> values;
    std::ifstream in(path);
    std::string key;
    double value = 0.0;
    while (in >> key >> value) values[key] = value;
    return values;
}

}  // namespace valdmora::testing
