// SPDX-License-Identifier: GPL-3.0-or-later
// An estimate's interval of one kind for a test to read: a kind that the estimate does not
// hold at all fails the test (gtest reports the exception) rather than reading through null.
#pragma once

#include <stdexcept>
#include <string>

#include "estimation/estimate.h"

namespace valdmora::testing {

inline const Interval& interval_of(const EstimateResult& e, IntervalKind kind) {
    const Interval* i = e.interval(kind);
    if (!i) throw std::logic_error("the estimate holds no " + std::string(interval_traits(kind).name) + " interval");
    return *i;
}

inline const Available<Limits>& limits_of(const EstimateResult& e, IntervalKind kind) {
    return interval_of(e, kind).limits;
}

}  // namespace valdmora::testing
