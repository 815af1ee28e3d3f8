#include "native_path.hpp"

#include "common/text.hpp"

#include <algorithm>

namespace kp::posix {

std::string to_native_path(std::u16string_view path) {
    std::string native = utf16_to_utf8(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

std::u16string from_native_path(std::string_view path) {
    std::u16string text = utf8_to_utf16(path);
    std::replace(text.begin(), text.end(), u'/', u'\\');
    return text;
}

} // namespace kp::posix
