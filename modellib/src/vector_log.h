// SPDX-License-Identifier: GPL-3.0-or-later
// Natural logarithms of a whole array at once, several to an instruction where the machine
// can; each within an ulp or so of std::log. Only for finite positive values.
#pragma once

#include <cstddef>

namespace valdmora::model {

void log_array(const double* in, double* out, std::size_t n);

}  // namespace valdmora::model
