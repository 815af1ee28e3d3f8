#include "payload_archive_check.hpp"

#include "payload/zip_directory.hpp"
#include "windows_path_limits.hpp"

#include <map>

namespace kp::pack {

namespace {

// What the central directory does not show; its names were checked by directory_problem.
std::string entry_problem(const ZipEntry& entry) {
    const std::string named = "entry \"" + entry.name + "\" ";
    if (entry.encrypted)
        return named + "is encrypted; the shell cannot unpack it without asking for a password";
    if (entry.type == ZipEntryType::link)
        return named + "is a link; the install would not reproduce it";
    if (entry.type == ZipEntryType::other)
        return named + "is neither a file nor a folder; the install would not reproduce it";
    if (entry.type == ZipEntryType::file && entry.method != "stored" && entry.method != "deflate")
        return named + "is compressed with " + entry.method + "; only stored and deflate unpack everywhere";
    return {};
}

std::string first_component(std::string_view name) {
    return std::string(name.substr(0, name.find('/')));
}

// The first entry whose path under the install folder Windows cannot create.
std::string path_length_problem(const std::vector<ZipDirectoryEntry>& entries) {
    for (const ZipDirectoryEntry& entry : entries)
        if (std::string problem =
                windows_path_problem(utf8_to_utf16(entry.name), entry.folder, PathBase::install_folder);
            !problem.empty())
            return "entry \"" + entry.name + "\" cannot be installed: " + problem;
    return {};
}

} // namespace

std::string directory_problem(const Bytes& archive) {
    const ZipDirectory directory = read_zip_directory(archive.data(), archive.size());
    const std::string named = "entry \"" + directory.problem_entry + "\" ";
    switch (directory.problem) {
    case ZipDirectoryProblem::none:
        return path_length_problem(directory.entries);
    case ZipDirectoryProblem::malformed:
        return "is not a zip archive, or a damaged one: its central directory does not hold together";
    case ZipDirectoryProblem::non_ascii_name_without_utf8_flag:
        return named + "has a non-ASCII name without the zip's UTF-8 flag, so the Windows shell reads it in "
                       "the OEM code page and installs it under another name; give kpack the folder "
                       "instead, which sets the flag";
    case ZipDirectoryProblem::duplicate_name:
        return named + "names the same path as another entry when letter case is ignored, as Windows does "
                       "(or a file where a folder is needed); one would replace the other";
    case ZipDirectoryProblem::device_name:
        return named + "has a name Windows reserves for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, "
                       "with any extension); the shell cannot place it and every launch would install again";
    case ZipDirectoryProblem::unsafe_name:
        break;
    }
    // bsdtar given "." names every entry so; the shell would not place them at the root.
    if (directory.problem_entry.starts_with("./"))
        return named + "starts with \"./\", as an archive made of \".\" names everything, and the "
                       "shell does not place such names at the install folder's root; archive the folder's "
                       "items by name instead of \".\", or give kpack the folder";
    return named + "has a name the shell would place elsewhere or not at all (absolute, \"..\" or \".\", "
                   "a backslash, a drive letter or ':', < > \" | ? *, a control character, or a trailing "
                   "dot or space)";
}

bool has_application_at_root(const std::vector<ZipEntry>& entries) {
    for (const ZipEntry& entry : entries)
        if (entry.type == ZipEntryType::file && entry.name == APPLICATION_NAME)
            return true;
    return false;
}

std::string install_problem(const std::vector<ZipEntry>& entries) {
    for (const ZipEntry& entry : entries)
        if (std::string problem = entry_problem(entry); !problem.empty())
            return problem;
    if (has_application_at_root(entries))
        return {};
    const std::string why =
        "the archive's root holds no kestrin_pad.exe; the launcher would wait 60 seconds for it on every "
        "launch and start nothing";
    for (const ZipEntry& entry : entries)
        if (entry.name.ends_with("/" + std::string(APPLICATION_NAME)))
            return why + " (it is at " + entry.name + ": zip the folder's contents, not the folder)";
    return why;
}

std::vector<RootItem> root_items(const std::vector<ZipEntry>& entries) {
    std::map<std::string, RootItem> items;
    for (const ZipEntry& entry : entries) {
        const bool nested = entry.name.find('/') != std::string::npos;
        const std::string name = first_component(entry.name);
        if (name.empty())
            continue;
        const auto [item, added] = items.try_emplace(name, RootItem{name, nested, 0, 0});
        item->second.folder = item->second.folder || nested || entry.type == ZipEntryType::folder;
        if (entry.type == ZipEntryType::file) {
            item->second.size += entry.size;
            ++item->second.file_count;
        }
    }
    std::vector<RootItem> list;
    for (auto& [name, item] : items)
        list.push_back(std::move(item));
    return list;
}

} // namespace kp::pack
