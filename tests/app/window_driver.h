// SPDX-License-Identifier: GPL-3.0-or-later
// The window under test and the user's ways of driving it, shared by the window's tests.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

#include "main_window.h"

class WindowDriver {
protected:
    std::unique_ptr<valdmora::Form1> w;
    std::vector<valdmora::Notice> messages;  // what the window would have shown in a box
    QTemporaryDir dir;

    template <class T>
    T* get(const QString& name) {
        T* c = w->findChild<T*>(name);
        if (!c) qFatal("no control %s", qPrintable(name));
        return c;
    }
    QLineEdit* beta(int i) { return get<QLineEdit>(QString("txtBeta(%1)").arg(i)); }
    QPushButton* command() { return get<QPushButton>("Command1"); }

    // Replace the text of a box as a user would: select all, type over it (or delete it),
    // leave with Tab.
    void type_into(QLineEdit* box, const QString& text, bool leave = true) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty())
            QTest::keyClick(box, Qt::Key_Delete);
        else
            QTest::keyClicks(box, text);
        if (leave) QTest::keyClick(box, Qt::Key_Tab);
    }
};
