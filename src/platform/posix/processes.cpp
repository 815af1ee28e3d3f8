// Processes on POSIX: starting one, and a Windows-shaped view of /proc.
#include "common/text.hpp"
#include "deferred_close.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <memory>

extern char** environ;

namespace kp::posix {

namespace {

constexpr std::size_t image_path_capacity = 0x8000; // units, as QueryFullProcessImageNameW's buffer

bool is_blank(char16_t unit) {
    return unit == u' ' || unit == u'\t';
}

// The first argument ends at the closing quote or the first blank; backslashes are literal.
std::u16string program_argument(std::u16string_view line, std::size_t& i) {
    std::u16string argument;
    if (i < line.size() && line[i] == u'"') {
        const std::size_t close = line.find(u'"', i + 1);
        const std::size_t end = close == std::u16string_view::npos ? line.size() : close;
        argument = line.substr(i + 1, end - i - 1);
        i = close == std::u16string_view::npos ? end : close + 1;
        return argument;
    }
    while (i < line.size() && !is_blank(line[i]))
        argument += line[i++];
    return argument;
}

// Later arguments: 2n backslashes before a quote give n and a quote toggle, 2n+1 give n and a
// literal quote; inside quotes a doubled quote gives one quote and ends the quoted part.
std::u16string next_argument(std::u16string_view line, std::size_t& i) {
    std::u16string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || !is_blank(line[i]))) {
        if (line[i] == u'\\') {
            std::size_t count = 0;
            while (i < line.size() && line[i] == u'\\') {
                ++count;
                ++i;
            }
            const bool before_quote = i < line.size() && line[i] == u'"';
            argument.append(before_quote ? count / 2 : count, u'\\');
            if (before_quote && count % 2 == 1) {
                argument += u'"';
                ++i;
            }
        } else if (line[i] == u'"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                argument += u'"';
                ++i;
            }
            quoted = !quoted;
            ++i;
        } else {
            argument += line[i++];
        }
    }
    return argument;
}

void skip_blanks(std::u16string_view line, std::size_t& i) {
    while (i < line.size() && is_blank(line[i]))
        ++i;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// A point-in-time list of process ids; entries are read as the walk reaches them.
// The calling process comes first, so that finding its own entry (for its parent) costs one
// process's files; /proc is listed only when the walk goes on past it.
struct ProcessSnapshot {
    std::vector<std::uint32_t> ids;
    std::size_t next = 0;
    bool listed = false;
};

ProcessSnapshot& snapshot_of(const SnapshotHandle& snapshot) {
    return *reinterpret_cast<ProcessSnapshot*>(snapshot.raw());
}

bool read_small_file(int directory, const char* name, std::string& content) {
    const int fd = ::openat(directory, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0)
        return false;
    content.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

bool read_link(int directory, const char* name, std::string& target) {
    char buffer[4096];
    const ssize_t n = ::readlinkat(directory, name, buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return false;
    target.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

// The kernel marks the image of a process whose file was removed with " (deleted)"; the process
// still runs from that path, as Windows would report it.
bool read_image_link(int directory, std::string& target) {
    if (!read_link(directory, "exe", target))
        return false;
    constexpr std::string_view mark = " (deleted)";
    struct stat info {};
    if (target.ends_with(mark) && ::lstat(target.c_str(), &info) != 0)
        target.resize(target.size() - mark.size());
    return true;
}

// "pid (comm) state ppid ...": the name may hold spaces and parentheses, so it ends at the last ')'.
bool parse_stat(const std::string& stat, std::string& comm, std::uint32_t& parent_id) {
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 4 > stat.size())
        return false;
    comm = stat.substr(open + 1, close - open - 1);
    char* end = nullptr;
    const unsigned long value = std::strtoul(stat.c_str() + close + 4, &end, 10);
    if (end == stat.c_str() + close + 4)
        return false;
    parent_id = static_cast<std::uint32_t>(value);
    return true;
}

bool read_entry(std::uint32_t process_id, ProcessEntry& entry) {
    const std::string directory_path = "/proc/" + std::to_string(process_id);
    const int directory = ::open(directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return false;
    std::string stat;
    std::string comm;
    std::uint32_t parent_id = 0;
    const bool ok = read_small_file(directory, "stat", stat) && parse_stat(stat, comm, parent_id);
    std::string exe;
    const bool has_exe = ok && read_image_link(directory, exe);
    ::close(directory);
    if (!ok)
        return false;
    entry.process_id = process_id;
    entry.parent_process_id = parent_id;
    entry.exe_file = utf8_to_utf16(has_exe ? exe.substr(exe.rfind('/') + 1) : comm);
    return true;
}

bool parse_process_id(const char* name, std::uint32_t& id) {
    if (name[0] < '1' || name[0] > '9')
        return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(name, &end, 10);
    if (*end != '\0' || value > 0xFFFFFFFFul)
        return false;
    id = static_cast<std::uint32_t>(value);
    return true;
}

// Adds every other process in /proc; false when /proc cannot be listed.
bool list_other_processes(ProcessSnapshot& snapshot) {
    snapshot.listed = true;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return false;
    const std::uint32_t own_id = snapshot.ids.front();
    while (const dirent* item = ::readdir(proc)) {
        std::uint32_t id = 0;
        if (parse_process_id(item->d_name, id) && id != own_id)
            snapshot.ids.push_back(id);
    }
    ::closedir(proc);
    return true;
}

// Fills the entry from the next process that still exists.
bool fetch_entry(ProcessSnapshot& snapshot, ProcessEntry& entry) {
    for (;;) {
        if (snapshot.next == snapshot.ids.size()) {
            if (snapshot.listed || !list_other_processes(snapshot))
                return false;
            continue;
        }
        if (read_entry(snapshot.ids[snapshot.next++], entry))
            return true;
    }
}

locale_t utf8_ctype_locale() {
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

char16_t upper_unit(char16_t unit) {
    if (unit < 0x80)
        return unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
    const locale_t locale = utf8_ctype_locale();
    if (locale == static_cast<locale_t>(nullptr) || (unit >= 0xD800 && unit <= 0xDFFF))
        return unit;
    const wint_t upper = ::towupper_l(static_cast<wint_t>(unit), locale);
    // A unit whose upper case lies outside the basic plane keeps its own value.
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

} // namespace

bool start_process(const std::u16string& application, const std::u16string& command_line,
                   const std::u16string& current_directory) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    // The first argument names the program: it reaches it in native form, like the path.
    arguments.push_back(to_native_path(program_argument(command_line, i)));
    for (skip_blanks(command_line, i); i < command_line.size(); skip_blanks(command_line, i))
        arguments.push_back(utf16_to_utf8(next_argument(command_line, i)));
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    const std::string directory = to_native_path(current_directory);
    if (!current_directory.empty() &&
        ::posix_spawn_file_actions_addchdir_np(&setup.actions, directory.c_str()) != 0)
        return false;
    // The application starts as Windows starts it, inheriting nothing: only the standard
    // descriptors, a clear signal mask and every signal at its default disposition, whatever
    // the host left open or ignored.
    if (::posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1) != 0)
        return false;
    sigset_t no_signals;
    sigset_t all_signals;
    sigemptyset(&no_signals);
    sigfillset(&all_signals);
    posix_spawnattr_setsigmask(&setup.attributes, &no_signals);
    posix_spawnattr_setsigdefault(&setup.attributes, &all_signals);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    const std::string program = to_native_path(application);
    finish_closing(); // an executable still open for writing somewhere cannot be run

    return ::posix_spawn(&child, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) ==
           0;
}

// A snapshot's order is not defined: the calling process comes first (see ProcessSnapshot).
SnapshotHandle snapshot_processes() {
    std::unique_ptr<ProcessSnapshot> snapshot(new (std::nothrow) ProcessSnapshot);
    if (!snapshot)
        return {};
    snapshot->ids.push_back(static_cast<std::uint32_t>(::getpid()));
    return SnapshotHandle(reinterpret_cast<std::uintptr_t>(snapshot.release()));
}

bool first_process(const SnapshotHandle& snapshot, ProcessEntry& entry) {
    if (!snapshot)
        return false;
    snapshot_of(snapshot).next = 0;
    return fetch_entry(snapshot_of(snapshot), entry);
}

bool next_process(const SnapshotHandle& snapshot, ProcessEntry& entry) {
    return snapshot && fetch_entry(snapshot_of(snapshot), entry);
}

void release_snapshot(std::uintptr_t raw) {
    delete reinterpret_cast<ProcessSnapshot*>(raw);
}

// The process's /proc directory: it stays bound to that process even if its id is reused.
ProcessHandle open_process_for_query(std::uint32_t process_id) {
    const std::string path = "/proc/" + std::to_string(process_id);
    return ProcessHandle(raw_from_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
}

bool query_process_image(const ProcessHandle& process, std::u16string& path) {
    std::string target;
    if (!process || !read_image_link(fd_from_raw(process.raw()), target) || target.empty() ||
        target[0] != '/')
        return false;
    std::u16string image = from_native_path(target);
    if (image.size() >= image_path_capacity)
        return false;
    path = std::move(image);
    return true;
}

// Ordinal comparison with each UTF-16 unit mapped to its simple upper case (C.UTF-8 tables).
bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && upper_unit(a[i]) != upper_unit(b[i]))
            return false;
    }
    return true;
}

} // namespace kp::posix
