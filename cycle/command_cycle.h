// The one command button: its captions and what a click does.
#pragma once

#include <string>

namespace valdmora {

inline constexpr const char* kCaptionRead = "read data from file";
inline constexpr const char* kCaptionEstimate = "estimate population size";
inline constexpr const char* kCaptionSimulate = "simulate data and estimate";      // set when the path is emptied
inline constexpr const char* kCaptionSimulateAgain = "Simulate data and estimate";  // set when re-estimate is cleared
inline constexpr const char* kCaptionReestimate = "Estimate from current data";

enum class ClickAction { ReadFile, Estimate, SimulateAndEstimate };

// A click simulates first when the data path is empty and re-estimate is not checked.
inline bool simulation_mode(const std::string& data_path, int just_estimate) {
    return data_path.empty() && just_estimate != 1;
}

// Only the read caption is compared; whether an estimate simulates first is decided by an
// empty data path and an unchecked re-estimate box, read at the click.
inline ClickAction decide_click(const std::string& caption, const std::string& data_path, int just_estimate) {
    if (caption == kCaptionRead) return ClickAction::ReadFile;
    if (simulation_mode(data_path, just_estimate)) return ClickAction::SimulateAndEstimate;
    return ClickAction::Estimate;
}

}  // namespace valdmora
