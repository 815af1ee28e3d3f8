// AES-256-CBC and SHA-256 through CNG.
#include "platform/backend.hpp"
#include "win32_util.hpp"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>

namespace kp::win32 {

namespace {

bool succeeded(NTSTATUS status) {
    return status == 0;
}

// The CBC key object sequence: provider, chaining mode, key; released in reverse.
class AesKey {
  public:
    explicit AesKey(const std::array<std::uint8_t, 32>& key) {
        if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
            algorithm_ = nullptr;
            return;
        }
        BCryptSetProperty(algorithm_, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                          sizeof(BCRYPT_CHAIN_MODE_CBC), 0);
        if (!succeeded(BCryptGenerateSymmetricKey(algorithm_, &key_, nullptr, 0,
                                                  const_cast<PUCHAR>(key.data()),
                                                  static_cast<ULONG>(key.size()), 0)))
            key_ = nullptr;
    }
    ~AesKey() {
        if (key_ != nullptr)
            BCryptDestroyKey(key_);
        if (algorithm_ != nullptr)
            BCryptCloseAlgorithmProvider(algorithm_, 0);
    }
    AesKey(const AesKey&) = delete;
    AesKey& operator=(const AesKey&) = delete;

    BCRYPT_KEY_HANDLE get() const { return key_; }

  private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
};

using CipherCall = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE, PUCHAR, ULONG, VOID*, PUCHAR, ULONG, PUCHAR, ULONG,
                                     ULONG*, ULONG);

// One whole buffer in one call with block padding: a size query first, then the real call, each
// starting from the stored IV since the provider advances the working IV in place. Either way
// may run in place (output the same buffer as input): the provider allows it, and the buffer
// grows to the size the output needs first, which keeps the input as its first bytes.
bool run_cipher(CipherCall call, const Bytes& input, const std::array<std::uint8_t, 32>& key,
                const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    if (input.size() > 0xFFFFFFFFu)
        return false;
    AesKey aes(key);
    if (aes.get() == nullptr)
        return false;
    const auto input_size = static_cast<ULONG>(input.size());
    UCHAR working_iv[16];
    std::memcpy(working_iv, iv.data(), sizeof working_iv);
    ULONG needed = 0;
    call(aes.get(), const_cast<PUCHAR>(input.data()), input_size, nullptr, working_iv, sizeof working_iv,
         nullptr, 0, &needed, BCRYPT_BLOCK_PADDING);
    output.resize(&input == &output ? std::max<std::size_t>(needed, input_size) : needed);
    auto* input_bytes = const_cast<PUCHAR>(input.data()); // after the resize: in place it may move
    std::memcpy(working_iv, iv.data(), sizeof working_iv);
    ULONG produced = 0;
    if (!succeeded(call(aes.get(), input_bytes, input_size, nullptr, working_iv, sizeof working_iv,
                        output.data(), needed, &produced, BCRYPT_BLOCK_PADDING)))
        return false;
    output.resize(produced);
    return true;
}

} // namespace

bool aes256_cbc_decrypt(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    return run_cipher(BCryptDecrypt, input, key, iv, output);
}

bool aes256_cbc_encrypt(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    return run_cipher(BCryptEncrypt, input, key, iv, output);
}

HashAlgorithmHandle open_sha256_algorithm() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return {};
    return HashAlgorithmHandle(reinterpret_cast<std::uintptr_t>(algorithm));
}

HashHandle create_hash(const HashAlgorithmHandle& algorithm) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!succeeded(BCryptCreateHash(reinterpret_cast<BCRYPT_ALG_HANDLE>(algorithm.raw()), &hash, nullptr, 0,
                                    nullptr, 0, 0)))
        return {};
    return HashHandle(reinterpret_cast<std::uintptr_t>(hash));
}

bool hash_data(const HashHandle& hash, const std::uint8_t* data, std::uint32_t size) {
    return succeeded(
        BCryptHashData(reinterpret_cast<BCRYPT_HASH_HANDLE>(hash.raw()), const_cast<PUCHAR>(data), size, 0));
}

bool finish_hash(const HashHandle& hash, Sha256Digest& digest) {
    return succeeded(BCryptFinishHash(reinterpret_cast<BCRYPT_HASH_HANDLE>(hash.raw()), digest.data(),
                                      static_cast<ULONG>(digest.size()), 0));
}

} // namespace kp::win32
