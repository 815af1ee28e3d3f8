#include "payload_commands.hpp"

#include "build_config.hpp"
#include "kpack_io.hpp"
#include "payload/payload_decryption.hpp"
#include "payload_source.hpp"
#include "platform/platform.hpp"

#include <utility>

namespace kp::pack {

namespace {

int encrypt(const std::filesystem::path& archive_path, const std::filesystem::path& app_enc_path) {
    Bytes archive;
    std::string problem;
    // Both layers go on in place, each adding one padding block: room for both.
    if (!read_whole_file(archive_path, archive, problem, 2 * 16))
        return fail(archive_path, problem);
    if (!sys::aes256_cbc_encrypt(archive, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, archive) ||
        !sys::aes256_cbc_encrypt(archive, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, archive))
        return fail(archive_path, "cannot be encrypted (4 GiB or larger?)");
    if (!write_file_atomically(app_enc_path, archive, problem))
        return fail(app_enc_path, problem);
    return 0;
}

} // namespace

int encrypt_payload(const std::filesystem::path& source, const std::filesystem::path& app_enc) {
    return encrypt_from_source(source, app_enc, encrypt);
}

int decrypt_payload_file(const std::filesystem::path& app_enc_path,
                         const std::filesystem::path& archive_path) {
    Bytes encrypted;
    std::string problem;
    if (!read_whole_file(app_enc_path, encrypted, problem))
        return fail(app_enc_path, problem);
    Bytes archive;
    if (!decrypt_payload(std::move(encrypted), archive)) // in place, as the launcher does
        return fail(app_enc_path, "does not decrypt with this build's payload keys (damaged, truncated or "
                                  "made for another build)");
    if (!write_file_atomically(archive_path, archive, problem))
        return fail(archive_path, problem);
    return 0;
}

} // namespace kp::pack
