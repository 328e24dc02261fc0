// SPDX-License-Identifier: GPL-3.0-or-later
// A result that may be missing: its value, or the reason why there is none. Every output
// unpacks it in one place, so a missing limit always says why.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace valdmora {

template <class T>
class Available {
public:
    // Missing, with the reason (a phrase that follows "not available: ").
    Available() : reason_("not computed") {}
    static Available of(T value) {
        Available a;
        a.value_ = std::move(value);
        a.reason_.clear();
        return a;
    }
    static Available why_not(std::string reason) {
        Available a;
        a.reason_ = std::move(reason);
        return a;
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    // Only where ok(): a missing value read as present is a fault, never a number.
    const T& value() const {
        if (!value_) throw std::logic_error("a missing result was read: " + reason_);
        return *value_;
    }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    // Empty when the value is there.
    const std::string& reason() const { return reason_; }

private:
    std::optional<T> value_;
    std::string reason_;
};

}  // namespace valdmora
