// SPDX-License-Identifier: GPL-3.0-or-later
/* The valdmora model library: count likelihood and a bound-constrained minimizer.
 *
 * Two interfaces over one implementation:
 * - the four 99-record entries N_E04JYF, FUNCT1, LOGLIK and RLOGCOMBIN, whose model data
 *   are packed into two fixed tables of whole numbers and doubles (layout below), every
 *   argument passed by address;
 * - the size-free entries VALDMORA_FIT, VALDMORA_SEARCH, VALDMORA_OBJECTIVE,
 *   VALDMORA_HESSIAN and VALDMORA_LOGLIK (at the end),
 *   with explicit sizes and plain arrays of any length, predictor values as doubles.
 * Integers are 32-bit signed unless named otherwise, reals are doubles. Nothing crosses
 * this interface as an exception, and the library keeps no state.
 *
 * The 99-record entries' model data:
 *
 * model_ints (1000 entries, numbered from 1 here, index 0 in C):
 *   1        n, the number of free parameters (the library takes n from its argument)
 *   2..n+1   positions (1..np+2) of the free parameters, in the order of the variables
 *   11       np, number of predictors (0..4)
 *   12       M, number of wards over which a fixed total is spread
 *   13       nobs, number of count records (0..99)
 *   14..     per record: count, then np predictor values
 *   next np  sum of each predictor over the M wards
 *   next     distribution code (1 lognormal, 2 normal, anything else negative binomial)
 *   1000     evaluation counter, incremented by every FUNCT1 call
 *
 * model_reals: per position k = 1..np+2 the four entries value, scale c, lower, upper
 * at 4(k-1)+1..4(k-1)+4; then the fixed total T (0 or less: no fixed total).
 * Position 1 is the intercept, 1+j the coefficient of predictor j, np+2 the extra
 * parameter of the error distribution.
 */
#ifndef VALDMORA_MODELLIB_H
#define VALDMORA_MODELLIB_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64) && defined(VALDMORA_BUILDING_MODELLIB)
/* the 32-bit DLL's .def file names its exports, without the decorated __stdcall names */
#  define VALDMORA_API
#elif defined(_WIN32)
#  if defined(VALDMORA_BUILDING_MODELLIB)
#    define VALDMORA_API __declspec(dllexport)
#  else
#    define VALDMORA_API __declspec(dllimport)
#  endif
#else
#  define VALDMORA_API __attribute__((visibility("default")))
#endif

/* The four original entries are __stdcall in 32-bit Windows, as the callers written for
 * them (Office macros among them) expect; elsewhere the one convention of the machine. */
#if defined(_WIN32) && !defined(_WIN64)
#  define VALDMORA_ORIGINAL __stdcall
#else
#  define VALDMORA_ORIGINAL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Size limits of the packed model data. */
#define VALDMORA_MODEL_INTS 1000
#define VALDMORA_MAX_RECORDS 99
#define VALDMORA_MAX_PREDICTORS 4
#define VALDMORA_MAX_FREE 11

/* Failure codes of N_E04JYF (argument 13).
 * 0 and 5 are a usable fit; every other code is a failed fit. With n = 0 and valid
 * model data the code comes back exactly as it was passed. */
#define VALDMORA_FIT_OK 0            /* optimum found and confirmed by a derivative-free
                                        restart */
#define VALDMORA_FIT_BAD_ARGS 1      /* invalid arguments: n outside 0..11, bounds mode
                                        outside 0..3, lower bound above upper bound,
                                        model data that would overrun the tables
                                        (np > 4, nobs > 99, position outside 1..np+2),
                                        a missing argument. Nothing was evaluated. */
#define VALDMORA_FIT_EVAL_LIMIT 2    /* evaluation limit reached without convergence;
                                        the best point found is returned */
#define VALDMORA_FIT_START_NOT_FINITE 3 /* objective infinite or NaN at the start point
                                        (e.g. a lognormal count below 1); the start
                                        point is returned unchanged */
#define VALDMORA_FIT_FAILED 4        /* the minimizer itself failed; best point returned */
#define VALDMORA_FIT_UNCONFIRMED 5   /* a point was found but could not be confirmed,
                                        e.g. the search was limited by roundoff */
#define VALDMORA_FIT_NO_MEMORY 6     /* size-free entries only: the library could not
                                        finish (memory it needed could not be had); the
                                        start point is returned unchanged and *f is NaN.
                                        N_E04JYF reports the same as VALDMORA_FIT_FAILED.
                                        No entry lets an exception reach its caller. */

/* Minimise FUNCT1 over the n free variables within bounds. The caller supplies no
 * derivatives: the search uses the likelihood's own gradient, and each evaluation of value
 * and gradient adds 1 to model_ints entry 1000.
 * n = 0 evaluates FUNCT1 once at the values held in model_reals.
 * ibound: 0 individual bounds bl[i]..bu[i]; 1 no bounds; 2 all variables >= 0;
 * 3 every variable within bl[0]..bu[0].
 * The integer and real workspaces (iw/liw, w/lw) are accepted and not touched. */
VALDMORA_API void VALDMORA_ORIGINAL N_E04JYF(int32_t *n, int32_t *ibound, double *bl, double *bu, double *x,
                           double *f, int32_t *iw, int32_t *liw, double *w, int32_t *lw,
                           int32_t *model_ints, double *model_reals, int32_t *ifail);

/* One objective evaluation: fc = -LOGLIK at the parameters given by the variables xc
 * (divided by their scale factors) and the fixed values in model_reals, with the
 * fixed-total rule applied when T > 0. Adds 1 to model_ints entry 1000.
 * Model data that would overrun the tables gives fc = NaN. */
VALDMORA_API void VALDMORA_ORIGINAL FUNCT1(int32_t *n, double *xc, double *fc, int32_t *model_ints,
                         double *model_reals);

/* Log likelihood of nobs count records y under distribution code dist.
 * x is the predictor table, column length 99, np columns, column after column.
 * The normal and lognormal values carry no -ln(2 pi)/2 constant.
 * A lognormal count below 1 gives -infinity; nobs outside 0..99 or np outside 0..4
 * gives NaN without reading the tables. */
VALDMORA_API double VALDMORA_ORIGINAL LOGLIK(int32_t *nobs, int32_t *np, int32_t *y, int32_t *x, double *b0,
                           double *beta, double *e, int32_t *dist);

/* ln C(a, k) for real a: the sum over i = 0..k-1 of ln(a - i) - ln(k - i); 0 for k < 1. */
VALDMORA_API double VALDMORA_ORIGINAL RLOGCOMBIN(double *a, int32_t *k);

/* ---- The size-free interface ----------------------------------------------------------
 *
 * The same likelihood, the same search and the same failure codes as N_E04JYF and FUNCT1,
 * for any number of count records. Predictor values and their sums are taken as given
 * (the 99-record entries hold them as whole numbers); counts are whole numbers. The library
 * only reads the arrays of a valdmora_model and writes only the outputs named below; a
 * model may be shared by calls running at once in different threads.
 *
 * Parameter positions are those of the packed data: 1 the intercept, 1 + j the slope of
 * predictor j, np + 2 the extra parameter. Optimizer variable i is c * value of the
 * parameter at position free_pos[i], c its scale factor. */
typedef struct valdmora_model {
    int64_t nobs;          /* number of count records, 0 or more */
    int32_t np;            /* number of predictors, 0..4 */
    int32_t dist;          /* distribution code: 1 lognormal, 2 normal, 3 negative
                              binomial; any other code is refused (VALDMORA_FIT_BAD_ARGS,
                              or NaN), unlike the original entries, which read it as the
                              negative binomial */
    const int32_t *y;      /* the nobs counts */
    const double *x;       /* predictor values, column after column: predictor j (from 0) of
                              record i (from 0) at x[i + nobs * j] */
    const double *x_sum;   /* np sums of each predictor over the M wards a fixed total is
                              spread over; may be NULL when fixed_total <= 0 */
    double wards;          /* M */
    const double *value;   /* np + 2 parameter values by position; a parameter that is not
                              free keeps its value here */
    const double *scale;   /* np + 2 scale factors c */
    double fixed_total;    /* T: above 0 the intercept becomes (T - sum_j x_sum[j] beta_j) / M
                              and its own value has no effect; 0 or less: no fixed total */
} valdmora_model;

/* -log likelihood at the model's values with the n variables x placed at the positions
 * free_pos[0..n) (divided by their scale factors), the fixed-total rule applied.
 * A lognormal count below 1 gives +infinity; a model or positions that cannot be used
 * give NaN. */
VALDMORA_API double VALDMORA_OBJECTIVE(const valdmora_model *model, int32_t n, const int32_t *free_pos,
                                       const double *x);

/* Minimises VALDMORA_OBJECTIVE over the n variables x[0..n) within lower[i] <= x[i] <=
 * upper[i], from the start point held in x; on return x holds the best point and *f the
 * objective there. *evaluations (may be NULL) receives the number of evaluations, each of
 * value and gradient counting once, the final one of *f included. n = 0 evaluates once and
 * returns VALDMORA_FIT_OK. Returns a failure code of N_E04JYF: 0 and 5 a usable fit,
 * VALDMORA_FIT_BAD_ARGS (nothing evaluated) for n outside 0..11, a position outside
 * 1..np+2, a NaN bound, a lower bound above its upper bound, a start that is not finite,
 * or a model that cannot be used (np outside 0..4, nobs below 0, a distribution code other
 * than 1, 2 or 3, a missing array); VALDMORA_FIT_NO_MEMORY when it cannot finish. */
VALDMORA_API int32_t VALDMORA_FIT(const valdmora_model *model, int32_t n, const int32_t *free_pos,
                                  const double *lower, const double *upper, double *x, double *f,
                                  int64_t *evaluations);

/* The gradient search of VALDMORA_FIT alone, without the derivative-free restart that
 * confirms its result: for many refits from points already near their optima, where the
 * caller compares them and confirms the one it keeps with VALDMORA_FIT. The same arguments
 * and codes, except that a search that stops normally returns VALDMORA_FIT_UNCONFIRMED and
 * one whose line search stalls VALDMORA_FIT_FAILED (its best point returned). */
VALDMORA_API int32_t VALDMORA_SEARCH(const valdmora_model *model, int32_t n, const int32_t *free_pos,
                                     const double *lower, const double *upper, double *x, double *f,
                                     int64_t *evaluations);

/* The exact second derivatives of VALDMORA_OBJECTIVE in the n variables x[0..n) placed at
 * free_pos[0..n), for the observed information matrix: hessian[u + n * v] receives
 * d2f / dx_u dx_v (symmetric, n * n entries). *f (may be NULL, which saves an evaluation)
 * receives the objective and gradient[0..n) (may be NULL) its gradient, both as
 * VALDMORA_OBJECTIVE and VALDMORA_FIT have them. Returns VALDMORA_FIT_OK; VALDMORA_FIT_START_NOT_FINITE where the likelihood
 * or a derivative is not finite there (e.g. a lognormal count below 1); VALDMORA_FIT_BAD_ARGS
 * (nothing written) for n outside 1..np+2, a position outside 1..np+2 or given twice, a
 * value that is not finite, a missing array or a model that cannot be used;
 * VALDMORA_FIT_NO_MEMORY when it cannot finish. */
VALDMORA_API int32_t VALDMORA_HESSIAN(const valdmora_model *model, int32_t n, const int32_t *free_pos,
                                      const double *x, double *f, double *gradient, double *hessian);

/* Log likelihood of nobs count records: predictor j (from 0) of record i at x[i + ldx * j],
 * ldx >= nobs. The normal and lognormal values carry no -ln(2 pi)/2 constant; a lognormal
 * count below 1 gives -infinity; sizes that cannot be used, or a distribution code other
 * than 1, 2 or 3, give NaN. */
VALDMORA_API double VALDMORA_LOGLIK(int64_t nobs, int32_t np, const int32_t *y, const double *x, int64_t ldx,
                                    double b0, const double *beta, double e, int32_t dist);

#ifdef __cplusplus
}
#endif

#endif
