// The model library, bound by name at the first fit and kept for the life of the program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace valdmora {

// N_E04JYF: 13 arguments, all by address.
using FitEntry = void (*)(int32_t*, int32_t*, double*, double*, double*, double*, int32_t*, int32_t*, double*,
                          int32_t*, int32_t*, double*, int32_t*);

// The library's file name on this platform.
const char* model_library_file();

// Places searched for the library, in order: beside the running program, then the
// system's own search (the bare file name).
std::vector<std::string> model_library_candidates();

// Loads the library and looks up N_E04JYF once; later calls return the same address.
// Raises a UserError naming the file and the places searched when either is missing.
FitEntry bind_model_library();

// For tests: binds from the given candidates, without caching.
FitEntry bind_model_library_from(const std::vector<std::string>& candidates);

}  // namespace valdmora
