#include "payload/payload_installation.hpp"

#include "build_config.hpp"
#include "common/durable_file.hpp"
#include "common/file_io.hpp"
#include "common/install_layout.hpp"
#include "payload/payload_decryption.hpp"
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

// Tests before each sleep: an executable already present ends the wait without sleeping, and
// the wait ends after the last sleep without a further test.
void wait_for_application(const std::u16string& application_exe) {
    for (std::uint32_t poll = 0; poll < INSTALL_WAIT_POLLS; ++poll) {
        if (exists(application_exe))
            return;
        sys::sleep_ms(INSTALL_WAIT_INTERVAL_MS);
    }
}

} // namespace

void install_payload(const std::u16string& launcher_dir, const std::u16string& install_dir,
                     const std::u16string& application_exe, const std::u16string& build_stamp) {
    Bytes archive;
    if (!read_application_archive(launcher_dir, archive))
        return;

    const std::u16string temp_archive = temporary_archive_path();
    if (temp_archive.empty() || !write_temporary_file_bytes(temp_archive, archive))
        return;

    sys::create_directory(install_dir);
    delete_stale_files(install_dir);
    const bool copy_requested = extract_zip_with_shell(temp_archive, install_dir);
    wait_for_application(application_exe);
    sys::delete_file(temp_archive);

    // Only a requested copy earns the stamp; otherwise an older stamp stays and the next
    // launch tries again. A failed stamp write shows as "not current" next time. What the stamp
    // vouches for is on stable storage before it is written; a failed flush leaves no stamp.
    if (copy_requested && sys::flush_tree(install_dir))
        write_file_bytes_flushed(build_stamp, utf16le_bytes(BUILD_ID), FlushWait::done);
}

bool extract_zip_with_shell(const std::u16string& zip_path, const std::u16string& destination) {
    return sys::shell_extract_zip(zip_path, destination);
}

} // namespace kp
