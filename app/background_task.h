// SPDX-License-Identifier: GPL-3.0-or-later
// Work off the window's thread: the window keeps painting, its controls and menus are
// disabled, a progress bar with a Cancel button appears after half a second, and Cancel
// gives nothing back.
#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <optional>

#include "estimation/progress.h"

class QMainWindow;

namespace valdmora {

class BackgroundTask {
public:
    explicit BackgroundTask(QMainWindow* window) : window_(window) {}

    // The work's value, or none when it was cancelled; what the work throws (other than a
    // cancellation) is thrown here, on the window's thread.
    template <class T>
    std::optional<T> run(const QString& what, const std::function<T(const Progress&)>& work) {
        std::optional<T> result;
        if (!run_work(what, [&](const Progress& progress) { result = work(progress); })) return std::nullopt;
        return result;
    }

    bool busy() const { return busy_; }
    // Asks the work in progress to stop.
    void cancel() {
        if (cancel_) *cancel_ = true;
    }

private:
    // false: cancelled
    bool run_work(const QString& what, const std::function<void(const Progress&)>& work);

    QMainWindow* window_;
    bool busy_ = false;
    std::atomic<bool>* cancel_ = nullptr;
};

}  // namespace valdmora
