#include "payload/payload_decryption.hpp"

#include "build_config.hpp"
#include "platform/platform.hpp"

namespace kp {

bool decrypt_aes256_cbc(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    // A CBC ciphertext with padding is whole blocks, at least one. Checked here because not
    // every provider refuses an empty input.
    if (input.empty() || input.size() % 16 != 0)
        return false;
    return sys::aes256_cbc_decrypt(input, key, iv, output);
}

bool decrypt_payload(const Bytes& encrypted, Bytes& archive) {
    Bytes inner;
    if (!decrypt_aes256_cbc(encrypted, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, inner))
        return false;
    // The inner layer comes off in place and the intermediate buffer becomes the archive: two
    // archive-sized buffers at the peak instead of three, and one less to fault in.
    if (!decrypt_aes256_cbc(inner, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, inner))
        return false;
    archive = std::move(inner);
    return true;
}

} // namespace kp
