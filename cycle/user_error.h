// SPDX-License-Identifier: GPL-3.0-or-later
// The one exception type for failures a user can act on. The window catches it at the
// handler boundary, shows the message and leaves its state as it was.
#pragma once

#include <stdexcept>
#include <string>

namespace valdmora {

// A message for the user: a headline, the message, and a detail line that says where.
// A modal notice asks for the user's attention (a message box in the window); the others
// are shown where they do not interrupt a series of clicks (the window's status bar).
struct Notice {
    std::string title;
    std::string text;
    std::string detail;
    bool modal = true;
};

class UserError : public std::runtime_error {
public:
    explicit UserError(const std::string& message, std::string title = "valdmora", std::string detail = {})
        : std::runtime_error(message), title_(std::move(title)), detail_(std::move(detail)) {}

    const std::string& title() const { return title_; }
    const std::string& detail() const { return detail_; }
    Notice notice() const { return {title_, what(), detail_}; }

private:
    std::string title_;
    std::string detail_;
};

}  // namespace valdmora
