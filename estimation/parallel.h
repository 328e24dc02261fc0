// SPDX-License-Identifier: GPL-3.0-or-later
// Independent pieces of work on both cores. Each piece writes only its own results, so the
// outcome is the same, bit for bit, as one after the other.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

namespace valdmora {

// Calls work(i) for i = 0..count-1, on two threads when two_threads is set. The first
// exception thrown is rethrown after every thread has stopped; the other thread then takes
// no new piece.
inline void parallel_for(int count, bool two_threads, const std::function<void(int)>& work) {
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error[2];
    auto run = [&](int lane) {
        try {
            for (int i = next++; i < count && !failed; i = next++) work(i);
        } catch (...) {
            error[lane] = std::current_exception();
            failed = true;
        }
    };
    std::thread helper;
    if (two_threads && count > 1) {
        try {
            helper = std::thread(run, 1);
        } catch (const std::system_error&) {
            // no second thread to be had: this one does every piece
        }
    }
    run(0);
    if (helper.joinable()) helper.join();
    for (auto& e : error)
        if (e) std::rethrow_exception(e);
}

// Data this large repay a second thread for a few hundred evaluations.
constexpr long kParallelRecords = 1000;

}  // namespace valdmora
