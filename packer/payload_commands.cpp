#include "payload_commands.hpp"

#include "build_config.hpp"
#include "kpack_io.hpp"
#include "payload/payload_decryption.hpp"
#include "payload_inspect.hpp"
#include "payload_source.hpp"
#include "platform/platform.hpp"

#include <cstdio>
#include <utility>

namespace kp::pack {

namespace {

constexpr const char* payload_usage =
    "usage: kpack payload encrypt SOURCE APP_ENC\n"
    "       kpack payload decrypt APP_ENC ARCHIVE\n"
    "       kpack payload inspect APP_ENC [--json]\n"
    "\n"
    "encrypt  wraps a zip archive in the two AES-256-CBC layers of app.enc, with the payload\n"
    "         keys compiled into this build. SOURCE is a zip archive, or a folder that kpack\n"
    "         zips itself (deflate, every regular file, names relative to it, the same folder\n"
    "         giving the same bytes). Refused: what is not a zip, a root without\n"
    "         kestrin_pad.exe, encrypted entries, methods other than stored and deflate,\n"
    "         absolute names or names holding \"..\", and links.\n"
    "decrypt  removes both layers again and writes the archive\n"
    "inspect  decrypts in memory and lists the archive's root items with their sizes; exits\n"
    "         non-zero when APP_ENC does not decrypt or kestrin_pad.exe is not at the root\n";

bool is_help(const std::u16string& argument) {
    return argument == u"--help" || argument == u"-h";
}

int usage_error(const char* problem) {
    std::fprintf(stderr, "kpack payload: %s\n%s", problem, payload_usage);
    return 2;
}

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

int decrypt(const std::filesystem::path& app_enc_path, const std::filesystem::path& archive_path) {
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

int run_payload_inspect(const std::vector<std::u16string>& arguments) {
    const bool json = arguments.size() == 3 && arguments[2] == u"--json";
    if (arguments.size() != 2 && !json)
        return usage_error("expected APP_ENC and optionally --json");
    return inspect_payload(to_path(arguments[1]), json);
}

} // namespace

int run_payload_command(const std::vector<std::u16string>& arguments) {
    if (arguments.empty())
        return usage_error("missing command");
    if (is_help(arguments[0])) {
        std::fputs(payload_usage, stdout);
        return 0;
    }
    const std::u16string& command = arguments[0];
    if (command != u"encrypt" && command != u"decrypt" && command != u"inspect")
        return usage_error("unknown command");
    if (arguments.size() == 2 && is_help(arguments[1])) {
        std::fputs(payload_usage, stdout);
        return 0;
    }
    if (command == u"inspect")
        return run_payload_inspect(arguments);
    if (arguments.size() != 3)
        return usage_error("expected two file names");
    const auto input = to_path(arguments[1]);
    const auto output = to_path(arguments[2]);
    return command == u"encrypt" ? encrypt_from_source(input, output, encrypt) : decrypt(input, output);
}

} // namespace kp::pack
