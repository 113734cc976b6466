// Quoting of caller-supplied names in messages.
#pragma once

#include <string>
#include <string_view>

namespace tenvira {

// Writes `text` (UTF-8) between double quotes with the escapes of the
// unknown-name messages: \" \\ \t \r \n \0, and \u{hex} for every other
// character that is not printable. Bytes that are not UTF-8 show as
// \u{fffd}.
std::string quote_text(std::string_view text);

// Whether a code point appears unescaped in quoted text. Printable means what
// Python's str.isprintable() accepts (Unicode 14.0, as in CPython 3.11),
// except that combining marks (categories Mn, Mc, Me) are escaped too, since
// they would attach to the quote or the previous character.
bool is_printable_code_point(char32_t cp) noexcept;

}  // namespace tenvira
