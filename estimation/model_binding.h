// SPDX-License-Identifier: GPL-3.0-or-later
// The model library, bound by name at the first fit and kept for the life of the program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fit_call.h"

namespace valdmora {

// The library's file name on this platform.
const char* model_library_file();

// Places searched for the library, in order: beside the running program, in the installed
// tree's private folder (lib/valdmora relative to the program's bin/), then the system's
// own search (the bare file name).
std::vector<std::string> model_library_candidates();

// Loads the library and looks up its size-free entries once; later calls return the same.
// Raises a UserError naming the file and the places searched when the file is missing, is
// not a whole shared library (a cut-off copy would crash the program at its first call), or
// lacks the entries.
ModelLibrary bind_model_library();

// For tests: binds from the given candidates, without caching.
ModelLibrary bind_model_library_from(const std::vector<std::string>& candidates);

// "" when the file is a whole shared library of this machine's kind, else why not.
std::string check_shared_library_file(const std::string& path);

// The same for a Windows DLL's whole content; machine 0x8664 for x86-64, 0x14c for x86.
std::string check_pe_library(const std::string& file, uint16_t machine);

}  // namespace valdmora
