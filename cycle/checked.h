// SPDX-License-Identifier: GPL-3.0-or-later
// Fixed-range arrays and 16-bit counters that refuse to go wrong quietly: an index
// outside the range, or arithmetic that leaves 16 bits, raises a UserError.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "user_error.h"

namespace valdmora {

[[noreturn]] inline void index_error(const char* name, long index, long lo, long hi) {
    throw UserError(std::string("internal limit exceeded: ") + name + "(" + std::to_string(index) +
                    ") is outside its range " + std::to_string(lo) + " to " + std::to_string(hi) + ".");
}

// Elements Lo..Hi, all zero (or empty) at the start.
template <class T, int Lo, int Hi>
class FixedArray {
public:
    static constexpr int lower = Lo;
    static constexpr int upper = Hi;

    explicit FixedArray(const char* name = "array") : name_(name) {}

    T& operator()(long i) { return data_[offset(i)]; }
    const T& operator()(long i) const { return data_[offset(i)]; }
    // First element, for handing the whole array on by address.
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }

    bool operator==(const FixedArray& o) const { return data_ == o.data_; }

private:
    std::size_t offset(long i) const {
        if (i < Lo || i > Hi) index_error(name_, i, Lo, Hi);
        return static_cast<std::size_t>(i - Lo);
    }
    const char* name_;
    std::array<T, Hi - Lo + 1> data_{};
};

// Elements (Lo1..Hi1, Lo2..Hi2).
template <class T, int Lo1, int Hi1, int Lo2, int Hi2>
class FixedArray2 {
public:
    explicit FixedArray2(const char* name = "array") : name_(name) {}

    T& operator()(long i, long j) { return data_[offset(i, j)]; }
    const T& operator()(long i, long j) const { return data_[offset(i, j)]; }

    bool operator==(const FixedArray2& o) const { return data_ == o.data_; }

private:
    std::size_t offset(long i, long j) const {
        if (i < Lo1 || i > Hi1) index_error(name_, i, Lo1, Hi1);
        if (j < Lo2 || j > Hi2) index_error(name_, j, Lo2, Hi2);
        return static_cast<std::size_t>((i - Lo1) * (Hi2 - Lo2 + 1) + (j - Lo2));
    }
    const char* name_;
    std::array<T, (Hi1 - Lo1 + 1) * (Hi2 - Lo2 + 1)> data_{};
};

// A whole number narrowed to 16 bits, or an error naming the quantity.
inline int16_t to_int16(long value, const char* what) {
    if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max())
        throw UserError(std::string(what) + " " + std::to_string(value) +
                        " does not fit the 16-bit counter that holds it (at most 32767).");
    return static_cast<int16_t>(value);
}

inline int16_t add16(int16_t a, long b, const char* what) { return to_int16(static_cast<long>(a) + b, what); }

}  // namespace valdmora
