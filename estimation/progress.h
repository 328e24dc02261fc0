// SPDX-License-Identifier: GPL-3.0-or-later
// Progress of long work, and the request to stop it. Stages report what they are doing and
// how far they are; a Cancel throws Cancelled at the next check, and the click's copy of
// the state is dropped.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace valdmora {

class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

class Progress {
public:
    // report(stage, done, total) may run on any thread; cancel may be null.
    Progress() = default;
    Progress(std::function<void(const std::string&, int, int)> report, const std::atomic<bool>* cancel)
        : report_(std::move(report)), cancel_(cancel) {}
    Progress(const Progress& o) : report_(o.report_), cancel_(o.cancel_) {}
    Progress& operator=(const Progress& o) {
        report_ = o.report_;
        cancel_ = o.cancel_;
        return *this;
    }

    void check_cancel() const {
        if (cancel_ && cancel_->load(std::memory_order_relaxed)) throw Cancelled();
    }
    // A new stage of total steps.
    void stage(const std::string& name, int total) const {
        check_cancel();
        done_ = 0;
        total_ = total;
        name_ = name;
        if (report_) report_(name, 0, total);
    }
    // One step of the stage done; safe from several threads.
    void step() const {
        const int done = ++done_;
        if (report_) report_(name_, done, total_);
    }
    bool cancelled() const { return cancel_ && cancel_->load(std::memory_order_relaxed); }
    // The same Cancel without the reports: for work inside a stage that counts its own steps.
    Progress silent() const { return Progress(nullptr, cancel_); }

private:
    std::function<void(const std::string&, int, int)> report_;
    const std::atomic<bool>* cancel_ = nullptr;
    mutable std::atomic<int> done_{0};
    mutable int total_ = 0;
    mutable std::string name_;
};

}  // namespace valdmora
