// SPDX-License-Identifier: GPL-3.0-or-later
// Planning a survey in a dialog of its own: the candidate numbers of wards, replicates,
// design, seed and target; the chart of median relative half-width against wards, the
// coverage table, and the chosen wards written as CSV for the field team.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>

#include "cycle/number_text.h"
#include "cycle/output_paths.h"
#include "estimation/plan.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace valdmora {

class PictureBox;

class PlanDialog : public QDialog {
    Q_OBJECT
public:
    // Runs a plan in the background; none when it was cancelled.
    using Runner = std::function<std::optional<PlanResult>(const PlanRequest&)>;

    PlanDialog(EstimationState wards, std::vector<std::string> predictors, EstimateRequest request, NumberFormat fmt,
               Runner runner, QWidget* parent = nullptr);

    // The request the controls make; a UserError names the control that is wrong.
    PlanRequest plan_request() const;
    // Runs the plan and shows it; false when cancelled.
    bool make_plan();
    const std::optional<PlanResult>& plan() const { return plan_; }
    // The chosen wards as the CSV button writes them.
    std::string selection_text() const;
    bool save_selection(const QString& path, QString* error) const;
    void set_kept_files(std::vector<NamedPath> files) { kept_ = std::move(files); }

    QLineEdit* surveys_edit() const { return surveys_; }
    QTableWidget* coverage_table() const { return table_; }
    PictureBox* chart() const { return chart_; }
    QLabel* target_label() const { return target_line_; }

private:
    SampleDesign design() const;
    void show_plan();

    EstimationState data_;
    std::vector<std::string> predictors_;
    EstimateRequest request_;
    NumberFormat fmt_;
    Runner runner_;
    Town town_;
    std::optional<PlanResult> plan_;
    std::vector<NamedPath> kept_;

    QLineEdit* surveys_ = nullptr;
    QSpinBox* reps_ = nullptr;
    QComboBox* design_ = nullptr;
    QSpinBox* strata_ = nullptr;
    QLineEdit* seed_ = nullptr;
    QDoubleSpinBox* target_ = nullptr;
    QComboBox* target_kind_ = nullptr;
    QPushButton* run_ = nullptr;
    PictureBox* chart_ = nullptr;
    QTableWidget* table_ = nullptr;
    QLabel* target_line_ = nullptr;
    QSpinBox* select_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace valdmora
