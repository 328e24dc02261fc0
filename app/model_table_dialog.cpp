// SPDX-License-Identifier: GPL-3.0-or-later
#include "model_table_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

#include "cycle/atomic_file.h"
#include "cycle/distributions.h"
#include "file_name.h"
#include "cycle/number_format.h"
#include "estimation/model_average.h"
#include "qt_text.h"

namespace valdmora {
namespace {


QString text_of(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

ModelTableDialog::ModelTableDialog(ModelTable table, const NumberFormat& fmt, QWidget* parent)
    : QDialog(parent), table_(std::move(table)), fmt_(fmt) {
    setObjectName("modelTable");
    setWindowTitle("valdmora — compare models");
    auto* layout = new QVBoxLayout(this);
    view_ = new QTableWidget(static_cast<int>(table_.rows.size()), 13, this);
    view_->setObjectName("models");
    view_->setAccessibleName("Models");
    view_->setHorizontalHeaderLabels({"distribution", "predictors", "k", "n", "code", "complete log likelihood", "AIC",
                                      "AICc", "ΔAICc", "weight", "unsurveyed wards' total", "lower", "upper"});
    // what each column holds
    const char* const tips[13] = {
        "The error distribution of the counts",
        "The predictors whose coefficients are estimated, besides the constant",
        "Free parameters: the constant, each predictor's coefficient and the extra parameter",
        "Surveyed wards the model was fitted to",
        "The fit's failure code: 0 or 5 is a fit that converged; anything else did not",
        "The complete log likelihood, with every constant; the window's likelihood line leaves out -ln(2 pi)/2 a "
        "ward for the normal and lognormal",
        "Akaike's information criterion: -2 log likelihood + 2k",
        "AIC corrected for small samples; the lowest fits best for its number of parameters",
        "AICc less the lowest AICc",
        "Akaike weight: the model's share of the evidence among these models",
        "The estimated dogs in the unsurveyed wards only (the dogs counted are not in it)",
        "Lower 95 % Wald prediction limit of the dogs in the unsurveyed wards",
        "Upper 95 % Wald prediction limit of the dogs in the unsurveyed wards"};
    for (int c = 0; c < 13; ++c) view_->horizontalHeaderItem(c)->setToolTip(tips[c]);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto number = [&](double v, const char* pattern) {
        return std::isfinite(v) ? text_of(format_number(v, pattern, fmt_)) : QString("–");
    };
    for (int i = 0; i < view_->rowCount(); ++i) {
        const ModelRow& r = table_.rows[static_cast<std::size_t>(i)];
        const QString predictors = r.predictor_names.empty() ? "(constant only)" : text_of(r.predictor_names);
        QStringList cells{QString::fromUtf8(distribution(r.dist).name), predictors, QString::number(r.k), QString::number(r.n)};
        if (r.available)
            cells << QString::number(r.fail_code) << number(r.log_lik, "0.000") << number(r.aic, "0.000")
                  << number(r.aicc, "0.000") << number(r.delta_aicc, "0.00") << number(r.weight, "0.000")
                  << number(r.pop_est, "##,###") << number(r.pop_lower, "0") << number(r.pop_upper, "0");
        else
            cells << "–" << "unavailable" << "" << "" << "" << "" << "" << "" << "";
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (c >= 2) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (!r.reason.empty()) item->setToolTip(text_of(r.reason));
            view_->setItem(i, c, item);
        }
    }
    view_->resizeColumnsToContents();
    view_->horizontalHeader()->setStretchLastSection(true);
    stale_ = out_of_date_banner(this);
    layout->addWidget(stale_);
    layout->addWidget(view_);
    auto* note = new QLabel(text_of(table_.note), this);
    note->setObjectName("note");
    note->setWordWrap(true);
    layout->addWidget(note);
    const ModelAverage average = model_average(table_, fmt_);
    auto* averaged = new QLabel(QString::fromStdString(average.available ? "Model-averaged total: " + average.sentence + "."
                                                                         : "No model-averaged total: " + average.reason + "."),
                                this);
    averaged->setObjectName("average");
    averaged->setWordWrap(true);
    averaged->setTextInteractionFlags(Qt::TextSelectableByMouse);
    averaged->setToolTip("Each model's total weighted by its Akaike weight (AICc); the unconditional standard error "
                         "adds the spread of the models' totals to each model's own variance (Burnham and Anderson).");
    layout->addWidget(averaged);

    auto* buttons = new QHBoxLayout;
    use_ = new QPushButton("Use this model", this);
    use_->setObjectName("use");
    use_->setToolTip("Set the distribution, the ticked predictors and the start values of the main window to this row's.");
    use_->setEnabled(false);
    auto* copy = copy_ = new QPushButton("Copy", this);
    copy->setObjectName("copy");
    copy->setToolTip("Copy the table to the clipboard, tab-separated.");
    auto* save = save_ = new QPushButton("Save as CSV…", this);
    save->setObjectName("save");
    save->setToolTip("Write the table to a CSV file.");
    auto* close = new QPushButton("Close", this);
    close->setObjectName("close");
    connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this, &QDialog::reject);
    buttons->addWidget(use_);
    buttons->addStretch();
    buttons->addWidget(copy);
    buttons->addWidget(save);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    saved_ = new QLabel(this);
    saved_->setObjectName("saved");
    layout->addWidget(saved_);
    resize(980, 520);

    connect(view_, &QTableWidget::itemSelectionChanged, this, [this] {
        const int row = view_->currentRow();
        use_->setEnabled(!out_of_date() && row >= 0 && table_.rows[static_cast<std::size_t>(row)].available);
    });
    connect(view_, &QTableWidget::cellDoubleClicked, this, [this] { use_selected(); });
    connect(use_, &QPushButton::clicked, this, [this] { use_selected(); });
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(clipboard_text()); });
    connect(save, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Save the table of models", "models.csv", "CSV files (*.csv)");
        QString error;
        if (path.isEmpty()) return;
        if (!save_csv(path, &error))
            QMessageBox::critical(this, "Save the table of models",
                                  text_of(not_written_message("table", path.toStdString(), error.toStdString())));
        else
            saved_->setText("Saved " + QDir::toNativeSeparators(path) + ".");
    });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
}

void ModelTableDialog::set_out_of_date(const QString& line) {
    if (line == stale_line_) return;
    stale_line_ = line;
    stale_->setText(line);
    stale_->setVisible(!line.isEmpty());
    copy_->setEnabled(line.isEmpty());
    save_->setEnabled(line.isEmpty());
    view_->setEnabled(line.isEmpty());
    const int row = view_->currentRow();
    use_->setEnabled(line.isEmpty() && row >= 0 && table_.rows[static_cast<std::size_t>(row)].available);
}

void ModelTableDialog::use_selected() {
    if (out_of_date()) return;
    const int row = view_->currentRow();
    if (row < 0 || !table_.rows[static_cast<std::size_t>(row)].available) return;
    emit useModel(table_.rows[static_cast<std::size_t>(row)]);
}

QString ModelTableDialog::as_text(bool csv) const { return text_of(csv ? model_table_csv(table_) : model_table_tsv(table_)); }

QString ModelTableDialog::clipboard_text() const { return text_of(model_table_tsv(table_, fmt_.decimal)); }

bool ModelTableDialog::save_csv(const QString& path, QString* error) const {
    const std::string clash = output_clash(kept_, {{"the file", engine_path(path)}});
    if (!clash.empty()) {
        if (error) *error = QString::fromStdString(clash);
        return false;
    }
    const std::string e = write_file_atomically(engine_path(path), model_table_csv(table_));
    if (!e.empty() && error) *error = QString::fromStdString(e);
    return e.empty();
}

}  // namespace valdmora
