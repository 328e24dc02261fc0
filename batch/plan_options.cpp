// SPDX-License-Identifier: GPL-3.0-or-later
#include "plan_options.h"

#include <CLI/CLI.hpp>

#include "command.h"
#include "cycle/text.h"
#include "cycle/user_error.h"

namespace valdmora {

void declare_design_option(CLI::App& sub) {
    add_text_option(sub, "--design",
                    "how the wards are chosen: random (default), stratified:PREDICTOR[:STRATA] (equal-sized strata by "
                    "the predictor's quantiles, 4 unless said, proportional allocation) or balanced (cube method: "
                    "the sample's predictor means match the town's, every ward with chance k/N)");
}

SampleDesign design_from_text(const std::string& text, const std::vector<std::string>& predictors) {
    SampleDesign d;
    const std::string head = text.substr(0, text.find(':'));
    if (text == "random") return d;
    if (text == "balanced") {
        d.kind = DesignKind::balanced;
        return d;
    }
    if (head != "stratified" || text.size() <= head.size() + 1)
        throw UsageError("--design \"" + printable(text) +
                         "\" must be random, balanced or stratified:PREDICTOR (optionally :STRATA).");
    d.kind = DesignKind::stratified;
    std::string rest = text.substr(head.size() + 1);
    const auto colon = rest.rfind(':');
    if (colon != std::string::npos) {
        d.strata = static_cast<int>(option_whole(rest.substr(colon + 1), "--design strata", 1, 1000000));
        rest = rest.substr(0, colon);
    }
    for (std::size_t j = 0; j < predictors.size(); ++j)
        if (predictors[j] == rest) d.predictor = static_cast<int>(j + 1);
    if (d.predictor == 0 && rest.size() == 1 && rest[0] >= '1' && rest[0] <= '4' &&
        static_cast<std::size_t>(rest[0] - '0') <= predictors.size())
        d.predictor = rest[0] - '0';
    if (d.predictor == 0) {
        std::string names;
        for (const std::string& p : predictors) names += (names.empty() ? "" : ", ") + printable(p);
        throw UsageError("--design " + printable(text) + ": the data have no predictor \"" + printable(rest) +
                         "\" to stratify by (they have " + names + ").");
    }
    return d;
}

std::vector<long> surveys_from_list(const std::string& text) {
    try {
        return survey_list(text);
    } catch (const UserError& e) {
        throw UsageError(std::string("--surveys: ") + e.what());
    }
}

}  // namespace valdmora
