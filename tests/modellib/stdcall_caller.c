// SPDX-License-Identifier: GPL-3.0-or-later
/* A plain C caller of the model library's four original entries, as a program written for
 * the original library calls them: loaded by name, looked up by undecorated name, every
 * argument by address, __stdcall in 32-bit Windows. It reads the packed model data of a
 * user.txt (the table sizes, then every entry), evaluates the objective at the start
 * values, minimizes, and prints what came back, so that two builds can be compared.
 *   stdcall_caller LIBRARY USER_TXT */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#define ENTRY __stdcall
#else
#include <dlfcn.h>
#define ENTRY
#endif

typedef void(ENTRY *Fit)(int32_t *, int32_t *, double *, double *, double *, double *, int32_t *, int32_t *,
                         double *, int32_t *, int32_t *, double *, int32_t *);
typedef void(ENTRY *Funct)(int32_t *, double *, double *, int32_t *, double *);
typedef double(ENTRY *Loglik)(int32_t *, int32_t *, int32_t *, int32_t *, double *, double *, double *, int32_t *);
typedef double(ENTRY *Combin)(double *, int32_t *);

static int32_t ints[1000];
static double reals[1000];

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: stdcall_caller LIBRARY USER_TXT\n");
        return 2;
    }
#ifdef _WIN32
    HMODULE lib = LoadLibraryA(argv[1]);
#define LOOK(name) GetProcAddress(lib, name)
#else
    void *lib = dlopen(argv[1], RTLD_NOW);
#define LOOK(name) dlsym(lib, name)
#endif
    if (!lib) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    Fit fit = (Fit)LOOK("N_E04JYF");
    Funct funct = (Funct)LOOK("FUNCT1");
    Loglik loglik = (Loglik)LOOK("LOGLIK");
    Combin combin = (Combin)LOOK("RLOGCOMBIN");
    if (!fit || !funct || !loglik || !combin) {
        fprintf(stderr, "an entry is missing\n");
        return 1;
    }
    FILE *f = fopen(argv[2], "r");
    int n_ints = 0, n_reals = 0;
    if (!f || fscanf(f, "%d", &n_ints) != 1 || n_ints < 14 || n_ints > 1000) return 1;
    for (int i = 0; i < n_ints; ++i)
        if (fscanf(f, "%d", &ints[i]) != 1) return 1;
    if (fscanf(f, "%d", &n_reals) != 1 || n_reals < 1 || n_reals > 1000) return 1;
    for (int i = 0; i < n_reals; ++i)
        if (fscanf(f, "%lf", &reals[i]) != 1) return 1;
    fclose(f);

    int32_t n = ints[0], np = ints[10], nobs = ints[12];
    double x[11], bl[11], bu[11];
    for (int i = 0; i < n; ++i) {
        const int k = ints[1 + i] - 1;
        x[i] = reals[4 * k] * reals[4 * k + 1];
        bl[i] = reals[4 * k + 2] * reals[4 * k + 1];
        bu[i] = reals[4 * k + 3] * reals[4 * k + 1];
    }
    double fc = 0;
    funct(&n, x, &fc, ints, reals);
    printf("FUNCT1 at the start %.12g\n", fc);

    /* the records as LOGLIK's tables: counts, and predictors column after column */
    int32_t y[99], table[99 * 4] = {0}, dist = ints[13 + nobs * (np + 1) + np];
    for (int i = 0; i < nobs; ++i) {
        y[i] = ints[13 + i * (np + 1)];
        for (int j = 0; j < np; ++j) table[i + 99 * j] = ints[13 + i * (np + 1) + 1 + j];
    }
    double b0 = reals[0], beta[4] = {0}, e = reals[4 * (np + 1)];
    for (int j = 0; j < np; ++j) beta[j] = reals[4 * (j + 1)];
    printf("LOGLIK at the start %.12g\n", loglik(&nobs, &np, y, table, &b0, beta, &e, &dist));
    double a = 10.5;
    int32_t k = 3;
    printf("RLOGCOMBIN(10.5, 3) %.12g\n", combin(&a, &k));

    int32_t ibound = 0, liw = 20, lw = 500, ifail = 1, iw[20];
    double w[500], fmin = 0;
    fit(&n, &ibound, bl, bu, x, &fmin, iw, &liw, w, &lw, ints, reals, &ifail);
    /* the point only to the search's tolerance: the C libraries' exp and log may differ in
       the last bit, which moves where the search stops within it */
    printf("N_E04JYF ifail %d, minimum %.10g at", (int)ifail, fmin);
    for (int i = 0; i < n; ++i) printf(" %.6g", x[i]);
    printf("\nevaluations counted %d\n", (int)ints[999]);
    return 0;
}
