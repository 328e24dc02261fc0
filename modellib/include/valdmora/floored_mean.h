// SPDX-License-Identifier: GPL-3.0-or-later
/* The mean floor shared by the likelihood and the program's predictions, so that
 * fitted and predicted means agree: h itself from 2 upward, else 1 + 1/(3 - h).
 * The pieces meet at h = 2 with equal value and slope; every mean is above 1. */
#ifndef VALDMORA_FLOORED_MEAN_H
#define VALDMORA_FLOORED_MEAN_H

#ifdef __cplusplus
namespace valdmora {
constexpr double floored_mean(double h) { return h >= 2.0 ? h : 1.0 + 1.0 / (3.0 - h); }
}  // namespace valdmora
#else
static inline double valdmora_floored_mean(double h) { return h >= 2.0 ? h : 1.0 + 1.0 / (3.0 - h); }
#endif

#endif
