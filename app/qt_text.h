// SPDX-License-Identifier: GPL-3.0-or-later
// Texts between the engine (UTF-8) and Qt, and a widget's text colour.
#pragma once

#include <QColor>
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

}  // namespace valdmora
