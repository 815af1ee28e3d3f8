#include "tool_commands.hpp"

#include "kpack_io.hpp"
#include "tool_package_check.hpp"
#include "tool_package_writer.hpp"
#include "tools/sha256_hasher.hpp"
#include "tools/tool_package_format.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <type_traits>
#include <unistd.h>

namespace kp::pack {

namespace {

namespace fs = std::filesystem;

constexpr const char* tools_usage =
    "usage: kpack tools append HOST DIR -o OUT [--replace]\n"
    "       kpack tools inspect FILE\n"
    "\n"
    "append   writes OUT: HOST's bytes, a tool package holding every file under DIR, and the\n"
    "         trailer that locates it. Sign OUT after appending, never before.\n"
    "inspect  shows where FILE's content ends, its tool package trailer and entries, and whether\n"
    "         the package identifier verifies; exits non-zero when it has no valid package\n"
    "\n"
    "'kpack tools append --help' and 'kpack tools inspect --help' tell more.\n";

constexpr const char* append_usage =
    "usage: kpack tools append HOST DIR -o OUT [--replace]\n"
    "\n"
    "Writes OUT (it may be HOST itself): HOST's bytes, then one entry per regular file under DIR\n"
    "(named by its path relative to DIR, backslash separated, each directory's files after its\n"
    "parent directory's files), zero padding, and the 64-byte trailer, ending on an 8-byte\n"
    "boundary so that a signing tool adds its certificate table right after it.\n"
    "\n"
    "  -o OUT      the file to write; it appears only when complete\n"
    "  --replace   HOST already carries a tool package: drop it and append the new one\n"
    "\n"
    "Refused: a HOST that is already signed (sign after appending), a HOST that carries a\n"
    "package without --replace, anything under DIR that is not a regular file or directory, and\n"
    "names the launcher refuses (\"..\", \":\", longer than 1023 UTF-16 units).\n";

constexpr const char* inspect_usage =
    "usage: kpack tools inspect FILE\n"
    "\n"
    "Prints FILE's content end and whether a certificate table follows it, the tool package\n"
    "trailer's fields, each entry's size and name, and whether the package identifier verifies.\n"
    "Exits 0 only when FILE carries a valid package whose identifier verifies.\n";

constexpr std::uint32_t COPY_CHUNK = 4 * 1024 * 1024;
constexpr std::uint64_t PROGRESS_THRESHOLD = 64 * 1024 * 1024;
constexpr std::uint16_t NAME_UNITS_MAX = 1023;

bool is_help(const std::u16string& argument) {
    return argument == u"--help" || argument == u"-h";
}

int usage_error(const char* command, const std::string& problem, const char* usage) {
    std::fprintf(stderr, "kpack tools%s: %s\n%s", command, problem.c_str(), usage);
    return 2;
}

// The code units of a native path string; false when they cannot stand for it exactly (a POSIX
// name that is not valid UTF-8). Windows paths are UTF-16 already.
template <typename Native> bool native_units(const Native& native, std::u16string& units) {
    if constexpr (std::is_same_v<typename Native::value_type, char>) {
        units = utf8_to_utf16(native);
        return utf16_to_utf8(units) == native;
    } else {
        units.assign(native.begin(), native.end());
        return true;
    }
}

bool path_units(const fs::path& path, std::u16string& units) {
    return native_units(path.native(), units);
}

template <typename Native> std::string native_text(const Native& native) {
    if constexpr (std::is_same_v<typename Native::value_type, char>) {
        return native;
    } else {
        return utf16_to_utf8(std::u16string(native.begin(), native.end()));
    }
}

std::string shown(const fs::path& path) {
    return native_text(path.native());
}

int refuse(const fs::path& path, const std::string& problem) {
    std::fprintf(stderr, "kpack: %s: %s\n", shown(path).c_str(), problem.c_str());
    return 1;
}

// The path in the system's form (absolute, backslash separated); false when it has none.
bool system_form(const fs::path& path, std::u16string& text) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error || !path_units(absolute, text))
        return false;
    if constexpr (fs::path::preferred_separator == '/') {
        if (text.find(u'\\') != std::u16string::npos)
            return false;
    }
    std::replace(text.begin(), text.end(), u'/', u'\\');
    return true;
}

std::uint64_t le64_at(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// A bar on stderr while a large package is written or checked, only when stderr is a terminal.
class ProgressBar {
  public:
    ProgressBar(const char* label, std::uint64_t total)
        : label_(label), total_(total), enabled_(total >= PROGRESS_THRESHOLD && isatty(fileno(stderr))) {}
    ~ProgressBar() {
        if (enabled_ && shown_ >= 0)
            std::fputc('\n', stderr);
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::uint64_t done) {
        if (!enabled_ || total_ == 0)
            return;
        const int percent = static_cast<int>(std::min<std::uint64_t>(done, total_) * 100 / total_);
        if (percent == shown_)
            return;
        shown_ = percent;
        char bar[41];
        const int filled = percent * 40 / 100;
        std::memset(bar, '#', static_cast<std::size_t>(filled));
        std::memset(bar + filled, '.', static_cast<std::size_t>(40 - filled));
        bar[40] = '\0';
        std::fprintf(stderr, "\r%s [%s] %3d%%", label_, bar, percent);
        std::fflush(stderr);
    }

  private:
    const char* label_;
    std::uint64_t total_;
    bool enabled_;
    int shown_ = -1;
};

struct SourceFile {
    fs::path path;
    std::u16string name;
    std::uint64_t size = 0;
};

struct Refusal {
    fs::path path;
    std::string problem;
};

// Collects the regular files under one directory into files: its own files first (by name),
// then each subdirectory's in turn, so that every directory's files follow its parent's. The
// launcher creates one directory level per file, so a directory whose subdirectories hold files
// must be the package root or hold files itself.
class FileCollector {
  public:
    std::vector<SourceFile> files;
    std::optional<Refusal> refusal;

    bool collect(const fs::path& directory, const std::u16string& prefix, bool creatable) {
        std::vector<std::pair<std::u16string, fs::path>> own_files;
        std::vector<std::pair<std::u16string, fs::path>> subdirectories;
        if (!list(directory, own_files, subdirectories))
            return false;
        std::sort(own_files.begin(), own_files.end());
        std::sort(subdirectories.begin(), subdirectories.end());
        if (!own_files.empty() && !creatable)
            return refuse_with(
                directory.parent_path(),
                "holds no files of its own, but its subdirectory " + shown(directory.filename()) +
                    " does; the launcher creates one directory level per file, so add a file here");
        for (const auto& [component, path] : own_files)
            if (!add_file(path, prefix + component))
                return false;
        const bool holds_files = prefix.empty() || !own_files.empty();
        for (const auto& [component, path] : subdirectories)
            if (!collect(path, prefix + component + u'\\', holds_files))
                return false;
        return true;
    }

  private:
    bool refuse_with(const fs::path& path, std::string problem) {
        refusal = Refusal{path, std::move(problem)};
        return false;
    }

    bool list(const fs::path& directory, std::vector<std::pair<std::u16string, fs::path>>& own_files,
              std::vector<std::pair<std::u16string, fs::path>>& subdirectories) {
        std::error_code error;
        fs::directory_iterator it(directory, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            const fs::path& path = it->path();
            std::u16string component;
            if (!path_units(path.filename(), component))
                return refuse_with(path, "file name is not valid UTF-8");
            if (component.find(u'\\') != std::u16string::npos)
                return refuse_with(path,
                                   "file name contains a backslash, which the launcher reads as a directory "
                                   "separator");
            const auto status = fs::symlink_status(path, error);
            if (error)
                break;
            if (fs::is_regular_file(status))
                own_files.emplace_back(component, path);
            else if (fs::is_directory(status))
                subdirectories.emplace_back(component, path);
            else
                return refuse_with(path, fs::is_symlink(status)
                                             ? "is a symbolic link; only regular files and "
                                               "directories can be packaged"
                                             : "is not a regular file or directory");
        }
        if (error)
            return refuse_with(directory, "cannot be listed: " + error.message());
        return true;
    }

    bool add_file(const fs::path& path, const std::u16string& name) {
        if (name.size() > NAME_UNITS_MAX)
            return refuse_with(path, "name is " + std::to_string(name.size()) +
                                         " UTF-16 units long; the launcher accepts at most 1023");
        if (!is_acceptable_entry_name(name))
            return refuse_with(path, "name is refused by the launcher (it contains \"..\" or \":\")");
        std::error_code error;
        const std::uint64_t size = fs::file_size(path, error);
        if (error)
            return refuse_with(path, "size cannot be read: " + error.message());
        files.push_back({path, name, size});
        return true;
    }
};

// Writes OUT and feeds the entry stream to the hasher while it does.
class PackageOutput {
  public:
    explicit PackageOutput(const fs::path& target) : output_(target), buffer_(COPY_CHUNK) { hasher_.open(); }

    bool open(std::string& problem) { return output_.open(problem); }
    bool commit(std::string& problem) { return output_.commit(problem); }
    void keep_permissions_of(const fs::path& source) { output_.keep_permissions_of(source); }

    bool write(const Bytes& bytes, bool hashed, std::string& problem) {
        if (hashed)
            hasher_.update(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return output_.write(bytes.data(), bytes.size(), problem);
    }

    // Copies length bytes of file from offset; a short read means the source changed meanwhile.
    bool copy(const FileHandle& file, std::uint64_t offset, std::uint64_t length, bool hashed,
              ProgressBar& bar, std::uint64_t& written, std::string& read_problem,
              std::string& write_problem) {
        if (!sys::seek_file(file, offset)) {
            read_problem = "cannot be read";
            return false;
        }
        while (length != 0) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, buffer_.size()));
            std::uint32_t done = 0;
            if (!sys::read_file(file, buffer_.data(), chunk, done) || done != chunk) {
                read_problem = "cannot be read in full (did it change while kpack ran?)";
                return false;
            }
            if (hashed)
                hasher_.update(buffer_.data(), chunk);
            if (!output_.write(buffer_.data(), chunk, write_problem))
                return false;
            length -= chunk;
            written += chunk;
            bar.update(written);
        }
        return true;
    }

    std::string identifier() { return utf16_to_utf8(hasher_.finish_hex()); }

  private:
    AtomicOutput output_;
    Sha256Hasher hasher_;
    Bytes buffer_;
};

struct AppendRequest {
    fs::path host;
    fs::path directory;
    fs::path output;
    bool replace = false;
};

FileHandle open_input(const fs::path& path, std::uint64_t& size, std::string& problem) {
    std::error_code error;
    const auto status = fs::status(path, error);
    if (error || !fs::exists(status)) {
        problem = "no such file";
        return {};
    }
    if (!fs::is_regular_file(status)) {
        problem = "not a regular file";
        return {};
    }
    std::u16string system_path;
    if (!system_form(path, system_path)) {
        problem = "path cannot be used (not valid UTF-8, or a backslash in a name)";
        return {};
    }
    FileHandle file = sys::open_file_for_reading(system_path);
    if (!file || !sys::file_size(file, size)) {
        problem = "cannot be opened for reading";
        return {};
    }
    return file;
}

bool ends_in_trailer_magic(const FileHandle& file, std::uint64_t content_end) {
    std::array<std::uint8_t, 8> magic{};
    std::uint32_t done = 0;
    return content_end >= TOOL_PACKAGE_TRAILER_SIZE &&
           sys::seek_file(file, content_end - TOOL_PACKAGE_TRAILER_SIZE) &&
           sys::read_file(file, magic.data(), 8, done) && done == 8 &&
           std::memcmp(magic.data(), TOOL_PACKAGE_MAGIC.data(), 8) == 0;
}

// How many bytes of HOST go into OUT; 0 with a message when HOST is refused.
int host_length(const AppendRequest& request, const FileHandle& host, std::uint64_t size,
                std::uint64_t& length) {
    if (find_content_end(host, size) != size)
        return refuse(request.host,
                      "ends in a certificate table (it is signed); append the tool package to the "
                      "unsigned file and sign afterwards");
    const auto trailer = read_tool_package_trailer(host, size);
    if (!trailer) {
        if (ends_in_trailer_magic(host, size))
            return refuse(request.host,
                          "ends in a damaged tool package trailer; cannot tell where its own bytes end");
        length = size;
        return 0;
    }
    if (!request.replace)
        return refuse(request.host, "already carries a tool package; use --replace to replace it");
    length = trailer->package_offset;
    return 0;
}

int write_package(const AppendRequest& request, FileHandle& host, std::uint64_t host_bytes,
                  const std::vector<SourceFile>& files) {
    std::uint64_t total = host_bytes;
    for (const SourceFile& file : files)
        total += file.size;
    ProgressBar bar("kpack: writing", total);
    PackageOutput out(request.output);
    std::string problem;
    std::string read_problem;
    std::uint64_t written = 0;
    out.keep_permissions_of(request.host);
    if (!out.open(problem))
        return refuse(request.output, problem);
    if (!out.copy(host, 0, host_bytes, false, bar, written, read_problem, problem))
        return read_problem.empty() ? refuse(request.output, problem) : refuse(request.host, read_problem);
    // OUT may be the host itself, and Windows renames nothing over a file that is open.
    host.reset();
    std::uint64_t stream_size = 0;
    for (const SourceFile& file : files) {
        std::u16string system_path;
        std::uint64_t size = 0;
        FileHandle source;
        if (system_form(file.path, system_path))
            source = sys::open_file_for_streaming(system_path);
        if (!source || !sys::file_size(source, size))
            return refuse(file.path, "cannot be opened for reading");
        if (size != file.size)
            return refuse(file.path, "changed size while kpack ran");
        const Bytes header = entry_header(file.name, file.size);
        if (!out.write(header, true, problem))
            return refuse(request.output, problem);
        if (!out.copy(source, 0, file.size, true, bar, written, read_problem, problem))
            return read_problem.empty() ? refuse(request.output, problem) : refuse(file.path, read_problem);
        stream_size += header.size() + file.size;
    }
    const Bytes padding(padding_before_trailer(host_bytes + stream_size), 0);
    const Bytes trailer = build_trailer(host_bytes, stream_size, out.identifier());
    if (!out.write(padding, false, problem) || !out.write(trailer, false, problem) || !out.commit(problem))
        return refuse(request.output, problem);
    return 0;
}

int append(const AppendRequest& request) {
    std::error_code error;
    if (!fs::is_directory(request.directory, error))
        return refuse(request.directory, "not a directory");
    FileCollector collector;
    if (!collector.collect(request.directory, u"", true))
        return refuse(collector.refusal->path, collector.refusal->problem);
    if (collector.files.empty())
        return refuse(request.directory, "holds no files; a tool package needs at least one");
    std::string problem;
    std::uint64_t size = 0;
    FileHandle host = open_input(request.host, size, problem);
    if (!host)
        return refuse(request.host, problem);
    std::uint64_t host_bytes = 0;
    if (const int refused = host_length(request, host, size, host_bytes); refused != 0)
        return refused;
    return write_package(request, host, host_bytes, collector.files);
}

int run_append(const std::vector<std::u16string>& arguments) {
    AppendRequest request;
    std::vector<std::u16string> positional;
    bool has_output = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        if (is_help(argument)) {
            std::fputs(append_usage, stdout);
            return 0;
        }
        if (argument == u"--replace") {
            request.replace = true;
        } else if (argument == u"-o") {
            if (i + 1 == arguments.size())
                return usage_error(" append", "-o needs a file name", append_usage);
            request.output = to_path(arguments[++i]);
            has_output = true;
        } else if (argument.size() > 1 && argument[0] == u'-') {
            return usage_error(" append", "unknown option " + utf16_to_utf8(argument), append_usage);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2 || !has_output)
        return usage_error(" append", "expected HOST, DIR and -o OUT", append_usage);
    request.host = to_path(positional[0]);
    request.directory = to_path(positional[1]);
    return append(request);
}

std::string id_text(std::u16string_view id) {
    std::string text;
    for (const char16_t unit : id) {
        if (unit >= 0x20 && unit < 0x7F) {
            text += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(unit & 0xFF));
            text += escaped;
        }
    }
    return text;
}

// Why a file whose content end is known carries no valid package.
std::string why_no_package(const FileHandle& file, std::uint64_t content_end) {
    if (content_end < TOOL_PACKAGE_TRAILER_SIZE)
        return "no tool package: the content is shorter than a trailer";
    std::array<std::uint8_t, TOOL_PACKAGE_TRAILER_SIZE> raw{};
    std::uint32_t done = 0;
    const std::uint64_t trailer_start = content_end - TOOL_PACKAGE_TRAILER_SIZE;
    if (!sys::seek_file(file, trailer_start) || !sys::read_file(file, raw.data(), 64, done) || done != 64)
        return "the trailer cannot be read";
    if (std::memcmp(raw.data(), TOOL_PACKAGE_MAGIC.data(), 8) != 0)
        return "no tool package: the content does not end in a KPAIPAK1 trailer";
    const std::uint64_t offset = le64_at(raw.data() + 8);
    const std::uint64_t size = le64_at(raw.data() + 16);
    if (size == 0)
        return "invalid tool package trailer: package_size is 0";
    return "invalid tool package trailer: the stream (package_offset " + std::to_string(offset) +
           ", package_size " + std::to_string(size) + ") does not lie before the trailer at " +
           std::to_string(trailer_start);
}

int inspect(const fs::path& path) {
    std::string problem;
    std::uint64_t size = 0;
    FileHandle file = open_input(path, size, problem);
    if (!file)
        return refuse(path, problem);
    const std::uint64_t content_end = find_content_end(file, size);
    std::printf("file size:      %llu\n", static_cast<unsigned long long>(size));
    if (content_end < size)
        std::printf("content end:    %llu (a certificate table of %llu bytes follows)\n",
                    static_cast<unsigned long long>(content_end),
                    static_cast<unsigned long long>(size - content_end));
    else
        std::printf("content end:    %llu (no certificate table at the end)\n",
                    static_cast<unsigned long long>(content_end));
    const auto trailer = read_tool_package_trailer(file, size);
    if (!trailer) {
        std::fflush(stdout);
        return refuse(path, why_no_package(file, content_end));
    }
    const std::uint64_t stream_end = trailer->package_offset + trailer->package_size;
    std::printf("trailer at:     %llu\n",
                static_cast<unsigned long long>(content_end - TOOL_PACKAGE_TRAILER_SIZE));
    std::printf("package_offset: %llu\n", static_cast<unsigned long long>(trailer->package_offset));
    std::printf("package_size:   %llu\n", static_cast<unsigned long long>(trailer->package_size));
    std::printf("package_id:     %s\n", id_text(trailer->package_id).c_str());
    std::printf("padding:        %llu\n",
                static_cast<unsigned long long>(content_end - TOOL_PACKAGE_TRAILER_SIZE - stream_end));
    std::printf("entries:\n");
    ProgressBar bar("kpack: checking", trailer->package_size);
    const PackageCheck check = check_tool_package(
        file, *trailer,
        [](const ToolPackageEntry& entry, std::uint64_t) {
            std::printf("  %14llu  %s\n", static_cast<unsigned long long>(entry.data_size),
                        utf16_to_utf8(entry.name).c_str());
        },
        [&bar](std::uint64_t done, std::uint64_t) { bar.update(done); });
    std::fflush(stdout);
    if (check.data_unreadable)
        return refuse(path, "entry data at offset " + std::to_string(check.problem_offset) +
                                " cannot be read in full");
    if (check.problem != EntryProblem::none) {
        // Read the refused entry's head again for the message; the walk does not keep it.
        ToolPackageEntry entry;
        std::uint64_t data_start = 0;
        read_tool_package_entry(file, check.problem_offset, stream_end, entry, data_start);
        return refuse(path, "entry at offset " + std::to_string(check.problem_offset) +
                                " is refused: " + describe(entry, check.problem));
    }
    if (!check.verified)
        return refuse(path, "package identifier does not verify (stored " + id_text(trailer->package_id) +
                                ", computed " + id_text(check.computed_id) + ")");
    std::printf("identifier:     verified (%llu entries)\n",
                static_cast<unsigned long long>(check.entry_count));
    return 0;
}

int run_inspect(const std::vector<std::u16string>& arguments) {
    if (std::any_of(arguments.begin(), arguments.end(), is_help)) {
        std::fputs(inspect_usage, stdout);
        return 0;
    }
    if (arguments.size() != 1)
        return usage_error(" inspect", "expected one file name", inspect_usage);
    return inspect(to_path(arguments[0]));
}

} // namespace

int run_tools_command(const std::vector<std::u16string>& arguments) {
    if (arguments.empty())
        return usage_error("", "missing command", tools_usage);
    if (is_help(arguments[0])) {
        std::fputs(tools_usage, stdout);
        return 0;
    }
    const std::vector<std::u16string> rest(arguments.begin() + 1, arguments.end());
    if (arguments[0] == u"append")
        return run_append(rest);
    if (arguments[0] == u"inspect")
        return run_inspect(rest);
    return usage_error("", "unknown command " + utf16_to_utf8(arguments[0]), tools_usage);
}

} // namespace kp::pack
