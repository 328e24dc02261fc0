// SPDX-License-Identifier: GPL-3.0-or-later
// The model library's entries on model data built from arbitrary bytes: every call must
// return (a failure code, a NaN, an infinity), never read or write outside the caller's
// arrays, never crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "valdmora/modellib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::array<int32_t, 1000> ints{};
    std::array<double, 1000> reals{};
    const bool structured = in.ConsumeBool();
    // Counts that a full fit evaluates thousands of times stay moderate so that a fit ends
    // in seconds; single evaluations take any value.
    const int32_t count_limit = in.ConsumeBool() ? 100000 : INT32_MAX;
    if (structured) {
        // a layout close to what the program packs, with sizes at and beyond the limits
        const int32_t np = in.ConsumeIntegralInRange<int32_t>(-1, 5);
        const int32_t nobs = in.ConsumeIntegralInRange<int32_t>(-1, 100);
        const int32_t n = in.ConsumeIntegralInRange<int32_t>(-1, 12);
        ints[0] = n;
        for (int i = 1; i <= 11; ++i) ints[i] = in.ConsumeIntegralInRange<int32_t>(-1, 8);
        ints[10] = np;
        ints[11] = in.ConsumeIntegralInRange<int32_t>(-2, 100);
        ints[12] = nobs;
        for (std::size_t i = 13; i < 999 && in.remaining_bytes() > 0; ++i)
            ints[i] = in.ConsumeIntegralInRange<int32_t>(-count_limit, count_limit);
        for (std::size_t k = 0; k < 25; ++k) reals[k] = in.ConsumeFloatingPoint<double>();
    } else {
        for (auto& v : ints) v = in.ConsumeIntegral<int32_t>();
        for (auto& v : reals) v = in.ConsumeFloatingPoint<double>();
    }
    ints[999] = in.ConsumeIntegral<int32_t>();

    std::array<double, 12> lower{}, upper{}, x{};
    for (std::size_t i = 0; i < 12; ++i) {
        lower[i] = in.ConsumeFloatingPoint<double>();
        upper[i] = in.ConsumeFloatingPoint<double>();
        x[i] = in.ConsumeFloatingPoint<double>();
    }
    int32_t n = in.ConsumeIntegralInRange<int32_t>(-2, 13);
    int32_t ibound = in.ConsumeIntegralInRange<int32_t>(-1, 4);
    int32_t liw = 20, lw = 500, ifail = 1;
    std::array<int32_t, 20> iw{};
    std::array<double, 500> w{};
    double f = 0.0;

    int32_t nf = n;
    FUNCT1(&nf, x.data(), &f, ints.data(), reals.data());

    std::array<int32_t, 99 * 4> table{};
    std::array<int32_t, 99> y{};
    for (auto& v : y) v = in.ConsumeIntegral<int32_t>();
    for (auto& v : table) v = in.ConsumeIntegral<int32_t>();
    int32_t nobs = in.ConsumeIntegralInRange<int32_t>(-5, 120), np = in.ConsumeIntegralInRange<int32_t>(-2, 6);
    int32_t dist = in.ConsumeIntegral<int32_t>();
    double b0 = in.ConsumeFloatingPoint<double>(), e = in.ConsumeFloatingPoint<double>();
    std::array<double, 4> beta{};
    for (auto& v : beta) v = in.ConsumeFloatingPoint<double>();
    (void)LOGLIK(&nobs, &np, y.data(), table.data(), &b0, beta.data(), &e, &dist);

    double a = in.ConsumeFloatingPoint<double>();
    int32_t k = in.ConsumeIntegral<int32_t>();
    (void)RLOGCOMBIN(&a, &k);

    N_E04JYF(&n, &ibound, lower.data(), upper.data(), x.data(), &f, iw.data(), &liw, w.data(), &lw, ints.data(),
             reals.data(), &ifail);

    // the size-free entries: arrays as long as the model says, everything in them arbitrary,
    // and sizes, positions and bounds that may be invalid
    const int64_t records = in.ConsumeIntegralInRange<int64_t>(-1, 120);
    const int32_t predictors = in.ConsumeIntegralInRange<int32_t>(-1, 5);
    const std::size_t rows = records > 0 ? static_cast<std::size_t>(records) : 0;
    const std::size_t cols = predictors > 0 ? static_cast<std::size_t>(predictors) : 0;
    std::vector<int32_t> counts(rows);
    for (auto& v : counts) v = in.ConsumeIntegralInRange<int32_t>(-count_limit, count_limit);
    std::vector<double> values(rows * cols), sums(cols), param(cols + 2), scale(cols + 2);
    for (auto& v : values) v = in.ConsumeFloatingPoint<double>();
    for (auto& v : sums) v = in.ConsumeFloatingPoint<double>();
    for (auto& v : param) v = in.ConsumeFloatingPoint<double>();
    for (auto& v : scale) v = in.ConsumeFloatingPoint<double>();
    valdmora_model model{records,       predictors,    in.ConsumeIntegral<int32_t>(),
                         counts.data(), values.data(), in.ConsumeBool() ? sums.data() : nullptr,
                         in.ConsumeFloatingPoint<double>(), param.data(), scale.data(),
                         in.ConsumeFloatingPoint<double>()};
    const int32_t nfree = in.ConsumeIntegralInRange<int32_t>(-1, 12);
    std::array<int32_t, 12> pos{};
    for (auto& v : pos) v = in.ConsumeIntegralInRange<int32_t>(-1, 8);
    (void)VALDMORA_OBJECTIVE(&model, nfree, pos.data(), x.data());
    (void)VALDMORA_LOGLIK(records, predictors, counts.data(), values.data(), records, param[0], param.data() + 1,
                          param.back(), model.dist);
    int64_t evaluations = 0;
    // a full search in a third of the inputs each, so that single evaluations stay frequent
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 1:
            (void)VALDMORA_SEARCH(&model, nfree, pos.data(), lower.data(), upper.data(), x.data(), &f, &evaluations);
            break;
        case 2:
            (void)VALDMORA_FIT(&model, nfree, pos.data(), lower.data(), upper.data(), x.data(), &f, &evaluations);
            break;
        default:
            break;
    }
    return 0;
}
