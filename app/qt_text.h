// SPDX-License-Identifier: GPL-3.0-or-later
// Texts between the engine (UTF-8) and Qt, a widget's text colour, and the line that says a
// view is out of date.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPalette>
#include <QString>
#include <QWidget>
#include <string>

namespace valdmora {

inline QString from8bit(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
inline std::string to8bit(const QString& s) { return s.toUtf8().toStdString(); }

inline void set_text_colour(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    w->setPalette(p);
}

// A hidden label, shown with the out-of-date line above a view of a result that no longer
// belongs to the form (named "outOfDate").
inline QLabel* out_of_date_banner(QWidget* parent) {
    auto* banner = new QLabel(parent);
    banner->setObjectName("outOfDate");
    banner->setWordWrap(true);
    banner->setStyleSheet("background: #fff3c4; padding: 4px;");
    banner->hide();
    return banner;
}

}  // namespace valdmora
