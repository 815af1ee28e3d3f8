#include "common/text.hpp"

namespace kp {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

void append_utf16(std::u16string& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out += static_cast<char16_t>(code_point);
    } else {
        code_point -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (code_point >> 10));
        out += static_cast<char16_t>(0xDC00 | (code_point & 0x3FF));
    }
}

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Decodes one UTF-8 sequence at text[i], advancing i; malformed input yields U+FFFD.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80)
        return lead;
    int length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0)
        return replacement_character;
    char32_t code_point = lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            return replacement_character;
        code_point = (code_point << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    }
    const bool overlong = (length == 3 && code_point < 0x800) || (length == 4 && code_point < 0x10000);
    if (overlong || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
        return replacement_character;
    return code_point;
}

} // namespace

std::string utf16_to_utf8(std::u16string_view text) {
    // Paths are mostly ASCII: that prefix is copied unit for unit, without growth checks.
    std::string out(text.size(), '\0');
    std::size_t ascii = 0;
    for (; ascii < text.size() && text[ascii] < 0x80; ++ascii)
        out[ascii] = static_cast<char>(text[ascii]);
    out.resize(ascii);
    for (std::size_t i = ascii; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            unit = replacement_character;
        }
        append_utf8(out, unit);
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
        append_utf16(out, decode_utf8(text, i));
    return out;
}

Bytes utf16le_bytes(std::u16string_view text) {
    Bytes bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

std::u16string decimal_text(std::uint64_t value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

} // namespace kp
