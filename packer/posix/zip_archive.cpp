// Zip archives for kpack on POSIX, with libarchive.
#include "zip_archive.hpp"

#include "kpack_io.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <locale.h>
#include <memory>

namespace kp::pack {

namespace {

constexpr std::size_t BLOCK_SIZE = 1024 * 1024;
// 2000-01-01 00:00:00 UTC: every entry's time, so that the archive depends on the files only.
constexpr std::time_t FIXED_TIME = 946684800;

struct ArchiveFree {
    void operator()(archive* handle) const { archive_free(handle); }
};
using Archive = std::unique_ptr<archive, ArchiveFree>;

struct EntryFree {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

// libarchive names the method of the entry just read in the format name: "ZIP 2.0 (deflation)".
std::string method_of(archive* reader) {
    const std::string format = archive_format_name(reader) ? archive_format_name(reader) : "";
    const std::size_t open = format.rfind('(');
    const std::string method = open == std::string::npos ? "unknown" : format.substr(open + 1);
    const std::string name = method.empty() ? method : method.substr(0, method.size() - 1);
    if (name == "uncompressed")
        return "stored";
    if (name == "deflation")
        return "deflate";
    return name;
}

ZipEntryType type_of(archive_entry* entry) {
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
        return ZipEntryType::file;
    case AE_IFDIR:
        return ZipEntryType::folder;
    case AE_IFLNK:
        return ZipEntryType::link;
    default:
        return ZipEntryType::other;
    }
}

// libarchive turns names into UTF-8 through the thread's locale: under "C" a non-ASCII name comes
// back as no name at all, so names are read under a UTF-8 locale, whatever the user's is.
class Utf8Names {
  public:
    Utf8Names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {
        if (utf8_ != locale_t{})
            previous_ = uselocale(utf8_);
    }
    ~Utf8Names() {
        if (utf8_ != locale_t{}) {
            uselocale(previous_);
            freelocale(utf8_);
        }
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

  private:
    locale_t utf8_;
    locale_t previous_ = locale_t{};
};

template <typename Open> ZipListing list_zip(Open open) {
    const Utf8Names utf8_names;
    ZipListing listing;
    Archive reader(archive_read_new());
    if (!reader || archive_read_support_format_zip_seekable(reader.get()) != ARCHIVE_OK)
        return {ZipRead::damaged, {}, "the zip reader cannot be set up"};
    if (open(reader.get()) != ARCHIVE_OK)
        return {ZipRead::not_a_zip,
                {},
                archive_error_string(reader.get()) ? archive_error_string(reader.get()) : ""};
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN) {
            const char* error = archive_error_string(reader.get());
            return {ZipRead::damaged, {}, error ? error : "an entry cannot be read"};
        }
        const char* name = archive_entry_pathname_utf8(entry);
        listing.entries.push_back({name ? name : "", type_of(entry),
                                   static_cast<std::uint64_t>(archive_entry_size(entry)),
                                   archive_entry_is_encrypted(entry) != 0, method_of(reader.get())});
    }
    listing.result = ZipRead::listed;
    return listing;
}

// The system's words for the writer's last failure.
std::string write_failure(archive* writer) {
    const int error = archive_errno(writer);
    if (error != 0)
        return std::generic_category().message(error);
    return archive_error_string(writer) ? archive_error_string(writer) : "the write failed";
}

// Copies the file's bytes into the current entry; a failure is the source's (failed_source set)
// or the zip's.
bool write_file_data(archive* writer, const ZipInput& file, std::uint64_t size,
                     std::filesystem::path& failed_source, std::string& problem) {
    errno = 0;
    std::ifstream in(file.path, std::ios::binary);
    if (!in) {
        failed_source = file.path;
        problem = open_failure_reason(file.path);
        return false;
    }
    Bytes block(BLOCK_SIZE);
    std::uint64_t done = 0;
    while (in) {
        in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got != 0 && archive_write_data(writer, block.data(), got) != static_cast<la_ssize_t>(got)) {
            problem = "cannot be written: " + write_failure(writer);
            return false;
        }
        done += got;
    }
    if (!in.eof() || done != size) {
        failed_source = file.path;
        problem = "cannot be read in full (did it change while kpack ran?)";
        return false;
    }
    return true;
}

} // namespace

bool zip_available() {
    return true;
}

const char* zip_unavailable_reason() {
    return "";
}

ZipListing list_zip_file(const std::filesystem::path& path) {
    return list_zip(
        [&](archive* reader) { return archive_read_open_filename(reader, path.c_str(), BLOCK_SIZE); });
}

ZipListing list_zip_bytes(const Bytes& bytes) {
    return list_zip(
        [&](archive* reader) { return archive_read_open_memory(reader, bytes.data(), bytes.size()); });
}

bool write_zip(const std::filesystem::path& target, const std::vector<ZipInput>& files,
               std::filesystem::path& failed_source, std::string& problem) {
    // Zip stores local times: in UTC the same files give the same bytes on every machine.
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    Archive writer(archive_write_new());
    if (!writer || archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
        archive_write_zip_set_compression_deflate(writer.get()) != ARCHIVE_OK ||
        archive_write_set_option(writer.get(), "zip", "hdrcharset", "UTF-8") < ARCHIVE_WARN ||
        archive_write_open_filename(writer.get(), target.c_str()) != ARCHIVE_OK) {
        problem = "cannot be created: " + (writer ? write_failure(writer.get()) : "out of memory");
        return false;
    }
    for (const ZipInput& file : files) {
        std::error_code error;
        const std::uint64_t size = file.folder ? 0 : std::filesystem::file_size(file.path, error);
        if (error) {
            failed_source = file.path;
            problem = "size cannot be read: " + error.message();
            return false;
        }
        const std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), (file.folder ? file.name + "/" : file.name).c_str());
        archive_entry_set_filetype(entry.get(), file.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), file.executable || file.folder ? 0755 : 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
        archive_entry_set_mtime(entry.get(), FIXED_TIME, 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
            problem = "cannot be written: " + write_failure(writer.get());
            return false;
        }
        if (!file.folder && !write_file_data(writer.get(), file, size, failed_source, problem))
            return false;
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            problem = "cannot be written: " + write_failure(writer.get());
            return false;
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        problem = "cannot be written in full: " + write_failure(writer.get());
        return false;
    }
    return true;
}

} // namespace kp::pack
