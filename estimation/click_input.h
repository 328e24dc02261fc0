// The controls an estimating click reads, as a plain snapshot, and what the engine needs
// from outside.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cycle/number_text.h"
#include "fit_call.h"
#include "progress.h"
#include "simulation_generator.h"
#include "uniform.h"

namespace valdmora {

struct ClickInput {
    std::array<std::string, 6> beta_text;   // txtBeta(0..5)
    std::array<std::string, 6> beta_label;  // what each box is called in messages
    std::array<bool, 5> beta_checked{};     // chkBeta(0..4)
    std::string data_path;                  // txtData
    bool just_estimate = false;             // chkJustEstimate is checked
    std::string ward;                       // txtWard
    std::string range_text = "50";          // txtRange
    bool origin_at_zero = true;             // chkZero
    std::string n_surveys_text = "20";      // txtN_surveys
    Generator generator = Generator::classic;  // how a simulation draws its counts
    NumberFormat fmt;
    // A parametric bootstrap of the total with this many replicates (0: none), seeded.
    int bootstrap_reps = 0;
    uint64_t bootstrap_seed = 0;
    // Further start values (box texts) for the fit; the best of all starts is kept.
    std::vector<std::array<std::string, 6>> extra_starts;
    // The likelihood profile and its limits, and the texts of the two files; a table of
    // models needs neither.
    // The per-ward predictions go with the files.
    bool profile = true;
    bool files = true;
    // The distribution to fit (1..3) in place of the state's: a table of models shares one
    // state among all its models. 0: the state's own.
    int16_t err_dist = 0;
};

// What the engine needs from outside: the model library, random draws, progress and Cancel.
struct ClickServices {
    ModelLibrary library;
    UniformSource* random = nullptr;  // null: a clock-seeded generator of the engine's own
    bool reseed_from_clock = true;    // false: keep the source's series (tests, batch --seed)
    Progress progress;
};

// The number in parameter box i of boxes, or a UserError (with the given title) naming it.
double box_number(const ClickInput& in, const std::array<std::string, 6>& boxes, int i, const char* title);

}  // namespace valdmora
