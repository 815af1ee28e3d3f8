// Removing the two AES-256-CBC layers of app.enc.
#pragma once

#include "common/text.hpp"

#include <array>
#include <cstdint>

namespace kp {

// One AES-256-CBC layer with PKCS#7 padding, the whole input in one call. On failure the
// output's content is unspecified. output may be the input buffer itself (decrypted in place).
bool decrypt_aes256_cbc(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output);

// The outer layer, then the inner one; true only when both were removed.
bool decrypt_payload(const Bytes& encrypted, Bytes& archive);

// The same, consuming the encrypted content: both layers come off in place, so the archive
// takes no buffer of its own (the caller has no use for app.enc's bytes afterwards).
bool decrypt_payload(Bytes&& encrypted, Bytes& archive);

} // namespace kp
