// SPDX-License-Identifier: GPL-3.0-or-later
#include "results_pane.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "qt_text.h"
#include "report/summary_html.h"

namespace valdmora {

namespace {

// The summary for a narrow pane: a run of rows under a header becomes one short paragraph a
// row, each value named by its column; label and value pairs stay lines of their own.
QString pane_html(const ResultsSummary& summary) {
    QString html;
    const std::vector<std::string>* header = nullptr;
    for (const auto& row : summary.rows) {
        if (row.size() <= 1) {
            header = nullptr;
            if (!row.empty() && !row[0].empty()) html += "<p>" + from8bit(row[0]).toHtmlEscaped() + "</p>";
            continue;
        }
        if (row.size() >= 3 && !header) {
            header = &row;  // the column names of the rows that follow
            continue;
        }
        QString line = "<b>" + from8bit(row[0]).toHtmlEscaped() + "</b>";
        for (std::size_t c = 1; c < row.size(); ++c) {
            if (row[c].empty()) continue;
            const QString name = header && c < header->size() ? from8bit((*header)[c]) + " " : QString();
            line += (c == 1 ? ": " : "; ") + name.toHtmlEscaped() + from8bit(row[c]).toHtmlEscaped();
        }
        html += "<p style=\"margin-top:2px; margin-bottom:2px\">" + line + "</p>";
    }
    return html;
}

}  // namespace

ResultsPane::ResultsPane(QWidget* parent) : QWidget(parent) {
    setObjectName("resultsPane");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    view_ = new QTextBrowser(this);
    view_->setObjectName("resultsText");
    view_->setAccessibleName("Results");
    view_->setPlaceholderText("The results of an estimate appear here.");
    view_->setOpenLinks(false);
    copy_ = new QPushButton("&Copy results", this);
    copy_->setObjectName("copyResults");
    copy_->setToolTip("Copy the results as text and as a table for a spreadsheet, in your decimals");
    copy_->setEnabled(false);
    connect(copy_, &QPushButton::clicked, this, [this] { copy(); });
    layout->addWidget(view_, 1);
    layout->addWidget(copy_, 0, Qt::AlignLeft);
}

void ResultsPane::show_summary(const ResultsSummary& summary) {
    if (summary.rows == summary_.rows) return;
    summary_ = summary;
    view_->setHtml(pane_html(summary_));
    copy_->setEnabled(!summary_.rows.empty());
    // a screen reader hears that the results changed
    QAccessibleEvent changed(view_, QAccessible::NameChanged);
    view_->setAccessibleDescription(summary_.rows.empty() ? QString() : from8bit(summary_.rows.front().front()));
    QAccessible::updateAccessibility(&changed);
}

void ResultsPane::copy() const {
    auto* mime = new QMimeData;
    mime->setText(from8bit(summary_.text()));
    mime->setHtml(summary_html(summary_));
    QApplication::clipboard()->setMimeData(mime);
}

}  // namespace valdmora
