#include "build_identity.hpp"

#include "build_config.hpp"
#include "common/text.hpp"
#include "tools/sha256_hasher.hpp"

#include <cstdio>

namespace kp::pack {

std::string payload_key_fingerprint() {
    Sha256Hasher hasher;
    hasher.open();
    hasher.update(PAYLOAD_OUTER_KEY.data(), PAYLOAD_OUTER_KEY.size());
    hasher.update(PAYLOAD_OUTER_IV.data(), PAYLOAD_OUTER_IV.size());
    hasher.update(PAYLOAD_INNER_KEY.data(), PAYLOAD_INNER_KEY.size());
    hasher.update(PAYLOAD_INNER_IV.data(), PAYLOAD_INNER_IV.size());
    return utf16_to_utf8(hasher.finish_hex()).substr(0, 16);
}

int print_build_identity() {
    const std::string fingerprint = payload_key_fingerprint();
    if (fingerprint.size() != 16) {
        std::fputs("kpack: --version: the SHA-256 of the payload keys failed\n", stderr);
        return 1;
    }
    std::printf("build_id:        %s\n", utf16_to_utf8(BUILD_ID).c_str());
    std::printf("install_folder:  %s\n", utf16_to_utf8(INSTALL_FOLDER_NAME).c_str());
    std::printf("payload_keys:    %s\n", fingerprint.c_str());
    return 0;
}

} // namespace kp::pack
