// SPDX-License-Identifier: GPL-3.0-or-later
#include "plan_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <charconv>

#include "charts/plan_chart.h"
#include "cycle/atomic_file.h"
#include "cycle/number_format.h"
#include "cycle/user_error.h"
#include "file_name.h"
#include "form/plan_files.h"
#include "picture_box.h"
#include "qt_text.h"

namespace valdmora {

namespace {

// A share as the window shows it: per cent with one decimal.
QString percent(const std::optional<double>& v, const NumberFormat& fmt) {
    return v ? from8bit(format_number(*v * 100.0, "0.0", fmt)) + " %" : QString("–");
}

// The candidates the dialog opens with: six steps up to half the town, from the fewest the
// model can be planned with.
QString default_surveys(long wards, long fewest) {
    const long step = std::max(1L, wards / 12);
    const long from = std::max(fewest, step);
    const long to = std::min(wards, from + 5 * step);
    return QString("%1:%2:%3").arg(from).arg(to).arg(step);
}

}  // namespace

PlanDialog::PlanDialog(EstimationState wards, std::vector<std::string> predictors, EstimateRequest request,
                       NumberFormat fmt, Runner runner, QWidget* parent)
    : QDialog(parent), data_(std::move(wards)), predictors_(std::move(predictors)), request_(std::move(request)),
      fmt_(fmt), runner_(std::move(runner)), town_(town_of(data_)) {
    setObjectName("planSurvey");
    setWindowTitle("valdmora — plan a survey");
    auto* layout = new QHBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    long free = 1;
    for (int j = 0; j <= std::min<int>(data_.n_pred, 4); ++j) free += request_.free[static_cast<std::size_t>(j)] ? 1 : 0;
    surveys_ = new QLineEdit(default_surveys(static_cast<long>(town_.size()), free + 2), this);
    surveys_->setObjectName("planSurveys");
    surveys_->setToolTip("A list such as 20,40,60, or a range FROM:TO:STEP");
    form->addRow("Wards to survey:", surveys_);
    reps_ = new QSpinBox(this);
    reps_->setObjectName("planReps");
    reps_->setRange(kMinPlanReps, 100000);
    reps_->setValue(200);
    form->addRow("Simulated surveys each:", reps_);
    design_ = new QComboBox(this);
    design_->setObjectName("planDesign");
    design_->addItem(from8bit(std::string(design_traits(DesignKind::random).name)), 0);
    for (int j = 1; j <= data_.n_pred; ++j)
        design_->addItem("stratified by " + from8bit(predictor_name(predictors_, j)), j);
    design_->addItem(from8bit(std::string(design_traits(DesignKind::balanced).name)), -1);
    form->addRow("Design:", design_);
    strata_ = new QSpinBox(this);
    strata_->setObjectName("planStrata");
    strata_->setRange(1, 1000);
    strata_->setValue(kDefaultStrata);
    strata_->setEnabled(false);
    form->addRow("Strata:", strata_);
    connect(design_, &QComboBox::currentIndexChanged, this,
            [this] { strata_->setEnabled(design_->currentData().toInt() > 0); });
    seed_ = new QLineEdit("1", this);
    seed_->setObjectName("planSeed");
    form->addRow("Seed:", seed_);
    target_ = new QDoubleSpinBox(this);
    target_->setObjectName("planTarget");
    target_->setRange(0.0, 99.0);
    target_->setDecimals(1);
    target_->setValue(10.0);
    target_->setSuffix(" %");
    target_->setSpecialValueText("none");
    form->addRow("Target ±:", target_);
    target_kind_ = new QComboBox(this);
    target_kind_->setObjectName("planTargetKind");
    for (const IntervalTraits& k : kIntervalKinds) target_kind_->addItem(from8bit(std::string(k.name)));
    form->addRow("Of the limits:", target_kind_);
    run_ = new QPushButton("&Plan", this);
    run_->setObjectName("planRun");
    form->addRow(run_);
    select_ = new QSpinBox(this);
    select_->setObjectName("planSelect");
    select_->setRange(1, static_cast<int>(std::min<std::size_t>(town_.size(), 100000000)));
    select_->setValue(static_cast<int>(std::min<long>(static_cast<long>(town_.size()), 20)));
    form->addRow("Wards to select:", select_);
    save_ = new QPushButton("Save selected wards as &CSV…", this);
    save_->setObjectName("planSave");
    form->addRow(save_);

    auto* right = new QVBoxLayout;
    layout->addLayout(right, 1);
    chart_ = new PictureBox(this);
    chart_->setObjectName("planChart");
    chart_->setMinimumSize(520, 320);
    chart_->set_placeholder("Click Plan: the median half-width of each kind of limits against the wards surveyed.");
    right->addWidget(chart_, 1);
    target_line_ = new QLabel(this);
    target_line_->setObjectName("planTargetLine");
    target_line_->setWordWrap(true);
    right->addWidget(target_line_);
    table_ = new QTableWidget(0, 0, this);
    table_->setObjectName("planCoverage");
    table_->setAccessibleName("Coverage");
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    right->addWidget(table_, 1);

    connect(run_, &QPushButton::clicked, this, [this] {
        try {
            make_plan();
        } catch (const UserError& e) {
            QMessageBox::critical(this, "Plan a survey", from8bit(e.what()));
        }
    });
    connect(save_, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Save selected wards", "selected_wards.csv", "CSV (*.csv)");
        if (path.isEmpty()) return;
        QString error;
        try {
            if (!save_selection(path, &error))
                QMessageBox::critical(this, "Save selected wards",
                                      from8bit(not_written_message(to8bit(path), to8bit(error))));
            else
                target_line_->setText("Saved the selected wards to " + QDir::toNativeSeparators(path) + ".");
        } catch (const UserError& e) {
            QMessageBox::critical(this, "Save selected wards", from8bit(e.what()));
        }
    });
}

SampleDesign PlanDialog::design() const {
    SampleDesign d;
    const int j = design_->currentData().toInt();
    if (j > 0) {
        d.kind = DesignKind::stratified;
        d.predictor = j;
        d.strata = strata_->value();
    } else if (j < 0) {
        d.kind = DesignKind::balanced;
    }
    return d;
}

PlanRequest PlanDialog::plan_request() const {
    PlanRequest q;
    q.estimate = request_;
    q.surveys = survey_list(to8bit(surveys_->text()));
    q.reps = reps_->value();
    const std::string seed = to8bit(seed_->text().trimmed());
    const auto [end, ec] = std::from_chars(seed.data(), seed.data() + seed.size(), q.seed);
    if (ec != std::errc() || end != seed.data() + seed.size())
        throw UserError("The seed \"" + seed + "\" must be a whole number from 0 to 18446744073709551615.", "Plan a survey");
    q.design = design();
    if (target_->value() > 0.0) q.precision = target_->value() / 100.0;
    q.target_kind = kIntervalKinds[static_cast<std::size_t>(std::max(0, target_kind_->currentIndex()))].kind;
    if (const std::string problem = plan_request_problem(q, town_); !problem.empty())
        throw UserError("The plan cannot be made: " + problem + ".", "Plan a survey");
    return q;
}

bool PlanDialog::make_plan() {
    const PlanRequest q = plan_request();
    run_->setEnabled(false);
    std::optional<PlanResult> result;
    try {
        result = runner_(q);
    } catch (...) {
        run_->setEnabled(true);
        throw;
    }
    run_->setEnabled(true);
    if (!result) return false;
    plan_ = std::move(result);
    show_plan();
    return true;
}

void PlanDialog::show_plan() {
    const PlanRequest q = plan_request();
    const std::vector<IntervalKind> kinds = kinds_planned(plan_->rows);
    // the chart, the candidates in ascending order
    std::vector<const PlanRow*> order;
    for (const PlanRow& r : plan_->rows) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const PlanRow* a, const PlanRow* b) { return a->surveys < b->surveys; });
    PlanChartData d;
    for (const PlanRow* r : order) d.surveys.push_back(r->surveys);
    for (IntervalKind k : kinds) {
        PlanChartData::Series series{std::string(interval_traits(k).name), {}};
        for (const PlanRow* r : order) series.share.push_back(r->kind(k) ? r->kind(k)->relative_half_width : std::nullopt);
        d.series.push_back(std::move(series));
    }
    d.target = q.precision;
    chart_->clear();
    plot_plan(*chart_, d, fmt_);

    // the table: a row per candidate, each kind's half-width and coverage of its target
    QStringList headers{"wards", "failed", "relative RMSE"};
    for (IntervalKind k : kinds) headers << from8bit(std::string(interval_traits(k).name)) + " half-width";
    for (IntervalKind k : kinds)
        headers << from8bit(std::string(interval_traits(k).name)) + " coverage of " +
                       from8bit(std::string(target_traits(interval_traits(k).target).short_name));
    // with sightings, the dogs present's kinds after the dogs seen's
    std::vector<IntervalKind> present;
    if (!plan_->rows.empty())
        for (const KindScore& k : plan_->rows.front().present) present.push_back(k.kind);
    for (IntervalKind k : present) {
        headers << "dogs present, " + from8bit(std::string(interval_traits(k).name)) + " half-width";
        headers << "dogs present, " + from8bit(std::string(interval_traits(k).name)) + " coverage";
    }
    table_->clear();
    table_->setColumnCount(static_cast<int>(headers.size()));
    table_->setHorizontalHeaderLabels(headers);
    table_->setRowCount(static_cast<int>(plan_->rows.size()));
    for (std::size_t i = 0; i < plan_->rows.size(); ++i) {
        const PlanRow& r = plan_->rows[i];
        int c = 0;
        auto cell = [&](const QString& text) {
            auto* item = new QTableWidgetItem(text);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table_->setItem(static_cast<int>(i), c++, item);
        };
        cell(QString::number(r.surveys));
        cell(QString("%1 of %2").arg(r.failed).arg(r.reps));
        cell(percent(r.relative_rmse, fmt_));
        for (IntervalKind k : kinds) cell(percent(r.kind(k) ? r.kind(k)->relative_half_width : std::nullopt, fmt_));
        for (IntervalKind k : kinds) cell(percent(r.kind(k) ? r.kind(k)->coverage : std::nullopt, fmt_));
        for (IntervalKind k : present) {
            const KindScore* p = nullptr;
            for (const KindScore& ks : r.present)
                if (ks.kind == k) p = &ks;
            cell(percent(p ? p->relative_half_width : std::nullopt, fmt_));
            cell(percent(p ? p->coverage : std::nullopt, fmt_));
        }
    }
    table_->resizeColumnsToContents();

    QString line;
    if (q.precision) {
        const QString goal = "±" + from8bit(general_number(*q.precision * 100.0, fmt_)) + " % (" +
                             from8bit(std::string(interval_traits(q.target_kind).name)) + ")";
        if (plan_->target_surveys) {
            line = QString("Surveying %1 wards reaches %2.").arg(*plan_->target_surveys).arg(goal);
            select_->setValue(static_cast<int>(*plan_->target_surveys));
        } else {
            line = "No number of wards in the list reaches " + goal + ".";
        }
    }
    target_line_->setText(line);
}

std::string PlanDialog::selection_text() const {
    const SampleDesign d = design();
    const long k = select_->value();
    if (const std::string problem = design_problem(town_, d, k); !problem.empty())
        throw UserError("The sample " + problem + ".", "Save selected wards");
    uint64_t seed = 1;
    const std::string text = to8bit(seed_->text().trimmed());
    std::from_chars(text.data(), text.data() + text.size(), seed);
    // the stream the command line's select draws from, so both choose the same wards
    FastRandom random(seed, ~uint64_t{0});
    return selection_csv(town_, predictors_, choose_wards(town_, d, k, random), selection_probabilities(town_, d, k));
}

bool PlanDialog::save_selection(const QString& path, QString* error) const {
    const std::string clash = output_clash(kept_, {{"the file", engine_path(path)}});
    if (!clash.empty()) {
        if (error) *error = from8bit(clash);
        return false;
    }
    const std::string e = write_file_atomically(engine_path(path), selection_text());
    if (!e.empty() && error) *error = from8bit(e);
    return e.empty();
}

}  // namespace valdmora
