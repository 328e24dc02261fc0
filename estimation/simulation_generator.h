// SPDX-License-Identifier: GPL-3.0-or-later
// How a simulated count is drawn from its ward's mean.
#pragma once

namespace valdmora {

// The method the bench always used (classic: sums of ten uniforms, trials to the ceil(m/e)-th
// success), or a draw from the very model that is fitted (exact).
enum class Generator { classic, exact };

}  // namespace valdmora
