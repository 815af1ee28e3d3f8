#include "payload_source.hpp"

#include "kpack_io.hpp"
#include "payload_archive_check.hpp"
#include "platform/platform.hpp"
#include "zip_archive.hpp"

#include <algorithm>
#include <cstdio>

namespace kp::pack {

namespace {

namespace fs = std::filesystem;

// A zip archive written beside app.enc for the scope of one run, removed on every path.
class TemporaryZip {
  public:
    explicit TemporaryZip(const fs::path& app_enc) {
        auto name = app_enc.filename();
        name += ".kpack-" + std::to_string(sys::current_process_id()) + ".zip";
        path_ = app_enc.parent_path() / name;
    }
    ~TemporaryZip() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    TemporaryZip(const TemporaryZip&) = delete;
    TemporaryZip& operator=(const TemporaryZip&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Every regular file and empty folder under folder, names relative to it, sorted so that the zip
// is the same whatever order the file system lists them in.
bool collect_payload_files(const fs::path& folder, std::vector<ZipInput>& files, fs::path& refused,
                           std::string& problem) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto status = it->symlink_status(error);
        if (error)
            break;
        // A folder with content comes with its files; an empty one needs an entry of its own.
        if (fs::is_directory(status) && !fs::is_empty(it->path(), error))
            continue;
        refused = it->path();
        std::u16string units;
        if (fs::is_symlink(status))
            problem = "is a link; the install would not reproduce it";
        else if (!fs::is_regular_file(status) && !fs::is_directory(status))
            problem = "is neither a file nor a folder";
        else if (!path_units(fs::relative(it->path(), folder, error), units))
            problem = "file name is not valid UTF-8";
        if (!problem.empty())
            return false;
        std::string name = utf16_to_utf8(units);
        std::replace(name.begin(), name.end(), '\\', '/');
        const bool is_folder = fs::is_directory(status);
        const bool executable =
            !is_folder && (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
        files.push_back({name, it->path(), executable, is_folder});
    }
    if (error) {
        refused = folder;
        problem = "cannot be listed: " + error.message();
        return false;
    }
    std::sort(files.begin(), files.end(),
              [](const ZipInput& a, const ZipInput& b) { return a.name < b.name; });
    return true;
}

// Reads the archive's central directory as the launcher does, lists it, and applies the install
// checks; 0 when it may be encrypted. A build that cannot list zips leaves a warning, printed only
// once app.enc is written, so that a failed run still prints one line.
int check_archive(const fs::path& shown, const fs::path& archive, std::string& warning) {
    Bytes bytes;
    std::string problem;
    if (!read_whole_file(archive, bytes, problem))
        return fail(shown, problem);
    if (problem = directory_problem(bytes); !problem.empty())
        return fail(shown, problem);
    const ZipListing listing = list_zip_bytes(bytes);
    switch (listing.result) {
    case ZipRead::unavailable:
        warning = "kpack: " + display(shown) +
                  ": warning: entries not checked beyond their names: " + listing.problem + "\n";
        return 0;
    case ZipRead::not_a_zip:
        return fail(shown, "is not a zip archive");
    case ZipRead::damaged:
        return fail(shown, "is a damaged zip archive: " + listing.problem);
    case ZipRead::listed:
        break;
    }
    problem = install_problem(listing.entries);
    return problem.empty() ? 0 : fail(shown, problem);
}

int encrypt_folder(const fs::path& folder, const fs::path& app_enc, ArchiveEncrypter encrypt) {
    if (!zip_available())
        return fail(folder, std::string("cannot be zipped: ") + zip_unavailable_reason() +
                                "; give it a zip archive of the folder's contents");
    std::vector<ZipInput> files;
    fs::path refused;
    std::string problem;
    if (!collect_payload_files(folder, files, refused, problem))
        return fail(refused, problem);
    // The temporary zip is named after app.enc, in its folder: a failure to write it is one to
    // write app.enc there, and is reported so.
    const TemporaryZip zip(app_enc);
    fs::path failed_source;
    if (!write_zip(zip.path(), files, failed_source, problem))
        return fail(failed_source.empty() ? app_enc : failed_source, problem);
    std::string no_warning; // this build lists zips
    if (const int refusal = check_archive(folder, zip.path(), no_warning); refusal != 0)
        return refusal;
    return encrypt(zip.path(), app_enc);
}

} // namespace

int encrypt_from_source(const fs::path& source, const fs::path& app_enc, ArchiveEncrypter encrypt) {
    std::error_code error;
    const auto status = fs::status(source, error);
    if (fs::is_directory(status))
        return encrypt_folder(source, app_enc, encrypt);
    if (!fs::is_regular_file(status))
        return encrypt(source, app_enc); // its reading names the problem
    std::string warning;
    if (const int refusal = check_archive(source, source, warning); refusal != 0)
        return refusal;
    const int result = encrypt(source, app_enc);
    if (result == 0)
        std::fputs(warning.c_str(), stderr);
    return result;
}

} // namespace kp::pack
