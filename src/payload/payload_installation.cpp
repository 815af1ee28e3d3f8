#include "payload/payload_installation.hpp"

#include "build_config.hpp"
#include "common/durable_file.hpp"
#include "common/file_io.hpp"
#include "common/install_layout.hpp"
#include "common/space_rules.hpp"
#include "payload/installation_check.hpp"
#include "payload/payload_decryption.hpp"
#include "payload/zip_directory.hpp"
#include "platform/platform.hpp"

#include <utility>

namespace kp {

namespace {

constexpr std::u16string_view TEMP_ARCHIVE_PREFIX = u"kp_pkg_tmp_";
constexpr std::u16string_view TEMP_ARCHIVE_EXTENSION = u".zip";

// Reads and decrypts app.enc. The decryption consumes the file's content: both layers come off
// in that one buffer, which becomes the archive, so nothing else archive-sized is held.
bool read_application_archive(const std::u16string& launcher_dir, Bytes& archive) {
    Bytes encrypted;
    if (!read_file_bytes(launcher_dir + std::u16string(APP_ENC_SUFFIX), encrypted))
        return false;
    return decrypt_payload(std::move(encrypted), archive);
}

// The temporary directory as reported (with its trailing separator) + "kp_pkg_tmp_<pid>.zip";
// empty when the system reports no temporary directory.
std::u16string temporary_archive_path() {
    const std::u16string directory = sys::temp_directory();
    if (directory.empty())
        return {};
    return directory + std::u16string(TEMP_ARCHIVE_PREFIX) + decimal_text(sys::current_process_id()) +
           std::u16string(TEMP_ARCHIVE_EXTENSION);
}

void delete_stale_files(const std::u16string& install_dir) {
    for (const std::u16string_view name : STALE_FILES)
        sys::delete_file(install_dir + u"\\" + std::u16string(name));
}

// The folder a path names an item of, by the last separator of either kind (drivers and tests
// may pass native paths).
std::u16string parent_of(const std::u16string& path) {
    return path.substr(0, path.find_last_of(u"\\/"));
}

// The free space is asked of the install directory, or of the folder that will hold it while
// it does not exist yet, so that a clean machine can install.
std::u16string volume_probe(const std::u16string& install_dir) {
    return exists(install_dir) ? install_dir : parent_of(install_dir);
}

// Refuses before anything is written: a copy that runs out of room leaves a broken installation.
bool has_room_for(const ZipDirectory& directory, const std::u16string& install_dir,
                  const std::u16string& temp_archive, std::uint64_t archive_size) {
    const std::u16string probe = volume_probe(install_dir);
    const std::uint64_t temporary = sys::same_volume(parent_of(temp_archive), probe) ? archive_size : 0;
    std::uint64_t free_bytes = 0;
    return sys::free_bytes_available(probe, free_bytes) &&
           fits_before(space_needed(directory.entries, install_dir, temporary), FREE_SPACE_MARGIN,
                       free_bytes);
}

} // namespace

// The application executable is one of the archive's entries: the wait for every entry includes it.
void install_payload(const std::u16string& launcher_dir, const std::u16string& install_dir,
                     const std::u16string& /*application_exe*/, const std::u16string& build_stamp) {
    Bytes archive;
    if (!read_application_archive(launcher_dir, archive))
        return;
    const ZipDirectory directory = read_zip_directory(archive.data(), archive.size());
    if (directory.problem != ZipDirectoryProblem::none)
        return;

    const std::u16string temp_archive = temporary_archive_path();
    if (temp_archive.empty() || !has_room_for(directory, install_dir, temp_archive, archive.size()) ||
        !write_temporary_file_bytes(temp_archive, archive))
        return;

    sys::create_directory(install_dir);
    delete_stale_files(install_dir);
    // Nothing arrives from a copy that was never requested: no wait, and no stamp.
    const std::vector<EntryNote> before = note_entries(install_dir, directory.entries);
    const bool copy_requested = extract_zip_with_shell(temp_archive, install_dir);
    const bool complete = copy_requested && wait_for_installation(install_dir, directory.entries, before);
    // Only now: the shell may still be reading the archive while it copies.
    sys::delete_file(temp_archive);

    // The stamp vouches for every file of the archive, in place and on stable storage. An older
    // stamp stays otherwise, and the next launch tries again; a failed stamp write shows as "not
    // current" next time. A file that could not be opened for its flush (one the archive marks
    // read-only) is the exception: it is complete, and nothing more can be done for it.
    if (complete && sys::flush_tree(install_dir))
        write_file_bytes_flushed(build_stamp, utf16le_bytes(BUILD_ID), FlushWait::done);
}

bool extract_zip_with_shell(const std::u16string& zip_path, const std::u16string& destination) {
    return sys::shell_extract_zip(zip_path, destination);
}

} // namespace kp
