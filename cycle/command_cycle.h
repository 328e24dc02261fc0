// SPDX-License-Identifier: GPL-3.0-or-later
// The one command button: the form's modes, the caption each shows, and what a click does.
// A caption is only ever displayed; the mode decides.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace valdmora {

enum class FormMode {
    read_file,       // a path to read
    estimate,        // a file read: estimate from it
    simulate,        // the path emptied: a simulation series
    simulate_again,  // re-estimate cleared within a series
    reestimate,      // re-estimate ticked: estimate the data last drawn
};

struct FormModeTraits {
    FormMode mode;
    std::string_view caption;
    bool simulation;  // a mode of the simulation series
};

inline constexpr std::array<FormModeTraits, 5> kFormModes{{
    {FormMode::read_file, "read data from file", false},
    {FormMode::estimate, "estimate population size", false},
    {FormMode::simulate, "simulate data and estimate", true},
    {FormMode::simulate_again, "Simulate data and estimate", true},
    {FormMode::reestimate, "Estimate from current data", true},
}};

inline constexpr const FormModeTraits& form_mode(FormMode m) { return kFormModes[static_cast<std::size_t>(m)]; }
inline std::string caption_of(FormMode m) { return std::string(form_mode(m).caption); }

enum class ClickAction { ReadFile, Estimate, SimulateAndEstimate };

// A click simulates first when the data path is empty and re-estimate is not checked.
inline bool simulation_mode(const std::string& data_path, bool just_estimate) {
    return data_path.empty() && !just_estimate;
}

// Whether an estimate simulates first is decided by an empty data path and an unchecked
// re-estimate box, read at the click.
inline ClickAction decide_click(FormMode mode, const std::string& data_path, bool just_estimate) {
    if (mode == FormMode::read_file) return ClickAction::ReadFile;
    if (simulation_mode(data_path, just_estimate)) return ClickAction::SimulateAndEstimate;
    return ClickAction::Estimate;
}

}  // namespace valdmora
