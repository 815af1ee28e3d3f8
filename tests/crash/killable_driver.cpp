// A driver (drivers/kp_refresh_tools.cpp or kp_install_payload.cpp, linked in) with every seam
// call numbered, for the crash sweeps. Test only: built with the fault binding, never shipped.
// Set in the environment:
//   KP_KILL_AT_SEAM_CALL=N  the process kills itself with SIGKILL just before seam call N;
//   KP_POWER_CUT=ext4|ntfs  the disk first loses what was not flushed, as that file system does;
//   KP_SKIP_FLUSHES=1       the flush calls do nothing: the sweep must then fail;
//   KP_DURABILITY=windows   the flushes behave as the Windows backend's (below);
//   KP_BUSY_RENAMES=N       each rename fails as busy (a virus scanner holding a file under it) for
//                           its first N tries, so that kills also fall inside the retry loops.
// Power cuts are simulated the way a journaling file system loses data: the driver tracks, for
// every file it writes, whether its data was flushed since its last write, and every name made,
// renamed or deleted since its directory was last flushed. A cut on ext4 empties every unflushed
// file but the last one written and keeps the names; a cut on NTFS zero-fills unflushed files to
// their length and undoes unflushed name changes, newest first. Flushed as on Windows,
// start_flush and flush_existing_file only write a file out, which survives a cut once a full
// flush (flush_tree, or flush_file of any file) has followed; a full flush also commits every
// name change before it, as NTFS's journal does, and a deletion is journalled too (a cut brings
// back what it removed); directory flushes do nothing.
#include "native_path.hpp"
#include "platform/backend.hpp"
#include "support/fault_binding.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace kp {
namespace {

namespace fs = std::filesystem;

std::string_view setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

const bool windows = setting("KP_DURABILITY") == "windows";

// A deleted tree, parents first: each item's path and, for a file, what a cut brings back.
using Items = std::vector<std::pair<fs::path, std::optional<std::string>>>;

struct NameChange {
    fs::path path;              // made, the new name of a rename, or deleted
    fs::path renamed_from = {}; // empty for a name made or deleted
    Items deleted = {};         // as NTFS journals deletions too (Windows durability only)
};

struct Unflushed {
    long written;         // when last written
    long written_out = 0; // when last written out without a device flush (Windows durability)
};

std::map<std::uintptr_t, fs::path> open_files;
std::map<fs::path, Unflushed> unflushed_files;
std::vector<NameChange> unflushed_names; // oldest first
long writes = 0;

fs::path native(const std::u16string& path) {
    return posix::to_native_path(path);
}

bool is_under(const fs::path& path, const fs::path& root) {
    const auto [end, _] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return end == root.end();
}

void written(const fs::path& path) {
    unflushed_files[path] = {++writes};
}

void written_out(const fs::path& path) {
    if (const auto it = unflushed_files.find(path); it != unflushed_files.end())
        it->second.written_out = writes;
}

// A full flush on Windows: the device's cache flush makes every file written out since its last
// write durable, and NTFS commits its whole journal of names up to it. It never fails.
bool full_flush() {
    std::erase_if(unflushed_files,
                  [](const auto& item) { return item.second.written_out >= item.second.written; });
    unflushed_names.clear();
    return true;
}

// Names under a renamed directory move with it.
fs::path moved(const fs::path& path, const fs::path& from, const fs::path& to) {
    return is_under(path, from) ? to / path.lexically_relative(from) : path;
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
    std::erase_if(unflushed_files, [&](const auto& item) { return is_under(item.first, root); });
    if (!items.empty())
        unflushed_names.push_back({root, {}, std::move(items)});
}

void names_flushed(const fs::path& directory, bool below_too) {
    const auto in = [&](const fs::path& path) {
        return path.parent_path() == directory || (below_too && is_under(path.parent_path(), directory));
    };
    std::erase_if(unflushed_names, [&](const NameChange& change) {
        return in(change.path) && (change.renamed_from.empty() || in(change.renamed_from));
    });
}

using Stamps = std::map<fs::path, std::tuple<ino_t, time_t, long>>; // inode, last-write time

Stamps snapshot(const fs::path& root) {
    Stamps items;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) == 0)
            items[it->path()] = {info.st_ino, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
    }
    return items;
}

const long kill_at = std::atol(std::string(setting("KP_KILL_AT_SEAM_CALL")).c_str());
long seam_calls = 0;

// Counts a seam call; at the chosen one, leaves the disk as a power cut would, as the tracking
// stands, and dies.
void count_seam_call() {
    if (++seam_calls != kill_at)
        return;
    const std::string_view cut = setting("KP_POWER_CUT");
    long last = 0;
    for (const auto& [path, file] : unflushed_files)
        last = std::max(last, file.written);
    for (const auto& [path, file] : unflushed_files) {
        std::error_code error;
        if (!fs::is_regular_file(fs::symlink_status(path, error)))
            continue;
        if (cut == "ext4" && file.written != last)
            fs::resize_file(path, 0, error);
        if (cut == "ntfs") {
            const auto size = fs::file_size(path, error);
            std::ofstream(path, std::ios::binary | std::ios::in) << std::string(error ? 0 : size, '\0');
        }
    }
    for (auto change = unflushed_names.rbegin(); cut == "ntfs" && change != unflushed_names.rend();
         ++change) {
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
    ::kill(::getpid(), SIGKILL);
}

// Wraps a hook: call gets the hook's previous function and the arguments.
template <typename Hook, typename Call> void wrap(Hook& hook, Call call) {
    hook = [previous = hook, call](auto&&... arguments) { return call(previous, arguments...); };
}

// Set before main runs; the binding's hooks, defined above in this file, are initialised first.
const bool numbered = [] {
#define KP_SEAM(result, name, parameters, arguments)                                                         \
    fault::name = [] parameters -> result {                                                                  \
        count_seam_call();                                                                                   \
        return backend::name arguments;                                                                      \
    };
#include "platform/seam.def"
#undef KP_SEAM
    if (const long busy = std::atol(std::string(setting("KP_BUSY_RENAMES")).c_str()); busy > 0) {
        fault::move_path = [busy, tries = std::map<std::pair<std::u16string, std::u16string>, long>{}](
                               const std::u16string& from, const std::u16string& to) mutable {
            count_seam_call();
            return ++tries[{from, to}] <= busy ? MoveResult::busy : backend::move_path(from, to);
        };
    }
    // Waits take no time: the installation's wait needs its polls and the renames their retries,
    // not real time between them (the POSIX extraction is done when the copy request returns).
    fault::sleep_ms = [](std::uint32_t) { count_seam_call(); };
    // The tracking, around the numbered hooks.
    wrap(fault::create_file_for_writing, [](auto& previous, const std::u16string& path) {
        const bool existed = fs::exists(fs::symlink_status(native(path)));
        FileHandle file = previous(path);
        if (file) {
            open_files[file.raw()] = native(path);
            written(native(path));
            if (!existed)
                unflushed_names.push_back({native(path)});
        }
        return file;
    });
    wrap(fault::write_file, [](auto& previous, const FileHandle& file, const void* buffer, std::uint32_t size,
                               std::uint32_t& done) {
        const bool ok = previous(file, buffer, size, done);
        if (const auto it = open_files.find(file.raw()); it != open_files.end())
            written(it->second);
        return ok;
    });
    wrap(fault::close_handle, [](auto& previous, HandleKind kind, std::uintptr_t raw) {
        if (kind == HandleKind::file)
            open_files.erase(raw);
        previous(kind, raw);
    });
    wrap(fault::create_directory, [](auto& previous, const std::u16string& path) {
        const bool made = previous(path);
        if (made)
            unflushed_names.push_back({native(path)});
        return made;
    });
    wrap(fault::move_path, [](auto& previous, const std::u16string& from, const std::u16string& to) {
        const MoveResult result = previous(from, to);
        if (result != MoveResult::moved)
            return result;
        std::map<fs::path, Unflushed> files;
        for (const auto& [path, file] : unflushed_files)
            files[moved(path, native(from), native(to))] = file;
        unflushed_files = std::move(files);
        for (auto& [raw, path] : open_files)
            path = moved(path, native(from), native(to));
        // Older name changes keep their names: they are undone after this rename is.
        unflushed_names.push_back({native(to), native(from)});
        return result;
    });
    wrap(fault::delete_file, [](auto& previous, const std::u16string& path) {
        Items items = deleting(native(path));
        const bool ok = previous(path);
        if (ok)
            deleted(native(path), std::move(items));
        return ok;
    });
    wrap(fault::shell_delete, [](auto& previous, const std::u16string& path) {
        Items items = deleting(native(path));
        previous(path);
        if (!fs::exists(fs::symlink_status(native(path))))
            deleted(native(path), std::move(items));
    });
    wrap(fault::shell_extract_zip, [](auto& previous, const std::u16string& zip, const std::u16string& to) {
        // The extraction writes through the archive library, not the seam: what it made or replaced
        // is found by comparing the destination before and after.
        const Stamps before = snapshot(native(to));
        const bool requested = previous(zip, to);
        for (const auto& [path, after] : snapshot(native(to))) {
            const auto old = before.find(path);
            if (old != before.end() && old->second == after)
                continue;
            if (old == before.end() || std::get<0>(old->second) != std::get<0>(after))
                unflushed_names.push_back({path});
            if (fs::is_regular_file(fs::symlink_status(path)))
                written(path);
        }
        return requested;
    });
    // Flushes. On POSIX start_flush promises nothing until a flush_tree above the file.
    wrap(fault::start_flush, [](auto& previous, const FileHandle& file, std::uint64_t size) {
        const bool ok = previous(file, size);
        if (const auto it = open_files.find(file.raw()); ok && windows && it != open_files.end())
            written_out(it->second);
        return ok;
    });
    wrap(fault::flush_file, [](auto& previous, const FileHandle& file) {
        const bool ok = previous(file);
        if (const auto it = open_files.find(file.raw()); ok && it != open_files.end())
            unflushed_files.erase(it->second);
        if (ok && windows)
            full_flush();
        return ok;
    });
    wrap(fault::flush_directory, [](auto& previous, const std::u16string& directory) {
        const bool ok = windows || previous(directory);
        if (ok && !windows)
            names_flushed(native(directory), false);
        return ok;
    });
    wrap(fault::flush_existing_file, [](auto& previous, const std::u16string& path) {
        if (!windows)
            return previous(path);
        // A file another program wrote, written out for the next full flush (it needs write access).
        const int fd = ::open(native(path).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && ::close(fd) == 0)
            written_out(native(path));
        return fd >= 0;
    });
    wrap(fault::flush_tree, [](auto& previous, const std::u16string& directory) {
        if (windows)
            return full_flush();
        const bool ok = previous(directory);
        if (ok) {
            std::erase_if(unflushed_files,
                          [&](const auto& item) { return is_under(item.first, native(directory)); });
            names_flushed(native(directory), true);
        }
        return ok;
    });
    if (setting("KP_SKIP_FLUSHES") == "1") {
        fault::start_flush = [](const FileHandle&, std::uint64_t) { return true; };
        fault::flush_file = [](const FileHandle&) { return true; };
        fault::flush_directory = fault::flush_existing_file =
            fault::flush_tree = [](const std::u16string&) { return true; };
    }
    return true;
}();

} // namespace
} // namespace kp
