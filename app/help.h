// SPDX-License-Identifier: GPL-3.0-or-later
// The help pages: from a survey to an estimate, the count data file, what the charts show,
// and about the program.
#pragma once

#include <QDialog>
#include <QString>

namespace valdmora {

class HelpDialog : public QDialog {
    Q_OBJECT
public:
    // topic: "start", "datafile", "charts" or "about"
    HelpDialog(const QString& topic, QWidget* parent = nullptr);
    static void show_topic(QWidget* parent, const QString& topic);
    static QString html(const QString& topic);
};

}  // namespace valdmora
