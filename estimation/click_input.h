// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine needs from outside: the model library, random draws, progress and Cancel.
#pragma once

#include <cstdint>

#include "fit_call.h"
#include "progress.h"
#include "simulation_generator.h"
#include "uniform.h"

namespace valdmora {

struct ClickServices {
    ModelLibrary library;
    UniformSource* random = nullptr;  // null: a clock-seeded generator of the engine's own
    bool reseed_from_clock = true;    // false: keep the source's series (tests, batch --seed)
    Progress progress;
};

}  // namespace valdmora
