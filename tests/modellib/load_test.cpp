// SPDX-License-Identifier: GPL-3.0-or-later
// Loads the built library by file name and calls its entries through function pointers,
// as the program does.
#include <gtest/gtest.h>

#include <cmath>

#include "testkit/packed_model.h"
#include "testkit/shared_library.h"

using namespace valdmora::testing;

namespace {
using Fit = void (*)(int32_t*, int32_t*, double*, double*, double*, double*, int32_t*, int32_t*, double*,
                     int32_t*, int32_t*, double*, int32_t*);
using Funct = void (*)(int32_t*, double*, double*, int32_t*, double*);
using Loglik = double (*)(int32_t*, int32_t*, int32_t*, int32_t*, double*, double*, double*, int32_t*);
using Combin = double (*)(double*, int32_t*);
}  // namespace

TEST(SharedLibrary, ExportsTheFourEntriesByName) {
    const SharedLibrary lib(VALDMORA_LIBRARY_PATH);
    ASSERT_TRUE(lib.loaded()) << VALDMORA_LIBRARY_PATH;
    auto fit = reinterpret_cast<Fit>(lib.entry("N_E04JYF"));
    auto funct = reinterpret_cast<Funct>(lib.entry("FUNCT1"));
    auto loglik = reinterpret_cast<Loglik>(lib.entry("LOGLIK"));
    auto combin = reinterpret_cast<Combin>(lib.entry("RLOGCOMBIN"));
    ASSERT_TRUE(fit && funct && loglik && combin);
    EXPECT_EQ(lib.entry("floored_mean"), nullptr);

    double a = 4.0;
    int32_t k = 2;
    EXPECT_NEAR(combin(&a, &k), std::log(6.0), 1e-15);

    const Records r = simulate(50, 2, 4.0, {0.02, 0.01}, 1.0, 3, 21);
    PackedModel p = PackedModel::make(r, {10, 0, 0, 1.0}, 3, {1, 2, 3, 4});
    auto table = predictor_table(r);
    int32_t nobs = 50, np = 2, dist = 3;
    std::vector<int32_t> y = r.y;
    double b0 = 10, beta[2] = {0, 0}, e = 1.0;
    const double ll = loglik(&nobs, &np, y.data(), table.data(), &b0, beta, &e, &dist);

    int32_t n = 0, ib = 0, liw = 20, lw = 500, code = 1, iw[20];
    double bl[12] = {-1000, -1000, -1000, 0.01}, bu[12] = {1000, 1000, 1000, 100};
    double x[12] = {10, 0, 0, 1.0}, f = 0, w[500];
    double v = 0;
    funct(&n, x, &v, p.ints.data(), p.reals.data());
    EXPECT_DOUBLE_EQ(v, -ll);

    n = 4;
    fit(&n, &ib, bl, bu, x, &f, iw, &liw, w, &lw, p.ints.data(), p.reals.data(), &code);
    EXPECT_TRUE(code == 0 || code == 5) << code;
    EXPECT_LT(f, -ll);
}
