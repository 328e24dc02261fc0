// Text as files bring it: UTF-8 or Latin-1, and safe to quote in a message.
#pragma once

#include <string>
#include <string_view>

namespace valdmora {

bool valid_utf8(std::string_view text);

// Each byte taken as a Latin-1 character, written as UTF-8.
std::string latin1_to_utf8(std::string_view text);

// The text as UTF-8: unchanged when it is valid UTF-8, else read as Latin-1.
std::string as_utf8(std::string_view text);

// The text for a message: control characters shown as \xNN (never sent raw to a terminal
// or a message box), cut to about max_chars characters with an ellipsis.
std::string printable(std::string_view text, std::size_t max_chars = 60);

}  // namespace valdmora
