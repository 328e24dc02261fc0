// SPDX-License-Identifier: GPL-3.0-or-later
// The residual diagnostics of the last estimate in a window of its own: the dispersion
// statistic, Pearson residuals against the fitted means, and a normal Q-Q plot of the
// quantile residuals; both charts can be saved.
#pragma once

#include <QWidget>

#include "cycle/number_text.h"
#include "estimation/residuals.h"

class QLabel;

namespace valdmora {

class PictureBox;

class ModelCheckWindow : public QWidget {
    Q_OBJECT
public:
    explicit ModelCheckWindow(QWidget* parent = nullptr);
    void show_residuals(const Residuals& r, const NumberFormat& fmt, Dist dist);

    PictureBox* pearson_box() const { return pearson_; }
    PictureBox* quantile_box() const { return quantile_; }
    QString summary() const;
    // the overdispersion checks' sentences, one a line
    void show_checks(const std::string& sentences);
    // Checks of an estimate that no longer belongs to the form: the line above them, the
    // charts washed grey; empty: current.
    void set_out_of_date(const QString& line);
    QString checks() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void save(PictureBox* box);
    QLabel* summary_ = nullptr;
    QLabel* checks_ = nullptr;
    QLabel* stale_ = nullptr;  // the out-of-date line
    PictureBox* pearson_ = nullptr;
    PictureBox* quantile_ = nullptr;
};

}  // namespace valdmora
