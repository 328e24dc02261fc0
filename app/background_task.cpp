// SPDX-License-Identifier: GPL-3.0-or-later
#include "background_task.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressDialog>
#include <QStatusBar>
#include <QTimer>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cycle/user_error.h"

namespace valdmora {

bool BackgroundTask::run_work(const QString& what, const std::function<void(const Progress&)>& work) {
    struct Shared {
        std::mutex lock;
        std::string stage;
        int done = 0, total = 0;
    } shared;
    std::atomic<bool> cancel{false}, finished{false};
    const Progress progress(
        [&shared](const std::string& stage, int done, int total) {
            std::lock_guard<std::mutex> guard(shared.lock);
            shared.stage = stage;
            shared.done = done;
            shared.total = total;
        },
        &cancel);
    std::exception_ptr error;
    std::thread worker([&] {
        try {
            work(progress);
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
    });
    // whatever is thrown below, the worker is stopped and joined, never left running
    struct StopOnExit {
        std::thread& worker;
        std::atomic<bool>& cancel;
        ~StopOnExit() {
            if (worker.joinable()) {
                cancel = true;
                worker.join();
            }
        }
    } stop_on_exit{worker, cancel};

    busy_ = true;
    window_->centralWidget()->setEnabled(false);
    window_->menuBar()->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QProgressDialog> dialog;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (finished) {
            loop.quit();
            return;
        }
        if (!dialog && clock.elapsed() > 500) {
            dialog = std::make_unique<QProgressDialog>(what + "…", "Cancel", 0, 100, window_);
            dialog->setObjectName("progress");
            dialog->setWindowTitle("valdmora");
            dialog->setWindowModality(Qt::ApplicationModal);
            dialog->setMinimumDuration(0);
            dialog->setAutoClose(false);
            dialog->setAutoReset(false);
            QObject::connect(dialog.get(), &QProgressDialog::canceled, &loop, [&] {
                cancel = true;
                dialog->setLabelText("Cancelling…");
            });
            QApplication::changeOverrideCursor(Qt::BusyCursor);
        }
        if (dialog && dialog->wasCanceled() && !cancel) {
            cancel = true;
            dialog->setLabelText("Cancelling…");
        }
        if (dialog && !cancel) {
            std::lock_guard<std::mutex> guard(shared.lock);
            dialog->setLabelText(shared.stage.empty() ? what + "…" : what + ": " + QString::fromUtf8(shared.stage.c_str()) + "…");
            dialog->setMaximum(std::max(1, shared.total));
            dialog->setValue(std::min(shared.done, std::max(1, shared.total)));
        }
    });
    poll.start(30);
    cancel_ = &cancel;
    loop.exec();
    worker.join();
    cancel_ = nullptr;
    poll.stop();
    dialog.reset();
    QApplication::restoreOverrideCursor();
    window_->centralWidget()->setEnabled(true);
    window_->menuBar()->setEnabled(true);
    busy_ = false;

    bool cancelled = cancel.load();
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const Cancelled&) {
            cancelled = true;
        }
    }
    if (cancelled) {
        window_->statusBar()->showMessage(what + " was cancelled; nothing has changed.");
        return false;
    }
    return true;
}

}  // namespace valdmora
