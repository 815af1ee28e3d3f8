// UTF-16 text, the system's text type, and its conversions at the edges (command lines, POSIX
// paths, console output).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

using Bytes = std::vector<std::uint8_t>;

// Invalid input (lone surrogates, malformed UTF-8) becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
std::u16string utf8_to_utf16(std::string_view text);

// The code units as UTF-16LE bytes: no byte-order mark, no terminator.
Bytes utf16le_bytes(std::u16string_view text);

// Folds only the ASCII letters a-z; every other unit stays as it is.
inline char16_t ascii_upper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
}

// Unsigned decimal without leading zeros.
std::u16string decimal_text(std::uint64_t value);

} // namespace kp
