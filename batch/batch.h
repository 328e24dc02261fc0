// SPDX-License-Identifier: GPL-3.0-or-later
// valdmora-batch as a function, for its program and for the fuzz target that runs it on
// generated files and options.
#pragma once

#include "estimation/fit_call.h"

namespace valdmora {

// The whole program: options parsed, the subcommand run, messages printed; the exit
// status. With library, fits go to it instead of the library bound from its file.
int batch_main(int argc, char** argv, const ModelLibrary* library = nullptr);

}  // namespace valdmora
