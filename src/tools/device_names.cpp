#include "tools/device_names.hpp"

#include "common/text.hpp"

namespace kp {

namespace {

bool is_device_digit(char16_t unit) {
    return (unit >= u'1' && unit <= u'9') || unit == u'\u00B9' || unit == u'\u00B2' || unit == u'\u00B3';
}

bool is_device_name(std::u16string_view component) {
    component = component.substr(0, component.find(u'.'));
    while (!component.empty() && component.back() == u' ')
        component.remove_suffix(1);
    std::u16string upper(component);
    for (char16_t& unit : upper)
        unit = ascii_upper(unit);
    if (upper == u"CON" || upper == u"PRN" || upper == u"AUX" || upper == u"NUL" || upper == u"CONIN$" ||
        upper == u"CONOUT$")
        return true;
    return upper.size() == 4 && (upper.starts_with(u"COM") || upper.starts_with(u"LPT")) &&
           is_device_digit(upper[3]);
}

} // namespace

// Both separators are separators to the file system on each target, and the system's path ends
// at the first zero unit.
bool names_a_device(std::u16string_view name) {
    name = name.substr(0, name.find(u'\0'));
    while (!name.empty()) {
        const std::size_t end = name.find_first_of(u"\\/");
        if (is_device_name(name.substr(0, end)))
            return true;
        if (end == std::u16string_view::npos)
            break;
        name.remove_prefix(end + 1);
    }
    return false;
}

} // namespace kp
