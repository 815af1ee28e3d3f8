#include "tools/sha256_hasher.hpp"

namespace kp {

void Sha256Hasher::open() {
    algorithm = sys::open_sha256_algorithm();
    if (algorithm)
        hash = sys::create_hash(algorithm);
    ok = static_cast<bool>(algorithm) && static_cast<bool>(hash);
}

void Sha256Hasher::update(const std::uint8_t* bytes, std::uint32_t length) {
    if (ok)
        ok = sys::hash_data(hash, bytes, length);
}

std::u16string Sha256Hasher::finish_hex() {
    Sha256Digest digest{};
    if (!ok || !sys::finish_hash(hash, digest)) {
        ok = false;
        return {};
    }
    static constexpr char16_t digits[] = u"0123456789abcdef";
    std::u16string text;
    for (std::size_t i = 0; i < 16; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return text;
}

} // namespace kp
