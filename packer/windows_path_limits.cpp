#include "windows_path_limits.hpp"

#include "common/install_layout.hpp"
#include "common/text.hpp"

namespace kp::pack {

namespace {

std::size_t base_units(PathBase base) {
    return LONGEST_INSTALL_FOLDER_UNITS + (base == PathBase::staging_directory ? STAGING_SUFFIX.size() : 0);
}

std::string base_text(PathBase base) {
    return "C:\\Users\\<20-character user name>\\AppData\\Local\\" + utf16_to_utf8(INSTALL_FOLDER_NAME) +
           (base == PathBase::staging_directory ? utf16_to_utf8(STAGING_SUFFIX) : "");
}

bool is_separator(char16_t unit) {
    return unit == u'\\' || unit == u'/';
}

} // namespace

PathLength windows_path_length(std::u16string_view name, bool is_folder, PathBase base) {
    while (!name.empty() && is_separator(name.back()))
        name.remove_suffix(1);
    const std::size_t under = base_units(base) + 1; // the base and the separator after it
    // The deepest folder is the longest: the entry itself for a folder, else its parent.
    std::size_t folder_units = is_folder ? name.size() : 0;
    if (!is_folder) {
        const std::size_t last = name.find_last_of(u"\\/");
        folder_units = last == std::u16string_view::npos ? 0 : last;
    }
    if (folder_units != 0 && under + folder_units > LONGEST_FOLDER_PATH_UNITS)
        return {under + folder_units, true, false};
    if (!is_folder && under + name.size() > LONGEST_FILE_PATH_UNITS)
        return {under + name.size(), false, false};
    return {under + name.size(), is_folder, true};
}

std::string windows_path_problem(std::u16string_view name, bool is_folder, PathBase base) {
    const PathLength length = windows_path_length(name, is_folder, base);
    if (length.fits)
        return {};
    const std::string kind = length.folder ? "folder" : "file";
    return "its " + kind + " path is " + std::to_string(length.units) + " UTF-16 units long under " +
           base_text(base) + "; Windows creates " + kind + " paths of at most " +
           std::to_string(length.folder ? LONGEST_FOLDER_PATH_UNITS : LONGEST_FILE_PATH_UNITS);
}

} // namespace kp::pack
