#include "power_cut.hpp"

#include "native_path.hpp"
#include "platform/backend.hpp"
#include "support/fault_binding.hpp"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kp::power_cut {

namespace fs = std::filesystem;

namespace {

// A deleted tree, parents first: each item's path and, for a file, what a cut brings back.
using Items = std::vector<std::pair<fs::path, std::optional<std::string>>>;

struct NameChange {
    fs::path path;              // made, the new name of a rename, or deleted
    fs::path renamed_from = {}; // empty for a name made or deleted
    Items deleted = {};         // as NTFS journals deletions too (Windows durability only)
};

bool windows = false;
std::map<std::uintptr_t, fs::path> open_files;
std::map<fs::path, long> unflushed_files; // path -> when last written
std::map<fs::path, long> written_out;     // path -> when written out without a device flush
std::vector<NameChange> unflushed_names;  // oldest first
long writes = 0;

fs::path native(const std::u16string& path) {
    return posix::to_native_path(path);
}

bool is_under(const fs::path& path, const fs::path& root) {
    const auto [end, _] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return end == root.end();
}

void written(const fs::path& path) {
    unflushed_files[path] = ++writes;
}

// A full flush on Windows: the device's cache flush makes every file written out before it
// durable, and NTFS commits its whole journal of names up to it.
void full_flush() {
    std::erase_if(unflushed_files, [](const auto& item) {
        const auto out = written_out.find(item.first);
        return out != written_out.end() && out->second >= item.second;
    });
    written_out.clear();
    unflushed_names.clear();
}

void name_made(const fs::path& path, bool existed) {
    if (!existed)
        unflushed_names.push_back({path, {}});
}

// Names under a renamed directory move with it.
fs::path moved(const fs::path& path, const fs::path& from, const fs::path& to) {
    return is_under(path, from) ? to / path.lexically_relative(from) : path;
}

void renamed(const fs::path& from, const fs::path& to) {
    for (auto* tracked : {&unflushed_files, &written_out}) {
        std::map<fs::path, long> files;
        for (const auto& [path, when] : *tracked)
            files[moved(path, from, to)] = when;
        *tracked = std::move(files);
    }
    for (auto& [raw, path] : open_files)
        path = moved(path, from, to);
    // Older name changes keep their names: they are undone after this rename is.
    unflushed_names.push_back({to, from});
}

// What a cut on NTFS brings back of a tree about to be deleted while names are unflushed.
Items deleting(const fs::path& root) {
    Items items;
    if (!windows || unflushed_names.empty())
        return items;
    const auto keep = [&](const fs::path& path) {
        std::error_code error;
        if (!fs::is_regular_file(fs::symlink_status(path, error)))
            return items.push_back({path, std::nullopt});
        std::ifstream in(path, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        items.push_back({path, unflushed_files.contains(path) ? std::string(data.size(), '\0') : data});
    };
    std::error_code error;
    if (fs::exists(fs::symlink_status(root, error)))
        keep(root);
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error))
        keep(it->path());
    return items;
}

void deleted(const fs::path& root, Items items) {
    for (auto* tracked : {&unflushed_files, &written_out})
        std::erase_if(*tracked, [&](const auto& item) { return is_under(item.first, root); });
    if (!items.empty())
        unflushed_names.push_back({root, {}, std::move(items)});
}

void names_flushed(const fs::path& directory, bool below_too) {
    std::erase_if(unflushed_names, [&](const NameChange& change) {
        const bool in = change.path.parent_path() == directory ||
                        (below_too && is_under(change.path.parent_path(), directory));
        const bool source_in = change.renamed_from.empty() ||
                               change.renamed_from.parent_path() == directory ||
                               (below_too && is_under(change.renamed_from.parent_path(), directory));
        return in && source_in;
    });
}

struct Stamp {
    ino_t inode;
    timespec modified;
};

std::map<fs::path, Stamp> snapshot(const fs::path& root) {
    std::map<fs::path, Stamp> items;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) == 0)
            items[it->path()] = {info.st_ino, info.st_mtim};
    }
    return items;
}

// The extraction writes through the archive library, not the seam: what it made or replaced is
// found by comparing the destination before and after.
void extracted(const std::map<fs::path, Stamp>& before, const fs::path& root) {
    for (const auto& [path, after] : snapshot(root)) {
        const auto old = before.find(path);
        const bool same = old != before.end() && old->second.inode == after.inode &&
                          old->second.modified.tv_sec == after.modified.tv_sec &&
                          old->second.modified.tv_nsec == after.modified.tv_nsec;
        if (same)
            continue;
        if (old == before.end() || old->second.inode != after.inode)
            unflushed_names.push_back({path, {}});
        if (fs::is_regular_file(fs::symlink_status(path)))
            written(path);
    }
}

template <typename Hook, typename Call> void wrap(Hook& hook, Call call) {
    hook = [previous = hook, call](auto&&... arguments) { return call(previous, arguments...); };
}

// The hook's previous behaviour: the hook set before tracking, or the backend.
#define KP_PREVIOUS(name, ...) (previous ? previous(__VA_ARGS__) : backend::name(__VA_ARGS__))

// A file another program wrote, written out for the next full flush (it needs write access).
bool write_out_as_windows(const std::u16string& path) {
    const int fd = ::open(native(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0 && ::close(fd) == 0)
        written_out[native(path)] = writes;
    return fd >= 0;
}

} // namespace

void track(bool skip_flushes, bool windows_durability) {
    windows = windows_durability;
    wrap(fault::create_file_for_writing, [](auto& previous, const std::u16string& path) {
        const bool existed = fs::exists(fs::symlink_status(native(path)));
        FileHandle file = KP_PREVIOUS(create_file_for_writing, path);
        if (file) {
            open_files[file.raw()] = native(path);
            written(native(path));
            name_made(native(path), existed);
        }
        return file;
    });
    wrap(fault::write_file, [](auto& previous, const FileHandle& file, const void* buffer, std::uint32_t size,
                               std::uint32_t& done) {
        const bool ok = KP_PREVIOUS(write_file, file, buffer, size, done);
        if (const auto it = open_files.find(file.raw()); it != open_files.end())
            written(it->second);
        return ok;
    });
    wrap(fault::close_handle, [](auto& previous, HandleKind kind, std::uintptr_t raw) {
        if (kind == HandleKind::file)
            open_files.erase(raw);
        KP_PREVIOUS(close_handle, kind, raw);
    });
    wrap(fault::create_directory, [](auto& previous, const std::u16string& path) {
        const bool made = KP_PREVIOUS(create_directory, path);
        if (made)
            name_made(native(path), false);
        return made;
    });
    wrap(fault::move_path, [](auto& previous, const std::u16string& from, const std::u16string& to) {
        const MoveResult result = KP_PREVIOUS(move_path, from, to);
        if (result == MoveResult::moved)
            renamed(native(from), native(to));
        return result;
    });
    wrap(fault::delete_file, [](auto& previous, const std::u16string& path) {
        Items items = deleting(native(path));
        const bool ok = KP_PREVIOUS(delete_file, path);
        if (ok)
            deleted(native(path), std::move(items));
        return ok;
    });
    wrap(fault::shell_delete, [](auto& previous, const std::u16string& path) {
        Items items = deleting(native(path));
        KP_PREVIOUS(shell_delete, path);
        if (!fs::exists(fs::symlink_status(native(path))))
            deleted(native(path), std::move(items));
    });
    wrap(fault::shell_extract_zip, [](auto& previous, const std::u16string& zip, const std::u16string& to) {
        const auto before = snapshot(native(to));
        const bool requested = KP_PREVIOUS(shell_extract_zip, zip, to);
        extracted(before, native(to));
        return requested;
    });

    // Flushes. On POSIX start_flush promises nothing until a flush_tree above the file. As on
    // Windows, each file is written out without the device flush (start_flush and
    // flush_existing_file), and survives a cut only once a full flush (flush_tree, or flush_file
    // of any file) has followed; directory flushes do nothing there.
    wrap(fault::start_flush, [](auto& previous, const FileHandle& file, std::uint64_t size) {
        const bool ok = KP_PREVIOUS(start_flush, file, size);
        if (const auto it = open_files.find(file.raw()); ok && windows && it != open_files.end())
            written_out[it->second] = writes;
        return ok;
    });
    wrap(fault::flush_file, [](auto& previous, const FileHandle& file) {
        const bool ok = KP_PREVIOUS(flush_file, file);
        if (const auto it = open_files.find(file.raw()); ok && it != open_files.end())
            unflushed_files.erase(it->second);
        if (ok && windows)
            full_flush();
        return ok;
    });
    wrap(fault::flush_directory, [](auto& previous, const std::u16string& directory) {
        if (windows)
            return true;
        const bool ok = KP_PREVIOUS(flush_directory, directory);
        if (ok)
            names_flushed(native(directory), false);
        return ok;
    });
    wrap(fault::flush_existing_file, [](auto& previous, const std::u16string& path) {
        return windows ? write_out_as_windows(path) : KP_PREVIOUS(flush_existing_file, path);
    });
    wrap(fault::flush_tree, [](auto& previous, const std::u16string& directory) {
        if (windows) {
            full_flush();
            return true;
        }
        const bool ok = KP_PREVIOUS(flush_tree, directory);
        if (ok) {
            std::erase_if(unflushed_files,
                          [&](const auto& item) { return is_under(item.first, native(directory)); });
            names_flushed(native(directory), true);
        }
        return ok;
    });
    if (skip_flushes) {
        fault::start_flush = [](const FileHandle&, std::uint64_t) { return true; };
        fault::flush_file = [](const FileHandle&) { return true; };
        fault::flush_directory = fault::flush_existing_file =
            fault::flush_tree = [](const std::u16string&) { return true; };
    }
}

void apply(Cut cut) {
    if (cut == Cut::none)
        return;
    long last = 0;
    for (const auto& [path, when] : unflushed_files)
        last = std::max(last, when);
    for (const auto& [path, when] : unflushed_files) {
        std::error_code error;
        if (!fs::is_regular_file(fs::symlink_status(path, error)))
            continue;
        if (cut == Cut::ext4 && when != last)
            fs::resize_file(path, 0, error);
        if (cut == Cut::ntfs) {
            const auto size = fs::file_size(path, error);
            std::ofstream(path, std::ios::binary | std::ios::in) << std::string(error ? 0 : size, '\0');
        }
    }
    if (cut != Cut::ntfs)
        return;
    for (auto change = unflushed_names.rbegin(); change != unflushed_names.rend(); ++change) {
        std::error_code error;
        if (!change->deleted.empty()) {
            for (const auto& [path, data] : change->deleted)
                if (!data)
                    fs::create_directories(path, error);
                else
                    std::ofstream(path, std::ios::binary) << *data;
        } else if (change->renamed_from.empty())
            fs::remove_all(change->path, error);
        else if (fs::exists(change->path, error) && !fs::exists(change->renamed_from, error))
            fs::rename(change->path, change->renamed_from, error);
    }
}

} // namespace kp::power_cut
