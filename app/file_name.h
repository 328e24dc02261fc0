// SPDX-License-Identifier: GPL-3.0-or-later
// A path from the window as the engine takes paths: UTF-8 on Windows (turned back into
// UTF-16 at the system call), the system's own bytes for the name elsewhere.
#pragma once

#include <QFile>
#include <QString>
#include <string>

namespace valdmora {

inline std::string engine_path(const QString& path) {
#ifdef Q_OS_WIN
    return path.toUtf8().toStdString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

}  // namespace valdmora
