// AES-256-CBC and SHA-256 on POSIX, from OpenSSL's libcrypto (EVP), loaded on first use; hashing
// runs on a second thread (hash_pipeline.hpp).
#include "hash_pipeline.hpp"
#include "libcrypto.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <climits>
#include <memory>

namespace kp::posix {

static_assert(OPENSSL_VERSION_MAJOR == 3, "OpenSSL 3 has the soname libcrypto.so.3");

const Libcrypto* libcrypto() {
    static const Libcrypto* const loaded = [] {
        static const SharedLibrary library("libcrypto.so.3");
        static Libcrypto functions;
        bool complete = true;
#define KP_RESOLVE(name) complete = library.resolve(functions.name, #name) && complete;
        KP_LIBCRYPTO_FUNCTIONS(KP_RESOLVE)
#undef KP_RESOLVE
        return complete ? &functions : nullptr;
    }();
    return loaded;
}

namespace {

struct CipherContextFree {
    const Libcrypto* crypto;
    void operator()(EVP_CIPHER_CTX* context) const { crypto->EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// One whole buffer through AES-256-CBC with PKCS#7 padding. Either way may run in place (output
// the same buffer as input): the buffer grows by the padding block first, which keeps the input
// as its first bytes, and the cipher reads each block before it writes it.
bool run_cipher(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                const std::array<std::uint8_t, 16>& iv, Bytes& output, bool encrypt) {
    const Libcrypto* crypto = libcrypto();
    if (crypto == nullptr || input.size() > static_cast<std::size_t>(INT_MAX) - 32)
        return false;
    CipherContext context(crypto->EVP_CIPHER_CTX_new(), CipherContextFree{crypto});
    if (!context || crypto->EVP_CipherInit_ex(context.get(), crypto->EVP_aes_256_cbc(), nullptr, key.data(),
                                              iv.data(), encrypt ? 1 : 0) != 1)
        return false;
    const auto input_size = static_cast<int>(input.size());
    output.resize(input.size() + (encrypt ? 16 : 0)); // in place this may move input's bytes too
    int update_length = 0;
    int final_length = 0;
    if (crypto->EVP_CipherUpdate(context.get(), output.data(), &update_length, input.data(), input_size) !=
            1 ||
        crypto->EVP_CipherFinal_ex(context.get(), output.data() + update_length, &final_length) != 1)
        return false;
    output.resize(static_cast<std::size_t>(update_length) + static_cast<std::size_t>(final_length));
    return true;
}

} // namespace

bool aes256_cbc_decrypt(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    return run_cipher(input, key, iv, output, false);
}

bool aes256_cbc_encrypt(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    return run_cipher(input, key, iv, output, true);
}

HashAlgorithmHandle open_sha256_algorithm() {
    const Libcrypto* crypto = libcrypto();
    if (crypto == nullptr)
        return {};
    return HashAlgorithmHandle(
        reinterpret_cast<std::uintptr_t>(crypto->EVP_MD_fetch(nullptr, "SHA256", nullptr)));
}

HashHandle create_hash(const HashAlgorithmHandle& algorithm) {
    return HashHandle(reinterpret_cast<std::uintptr_t>(
        HashPipeline::create(reinterpret_cast<const EVP_MD*>(algorithm.raw())).release()));
}

bool hash_data(const HashHandle& hash, const std::uint8_t* data, std::uint32_t size) {
    return reinterpret_cast<HashPipeline*>(hash.raw())->add(data, size);
}

bool finish_hash(const HashHandle& hash, Sha256Digest& digest) {
    return reinterpret_cast<HashPipeline*>(hash.raw())->finish(digest.data());
}

void release_hash_algorithm(std::uintptr_t raw) {
    libcrypto()->EVP_MD_free(reinterpret_cast<EVP_MD*>(raw)); // only a fetched algorithm comes here
}
void release_hash(std::uintptr_t raw) {
    delete reinterpret_cast<HashPipeline*>(raw);
}

} // namespace kp::posix
