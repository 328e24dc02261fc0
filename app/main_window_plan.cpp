// SPDX-License-Identifier: GPL-3.0-or-later
// Model > Plan a survey: the dialog, and its plans run in the background with progress
// and Cancel on a copy of the data and the model.
#include "main_window.h"
#include "plan_dialog.h"

namespace valdmora {

void Form1::plan_survey() {
    if (!form_.state().has_data_file())
        throw UserError("Read a count data file first: a plan chooses among its wards.", "Plan a survey");
    const EstimateRequest request = form_.click_input().request;
    const EstimationState wards = form_.state();
    const long version = form_.data_version();
    // with the sighting correction ticked, each survey draws its marked dogs seen too
    const std::optional<SightingInput> sighting = form_.sighting_input();
    auto runner = [this, wards, version, sighting](const PlanRequest& asked) -> std::optional<PlanResult> {
        ClickServices services;
        services.library = model_library();
        PlanRequest q = asked;
        q.sighting = sighting;
        std::optional<PlanResult> plan = task_.run<PlanResult>("Planning a survey", [&](const Progress& progress) {
            ClickServices sv = services;
            sv.progress = progress;
            // the pilot's fit, or the boxes' values when no ward was surveyed
            q.truth = plan_truth(q.estimate, wards, sv);
            return run_plan(q, wards, sv);
        });
        if (plan) {
            plan_ = PlanRecord{q, *plan, form_.predictor_names()};
            plan_data_version_ = version;
        }
        return plan;
    };
    auto* dialog = new PlanDialog(wards, form_.predictor_names(), request, form_.format(), runner, this);
    dialog->set_kept_files(kept_files());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

}  // namespace valdmora
