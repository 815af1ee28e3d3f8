#include "payload/payload_decryption.hpp"

#include "build_config.hpp"
#include "platform/platform.hpp"

#include <utility>

namespace kp {

bool decrypt_aes256_cbc(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    // A CBC ciphertext with padding is whole blocks, at least one. Checked here because not
    // every provider refuses an empty input.
    if (input.empty() || input.size() % 16 != 0)
        return false;
    return sys::aes256_cbc_decrypt(input, key, iv, output);
}

namespace {

// The inner layer comes off in place and its buffer becomes the archive.
bool remove_inner_layer(Bytes& inner, Bytes& archive) {
    if (!decrypt_aes256_cbc(inner, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, inner))
        return false;
    archive = std::move(inner);
    return true;
}

} // namespace

bool decrypt_payload(const Bytes& encrypted, Bytes& archive) {
    Bytes inner;
    return decrypt_aes256_cbc(encrypted, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, inner) &&
           remove_inner_layer(inner, archive);
}

bool decrypt_payload(Bytes&& encrypted, Bytes& archive) {
    Bytes buffer = std::move(encrypted);
    return decrypt_aes256_cbc(buffer, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, buffer) &&
           remove_inner_layer(buffer, archive);
}

} // namespace kp
