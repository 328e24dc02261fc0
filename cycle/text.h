// SPDX-License-Identifier: GPL-3.0-or-later
// Text as files bring it: UTF-8 or Latin-1 (as Windows writes it), and safe to quote in a message.
#pragma once

#include <string>
#include <string_view>

namespace valdmora {

bool valid_utf8(std::string_view text);

// Each byte taken as a Windows-1252 character (Latin-1 with typographic characters such as
// ’ and € where Latin-1 has controls), written as UTF-8.
std::string windows1252_to_utf8(std::string_view text);

// The text as UTF-8: unchanged when it is valid UTF-8, else read as Windows-1252.
std::string as_utf8(std::string_view text);

// The text for a message: control characters shown as \xNN or \u00NN (never sent raw to a terminal
// or a message box), cut to about max_chars characters with an ellipsis.
std::string printable(std::string_view text, std::size_t max_chars = 60);

// The text with A-Z made a-z and every other byte kept, whatever the C library's locale
// says: names compared without regard to letter case.
std::string ascii_lower(std::string_view text);

}  // namespace valdmora
