// SHA-256 over the platform's hash provider, with the package identifier's text form.
#pragma once

#include "platform/platform.hpp"

#include <string>

namespace kp {

struct Sha256Hasher {
    HashAlgorithmHandle algorithm;
    HashHandle hash;
    bool ok = false; // true while every operation has succeeded; once false, stays false

    void open();
    void update(const std::uint8_t* bytes, std::uint32_t length);
    // The first 16 digest bytes as 32 lowercase hexadecimal digits; empty when not ok.
    std::u16string finish_hex();
};

} // namespace kp
