// Unpacking the application archive on POSIX, with libarchive. The library (and what it pulls
// in) is loaded only for an installation: every launch would otherwise pay for mapping it.
#include "file_creation.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace kp::posix {

namespace {

constexpr std::size_t READ_BLOCK_SIZE = 256 * 1024;

// Existing files are replaced (unlinked, then written anew); permission bits come from the
// archive under the umask, without set-id bits. The secure flags refuse absolute paths, ".."
// and writing through symbolic links; entries are checked here as well before libarchive sees them.
constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                              ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

static_assert(ARCHIVE_VERSION_NUMBER / 1000000 == 3, "libarchive 3 has the soname libarchive.so.13");
constexpr const char* LIBARCHIVE_SONAME = "libarchive.so.13";

#define KP_ARCHIVE_FUNCTIONS(X)                                                                              \
    X(archive_read_new)                                                                                      \
    X(archive_read_support_format_zip)                                                                       \
    X(archive_read_open_filename)                                                                            \
    X(archive_read_next_header)                                                                              \
    X(archive_read_data_block)                                                                               \
    X(archive_read_free)                                                                                     \
    X(archive_write_disk_new)                                                                                \
    X(archive_write_disk_set_options)                                                                        \
    X(archive_write_header)                                                                                  \
    X(archive_write_data_block)                                                                              \
    X(archive_write_finish_entry)                                                                            \
    X(archive_write_close)                                                                                   \
    X(archive_write_free)                                                                                    \
    X(archive_entry_pathname)                                                                                \
    X(archive_entry_hardlink)                                                                                \
    X(archive_entry_symlink)                                                                                 \
    X(archive_entry_filetype)

// The loaded library and the functions the extraction calls; unloaded when it goes.
class Libarchive {
  public:
    Libarchive() : handle_(::dlopen(LIBARCHIVE_SONAME, RTLD_NOW | RTLD_LOCAL)) {
        loaded_ = handle_ != nullptr;
#define KP_RESOLVE(name) loaded_ = loaded_ && resolve(name, #name);
        KP_ARCHIVE_FUNCTIONS(KP_RESOLVE)
#undef KP_RESOLVE
    }
    Libarchive(const Libarchive&) = delete;
    Libarchive& operator=(const Libarchive&) = delete;
    ~Libarchive() {
        if (handle_ != nullptr)
            ::dlclose(handle_);
    }
    bool loaded() const {
        return loaded_;
    }

#define KP_DECLARE(name) decltype(&::name) name = nullptr;
    KP_ARCHIVE_FUNCTIONS(KP_DECLARE)
#undef KP_DECLARE

  private:
    template <typename Function> bool resolve(Function& function, const char* symbol) {
        function = reinterpret_cast<Function>(::dlsym(handle_, symbol));
        return function != nullptr;
    }

    void* handle_;
    bool loaded_ = false;
};

// Frees a reader or a writer through the library that made it.
class ArchiveHandle {
  public:
    using Free = int (*)(archive*);
    ArchiveHandle(archive* pointer, Free free) : pointer_(pointer), free_(free) {}
    ArchiveHandle(ArchiveHandle&& other) noexcept : pointer_(other.pointer_), free_(other.free_) {
        other.pointer_ = nullptr;
    }
    ArchiveHandle(const ArchiveHandle&) = delete;
    ArchiveHandle& operator=(const ArchiveHandle&) = delete;
    ArchiveHandle& operator=(ArchiveHandle&&) = delete;
    ~ArchiveHandle() {
        if (pointer_ != nullptr)
            free_(pointer_);
    }
    archive* get() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

  private:
    archive* pointer_;
    Free free_;
};

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Makes the destination the working directory for the scope, so entry paths stay relative
// (absolute ones are refused) and the symbolic-link checks start at the destination itself.
// The launcher is single-threaded; the previous directory is restored on leaving.
class WorkingDirectoryScope {
  public:
    explicit WorkingDirectoryScope(const Descriptor& target)
        : previous_(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)) {
        entered_ = previous_ && ::fchdir(target.get()) == 0;
    }
    WorkingDirectoryScope(const WorkingDirectoryScope&) = delete;
    WorkingDirectoryScope& operator=(const WorkingDirectoryScope&) = delete;
    ~WorkingDirectoryScope() {
        if (entered_ && ::fchdir(previous_.get()) != 0) {
            // Nothing sound is left to do: the launcher uses absolute paths only.
        }
    }
    bool entered() const { return entered_; }

  private:
    Descriptor previous_;
    bool entered_ = false;
};

// Zip names are UTF-8; libarchive converts them to the thread's character set, which in the
// default "C" locale would refuse every name outside ASCII. For the scope of the extraction the
// thread (only) uses a UTF-8 character set, so names reach the file system as the archive has them.
class Utf8LocaleScope {
  public:
    Utf8LocaleScope() : utf8_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {
        if (utf8_ != locale_t{})
            previous_ = ::uselocale(utf8_);
    }
    Utf8LocaleScope(const Utf8LocaleScope&) = delete;
    Utf8LocaleScope& operator=(const Utf8LocaleScope&) = delete;
    ~Utf8LocaleScope() {
        if (utf8_ != locale_t{}) {
            ::uselocale(previous_);
            ::freelocale(utf8_);
        }
    }

  private:
    locale_t utf8_;
    locale_t previous_ = locale_t{};
};

ArchiveHandle open_zip(const Libarchive& lib, const std::string& path) {
    ArchiveHandle reader(lib.archive_read_new(), lib.archive_read_free);
    if (!reader || lib.archive_read_support_format_zip(reader.get()) != ARCHIVE_OK ||
        lib.archive_read_open_filename(reader.get(), path.c_str(), READ_BLOCK_SIZE) != ARCHIVE_OK)
        return {nullptr, lib.archive_read_free};
    return reader;
}

ArchiveHandle open_disk_writer(const Libarchive& lib) {
    ArchiveHandle writer(lib.archive_write_disk_new(), lib.archive_write_free);
    if (writer && lib.archive_write_disk_set_options(writer.get(), EXTRACT_FLAGS) != ARCHIVE_OK)
        return {nullptr, lib.archive_write_free};
    return writer;
}

// Walks a relative path's components; false when it is absolute, empty or would climb above its
// start. ".." is accepted only as leading components, and only when `leading_parents` is set:
// after a name, ".." would go back through what may itself be a symbolic link, which a plain
// count cannot follow. `depth` is the start's depth below the destination.
bool walk_inside(std::string_view path, bool leading_parents, int depth) {
    if (path.empty() || path.front() == '/')
        return false;
    bool descended = false;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part != "..") {
            descended = true;
            continue;
        }
        if (!leading_parents || descended || --depth < 0)
            return false;
    }
    return true;
}

int folder_depth(std::string_view path) {
    int depth = 0;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t slash = path.find('/', at);
        const std::string_view part = path.substr(at, slash - at);
        if (!part.empty() && part != ".")
            ++depth;
        at = slash == std::string_view::npos ? path.size() : slash + 1;
    }
    return depth - 1;
}

// Names and hard-link targets never hold ".."; a symbolic link's target may climb to, but not
// above, the destination (it is resolved from the link's own folder).
bool entry_stays_inside(const Libarchive& lib, archive_entry* entry) {
    const char* name = lib.archive_entry_pathname(entry);
    if (name == nullptr || !walk_inside(name, false, 0))
        return false;
    const char* link = lib.archive_entry_hardlink(entry);
    if (link != nullptr && !walk_inside(link, false, 0))
        return false;
    if (lib.archive_entry_filetype(entry) != AE_IFLNK)
        return true;
    const char* target = lib.archive_entry_symlink(entry);
    return target != nullptr && walk_inside(target, true, folder_depth(name));
}

// Copies one entry's data; false when the archive cannot be read any further.
bool copy_entry_data(const Libarchive& lib, archive* reader, archive* writer) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        const int status = lib.archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF)
            return true;
        if (status < ARCHIVE_WARN)
            return status != ARCHIVE_FATAL;
        if (lib.archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN)
            return true; // this entry is lost; the next may still be written
    }
}

void extract_entries(const Libarchive& lib, archive* reader, archive* writer) {
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = lib.archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF || status < ARCHIVE_WARN)
            return;
        if (!entry_stays_inside(lib, entry))
            continue;
        const int written = lib.archive_write_header(writer, entry);
        if (written == ARCHIVE_FATAL)
            return;
        if (written >= ARCHIVE_WARN && !copy_entry_data(lib, reader, writer))
            return;
        if (lib.archive_write_finish_entry(writer) == ARCHIVE_FATAL)
            return;
    }
}

} // namespace

// "The copy was requested" once both the archive and the destination folder are open; what
// then arrives is not reported, as the caller waits for the application executable itself.
bool shell_extract_zip(const std::u16string& zip_path, const std::u16string& destination) {
    before_names_change(); // the archive may replace any name under the destination
    const Libarchive lib;
    if (!lib.loaded())
        return false;
    const Utf8LocaleScope utf8_names;
    ArchiveHandle reader = open_zip(lib, to_native_path(zip_path));
    const Descriptor target(::open(to_native_path(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!reader || !target)
        return false;
    const WorkingDirectoryScope inside(target);
    if (!inside.entered())
        return false;
    // The writer keeps folder times to set at its close, by relative path: it is closed while
    // the destination is still the working directory.
    ArchiveHandle writer = open_disk_writer(lib);
    if (!writer)
        return false;
    extract_entries(lib, reader.get(), writer.get());
    lib.archive_write_close(writer.get());
    return true;
}

} // namespace kp::posix
