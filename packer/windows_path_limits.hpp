// Whether Windows can create a path the launcher makes from a name kpack writes, on every
// machine: under the longest install folder a user name allows. Lengths count UTF-16 units of
// the whole path, as Windows does.
#pragma once

#include "build_config.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace kp::pack {

// "C:\Users\" + a user name of at most 20 characters (the most Windows lets a local account have)
// + "\AppData\Local\" + the install folder's name: the longest install folder a user can have.
inline constexpr std::size_t LONGEST_INSTALL_FOLDER_UNITS =
    std::u16string_view(u"C:\\Users\\").size() + 20 + std::u16string_view(u"\\AppData\\Local\\").size() +
    INSTALL_FOLDER_NAME.size();

// MAX_PATH less its terminating zero.
inline constexpr std::size_t LONGEST_FILE_PATH_UNITS = 259;
// CreateDirectoryW keeps 12 units of MAX_PATH for an 8.3 file name inside the new folder; both the
// tool unpacker and the shell create folders with it.
inline constexpr std::size_t LONGEST_FOLDER_PATH_UNITS = 247;

// Where a name's path begins: tool package entries unpack under the staging directory (\ai.new),
// the application archive's entries under the install folder itself.
enum class PathBase { staging_directory, install_folder };

// The longest path Windows must create for the entry: the file's, or a folder's when its own
// folder path is over the folder limit. name is relative, '\' or '/' separated; a folder entry
// may end in a separator.
struct PathLength {
    std::size_t units = 0; // of the path that is too long, or of the file's path when none is
    bool folder = false;   // the path that is too long is a folder's
    bool fits = true;
};
PathLength windows_path_length(std::u16string_view name, bool is_folder, PathBase base);

// One phrase saying which path is too long and by how much; empty when every path fits.
std::string windows_path_problem(std::u16string_view name, bool is_folder, PathBase base);

} // namespace kp::pack
