// SPDX-License-Identifier: GPL-3.0-or-later
// The options of one estimate from a data file, shared by the subcommands that make one
// (estimate, report): declared, parsed into numbers, and turned into a click.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "estimation/click.h"
#include "session.h"

namespace CLI {
class App;
}

namespace valdmora {

struct ModelOptions {
    std::string file;
    Dist dist = Dist::lognormal;
    std::vector<std::string> free;  // box numbers or predictor names, resolved against the data
    std::optional<std::array<double, 6>> start;
    double range_percent = 50.0;
    std::string ward;
    int bootstrap_reps = 0;
    uint64_t seed = 1;
    std::optional<SightingInput> sighting;  // --sighting or --sighting-proportion
};

// FILE, --dist, --free, --start, --range and --ward.
void declare_model_options(CLI::App& sub);
// --bootstrap and --seed.
void declare_bootstrap_options(CLI::App& sub);
// --sighting and --sighting-proportion.
void declare_sighting_options(CLI::App& sub);
// The sighting input given, or none; a value that cannot be used is a usage error naming it.
std::optional<SightingInput> parse_sighting_options(const CLI::App& given);
ModelOptions parse_model_options(const CLI::App& given);

// The data read into the session, the model set, and one estimating click on it.
ClickResult estimate_click(Session& s, const ModelOptions& o, const ClickServices& services);

}  // namespace valdmora
