#include "common/device_names.hpp"

#include "common/text.hpp"

namespace kp {

namespace {

bool is_device_digit(char16_t unit) {
    return (unit >= u'1' && unit <= u'9') || unit == u'\u00B9' || unit == u'\u00B2' || unit == u'\u00B3';
}

bool equals_ignoring_ascii_case(std::u16string_view text, std::u16string_view upper) {
    if (text.size() != upper.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_upper(text[i]) != upper[i])
            return false;
    }
    return true;
}

bool is_device_name(std::u16string_view component) {
    if (component.size() < 3)
        return false;
    component = component.substr(0, component.find(u'.'));
    while (!component.empty() && component.back() == u' ')
        component.remove_suffix(1);
    switch (component.size()) {
    case 3:
        return equals_ignoring_ascii_case(component, u"CON") ||
               equals_ignoring_ascii_case(component, u"PRN") ||
               equals_ignoring_ascii_case(component, u"AUX") || equals_ignoring_ascii_case(component, u"NUL");
    case 4: {
        const std::u16string_view stem = component.substr(0, 3);
        return (equals_ignoring_ascii_case(stem, u"COM") || equals_ignoring_ascii_case(stem, u"LPT")) &&
               is_device_digit(component[3]);
    }
    case 6:
        return equals_ignoring_ascii_case(component, u"CONIN$");
    case 7:
        return equals_ignoring_ascii_case(component, u"CONOUT$");
    default:
        return false;
    }
}

} // namespace

// Both separators are separators to the file system on each target, and the system's path ends
// at the first zero unit.
bool names_a_device(std::u16string_view name) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        const bool end = i == name.size() || name[i] == u'\0';
        if (end || name[i] == u'\\' || name[i] == u'/') {
            if (is_device_name(name.substr(start, i - start)))
                return true;
            if (end)
                break;
            start = i + 1;
        }
    }
    return false;
}

} // namespace kp
