// SPDX-License-Identifier: GPL-3.0-or-later
#include "model_check_window.h"

#include "cycle/distributions.h"

#include <QFileDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QShortcut>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <cmath>

#include "charts/charts.h"
#include "cycle/atomic_file.h"
#include "cycle/number_format.h"
#include "picture_box.h"
#include "qt_text.h"

namespace valdmora {

ModelCheckWindow::ModelCheckWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("modelCheck");
    setWindowTitle("valdmora — check model");
    auto* layout = new QGridLayout(this);
    summary_ = new QLabel(this);
    summary_->setObjectName("summary");
    summary_->setWordWrap(true);
    layout->addWidget(summary_, 1, 0, 1, 2);
    stale_ = out_of_date_banner(this);
    layout->addWidget(stale_, 0, 0, 1, 2);
    checks_ = new QLabel(this);
    checks_->setObjectName("checks");
    checks_->setWordWrap(true);
    checks_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(checks_, 4, 0, 1, 2);
    pearson_ = new PictureBox(this);
    pearson_->setObjectName("picPearson");
    pearson_->setAccessibleName("Pearson residuals against fitted means");
    pearson_->setToolTip("Each surveyed ward's Pearson residual against its fitted mean; they should scatter evenly about 0.");
    quantile_ = new PictureBox(this);
    quantile_->setObjectName("picQuantile");
    quantile_->setAccessibleName("Normal Q-Q plot of quantile residuals");
    quantile_->setToolTip("The quantile residuals against normal quantiles; they should follow the line if the model holds.");
    for (PictureBox* box : {pearson_, quantile_}) {
        box->setFixedSize(440, 320);  // drawn once for this size
        connect(box, &PictureBox::saveRequested, this, [this](PictureBox* b) { save(b); });
    }
    layout->addWidget(pearson_, 2, 0);
    layout->addWidget(quantile_, 2, 1);
    auto* save_pearson = new QPushButton("Save Pearson chart…", this);
    save_pearson->setObjectName("savePearson");
    auto* save_quantile = new QPushButton("Save Q–Q chart…", this);
    save_quantile->setObjectName("saveQuantile");
    connect(save_pearson, &QPushButton::clicked, this, [this] { save(pearson_); });
    connect(save_quantile, &QPushButton::clicked, this, [this] { save(quantile_); });
    layout->addWidget(save_pearson, 3, 0, Qt::AlignLeft);
    layout->addWidget(save_quantile, 3, 1, Qt::AlignLeft);
    auto* close_button = new QPushButton("Close", this);
    close_button->setObjectName("close");
    connect(close_button, &QPushButton::clicked, this, &QWidget::close);
    layout->addWidget(close_button, 5, 1, Qt::AlignRight);
    // a window of its own closes as a dialog does: Escape (below), or Ctrl+W
    connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this, &QWidget::close);
    resize(900, 540);
}

void ModelCheckWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ModelCheckWindow::show_residuals(const Residuals& r, const NumberFormat& fmt, Dist dist) {
    const std::string dispersion =
        std::isfinite(r.dispersion) ? format_number(r.dispersion, "0.000", fmt) : std::string("not available");
    summary_->setText(QString("%1 model, %2 surveyed wards: dispersion statistic (sum of squared Pearson residuals over "
                              "n - k) = %3. Near 1 the variance rule fits; well above 1 the counts vary more than the "
                              "model allows. The quantile residuals of a fitting model look standard normal%4.")
                          .arg(QString::fromUtf8(distribution(dist).name))
                          .arg(r.pearson.size())
                          .arg(QString::fromStdString(dispersion))
                          .arg(distribution(dist).whole_counts ? " (the negative binomial's are jittered at random between the counts' "
                                           "steps, with a fixed seed)"
                                         : ""));
    // the charts are drawn once the window has its size
    pearson_->clear();
    quantile_->clear();
    const ScatterChartData p = pearson_chart(r), q = quantile_chart(r);
    plot_scatter(*pearson_, p, fmt);
    plot_scatter(*quantile_, q, fmt);
    // hovering over a point names its ward and its values, as on the counts chart
    auto number = [&](double v) { return QString::fromStdString(format_number(v, "0.000", fmt)); };
    std::vector<QString> pearson_names, quantile_names;
    for (std::size_t i : counts_point_order(r.ward.size())) {
        const std::size_t k = i - 1;
        const QString ward = QString::fromStdString(r.ward[k]);
        const QString counted = QString::fromStdString(format_number(r.count[k], "0", fmt));
        pearson_names.push_back(QString("%1: count %2, fitted mean %3, Pearson residual %4")
                                    .arg(ward, counted, number(r.fitted[k]), number(r.pearson[k])));
        quantile_names.push_back(QString("%1: count %2, quantile residual %3, normal quantile %4")
                                     .arg(ward, counted, number(r.quantile[k]), number(q.x[k])));
    }
    pearson_->set_point_names(std::move(pearson_names));
    quantile_->set_point_names(std::move(quantile_names));
}

QString ModelCheckWindow::summary() const { return summary_->text(); }

void ModelCheckWindow::show_checks(const std::string& sentences) { checks_->setText(QString::fromStdString(sentences)); }

QString ModelCheckWindow::checks() const { return checks_->text(); }

void ModelCheckWindow::set_out_of_date(const QString& line) {
    stale_->setText(line);
    stale_->setVisible(!line.isEmpty());
    for (PictureBox* box : {pearson_, quantile_}) box->set_out_of_date(line);
    for (QLabel* l : {summary_, checks_}) l->setStyleSheet(line.isEmpty() ? QString() : "color: rgb(150, 150, 150);");
}

void ModelCheckWindow::save(PictureBox* box) {
    // a chart of an estimate no longer on show would be taken for the one shown
    if (!stale_->text().isEmpty()) {
        QMessageBox::critical(this, "Save chart", stale_->text() + " The chart is not saved until then.");
        return;
    }
    const QString path =
        QFileDialog::getSaveFileName(this, "Save chart", box->objectName() + ".png", "PNG images (*.png);;SVG drawings (*.svg)");
    if (path.isEmpty()) return;
    QString error;
    const bool ok = path.endsWith(".svg", Qt::CaseInsensitive) ? box->save_svg(path, &error) : box->save_png(path, &error);
    if (!ok)
        QMessageBox::critical(this, "Save chart",
                              QString::fromStdString(not_written_message("chart", path.toStdString(), error.toStdString())));
}

}  // namespace valdmora
