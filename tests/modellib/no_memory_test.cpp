// SPDX-License-Identifier: GPL-3.0-or-later
// Memory that cannot be had inside the model library: every entry answers with its
// documented failure value, and nothing thrown reaches the C caller. The library's objects
// are linked into this program, whose operator new fails on request.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "testkit/packed_model.h"
#include "valdmora/modellib.h"

namespace {
std::atomic<bool> fail_allocations{false};

void* allocate(std::size_t size) {
    if (fail_allocations.load()) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

// Allocations fail while one of these lives.
struct NoMemory {
    NoMemory() { fail_allocations = true; }
    ~NoMemory() { fail_allocations = false; }
    NoMemory(const NoMemory&) = delete;
    NoMemory& operator=(const NoMemory&) = delete;
};
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace valdmora::testing;

TEST(NoMemory, SizeFreeFitAndSearchReportACodeAndKeepTheStart) {
    const Records r = simulate(200, 2, 5.0, {0.01, 0.02}, 1.0, 3, 11);
    std::vector<double> x_cols(r.y.size() * 2);
    for (std::size_t i = 0; i < r.y.size(); ++i)
        for (std::size_t j = 0; j < 2; ++j) x_cols[i + r.y.size() * j] = r.x[i][j];
    const std::vector<double> value{5, 0, 0, 1.0}, scale(4, 1.0);
    const valdmora_model m{static_cast<int64_t>(r.y.size()), 2, 3, r.y.data(), x_cols.data(), nullptr, 0.0,
                           value.data(), scale.data(), 0.0};
    const std::vector<int32_t> free_pos{1, 2, 3, 4};
    const std::vector<double> lower{-1000, -1000, -1000, 0.01}, upper{1000, 1000, 1000, 100};
    for (bool confirm : {true, false}) {
        SCOPED_TRACE(confirm ? "fit" : "search");
        std::vector<double> x{5, 0, 0, 1.0};
        const std::vector<double> start = x;
        double f = 0.0;
        int64_t evaluations = -1;
        int32_t code = -1;
        {
            NoMemory none;
            code = confirm ? VALDMORA_FIT(&m, 4, free_pos.data(), lower.data(), upper.data(), x.data(), &f, &evaluations)
                           : VALDMORA_SEARCH(&m, 4, free_pos.data(), lower.data(), upper.data(), x.data(), &f,
                                             &evaluations);
        }
        EXPECT_EQ(code, VALDMORA_FIT_NO_MEMORY);
        EXPECT_EQ(x, start);
        EXPECT_TRUE(std::isnan(f));
        // and with memory again the same call fits
        code = VALDMORA_FIT(&m, 4, free_pos.data(), lower.data(), upper.data(), x.data(), &f, nullptr);
        EXPECT_TRUE(code == VALDMORA_FIT_OK || code == VALDMORA_FIT_UNCONFIRMED) << code;
    }
}

TEST(NoMemory, TheOriginalFitReportsTheMinimizersFailure) {
    const Records r = simulate(60, 2, 5.0, {0.01, 0.02}, 1.0, 3, 12);
    PackedModel p = PackedModel::make(r, {5, 0, 0, 1.0}, 3, {1, 2, 3, 4});
    int32_t n = 4, ib = 0, liw = 20, lw = 500, iw[20], ifail = 0;
    double bl[4] = {-1000, -1000, -1000, 0.01}, bu[4] = {1000, 1000, 1000, 100}, x[4] = {5, 0, 0, 1.0}, w[500], f = 0.0;
    {
        NoMemory none;
        N_E04JYF(&n, &ib, bl, bu, x, &f, iw, &liw, w, &lw, p.ints.data(), p.reals.data(), &ifail);
    }
    EXPECT_EQ(ifail, VALDMORA_FIT_FAILED);
}
