// The one exception type for failures a user can act on. The window catches it at the
// handler boundary, shows the message and leaves its state as it was.
#pragma once

#include <stdexcept>
#include <string>

namespace valdmora {

class UserError : public std::runtime_error {
public:
    // title: a short headline for the message box; detail: optional longer text.
    explicit UserError(const std::string& message, std::string title = "valdmora",
                       std::string detail = {})
        : std::runtime_error(message), title_(std::move(title)), detail_(std::move(detail)) {}

    const std::string& title() const { return title_; }
    const std::string& detail() const { return detail_; }

private:
    std::string title_;
    std::string detail_;
};

}  // namespace valdmora
