// SPDX-License-Identifier: GPL-3.0-or-later
// The results pane: the last estimate as text a reader can select, copy and have read aloud,
// with a button that copies it as text and as a table.
#pragma once

#include <QWidget>

#include "form/results_summary.h"

class QTextBrowser;
class QPushButton;

namespace valdmora {

class ResultsPane : public QWidget {
    Q_OBJECT
public:
    explicit ResultsPane(QWidget* parent = nullptr);
    void show_summary(const ResultsSummary& summary);
    // Puts the summary on the clipboard: plain text, and an HTML table a spreadsheet takes
    // cell by cell.
    void copy() const;
    const ResultsSummary& summary() const { return summary_; }

private:
    ResultsSummary summary_;
    QTextBrowser* view_ = nullptr;
    QPushButton* copy_ = nullptr;
};

}  // namespace valdmora
