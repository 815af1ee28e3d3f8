// AES-256-CBC and SHA-256 through CNG, from bcrypt.dll loaded out of System32 when first needed.
#include "cng.hpp"
#include "platform/backend.hpp"
#include "platform/system_library.hpp"
#include "win32_util.hpp"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace kp::win32 {

namespace {

bool succeeded(NTSTATUS status) {
    return status == 0;
}

// The CNG functions the launcher calls; all present or the table counts as missing.
struct Cng {
    decltype(&BCryptOpenAlgorithmProvider) open_algorithm_provider;
    decltype(&BCryptCloseAlgorithmProvider) close_algorithm_provider;
    decltype(&BCryptSetProperty) set_property;
    decltype(&BCryptGenerateSymmetricKey) generate_symmetric_key;
    decltype(&BCryptDestroyKey) destroy_key;
    decltype(&BCryptDecrypt) decrypt;
    decltype(&BCryptEncrypt) encrypt;
    decltype(&BCryptCreateHash) create_hash;
    decltype(&BCryptHashData) hash_data;
    decltype(&BCryptFinishHash) finish_hash;
    decltype(&BCryptDestroyHash) destroy_hash;

    bool complete() const {
        return open_algorithm_provider && close_algorithm_provider && set_property &&
               generate_symmetric_key && destroy_key && decrypt && encrypt && create_hash && hash_data &&
               finish_hash && destroy_hash;
    }
};

SystemLibrary bcrypt(L"bcrypt.dll");
Cng cng_table{};
bool cng_looked_up = false;

Cng look_up_cng() {
    return Cng{bcrypt.function<decltype(Cng::open_algorithm_provider)>("BCryptOpenAlgorithmProvider"),
               bcrypt.function<decltype(Cng::close_algorithm_provider)>("BCryptCloseAlgorithmProvider"),
               bcrypt.function<decltype(Cng::set_property)>("BCryptSetProperty"),
               bcrypt.function<decltype(Cng::generate_symmetric_key)>("BCryptGenerateSymmetricKey"),
               bcrypt.function<decltype(Cng::destroy_key)>("BCryptDestroyKey"),
               bcrypt.function<decltype(Cng::decrypt)>("BCryptDecrypt"),
               bcrypt.function<decltype(Cng::encrypt)>("BCryptEncrypt"),
               bcrypt.function<decltype(Cng::create_hash)>("BCryptCreateHash"),
               bcrypt.function<decltype(Cng::hash_data)>("BCryptHashData"),
               bcrypt.function<decltype(Cng::finish_hash)>("BCryptFinishHash"),
               bcrypt.function<decltype(Cng::destroy_hash)>("BCryptDestroyHash")};
}

// Looked up on first use and kept; null when bcrypt.dll or one of its functions cannot be had,
// so that the step needing it fails as that step's failure rule says.
const Cng* cng() {
    if (!cng_looked_up) {
        cng_looked_up = true;
        cng_table = look_up_cng();
    }
    return cng_table.complete() ? &cng_table : nullptr;
}

// The CBC key object sequence: provider, chaining mode, key; released in reverse.
class AesKey {
  public:
    AesKey(const Cng& cng, const std::array<std::uint8_t, 32>& key) : cng_(cng) {
        if (!succeeded(cng.open_algorithm_provider(&algorithm_, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
            algorithm_ = nullptr;
            return;
        }
        cng.set_property(algorithm_, BCRYPT_CHAINING_MODE,
                         reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                         sizeof(BCRYPT_CHAIN_MODE_CBC), 0);
        if (!succeeded(cng.generate_symmetric_key(algorithm_, &key_, nullptr, 0,
                                                  const_cast<PUCHAR>(key.data()),
                                                  static_cast<ULONG>(key.size()), 0)))
            key_ = nullptr;
    }
    ~AesKey() {
        if (key_ != nullptr)
            cng_.destroy_key(key_);
        if (algorithm_ != nullptr)
            cng_.close_algorithm_provider(algorithm_, 0);
    }
    AesKey(const AesKey&) = delete;
    AesKey& operator=(const AesKey&) = delete;

    BCRYPT_KEY_HANDLE get() const { return key_; }

  private:
    const Cng& cng_;
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
};

using CipherCall = decltype(Cng::decrypt);
static_assert(std::is_same_v<CipherCall, decltype(Cng::encrypt)>);

// One whole buffer in one call with block padding: a size query first, then the real call, each
// starting from the stored IV since the provider advances the working IV in place. Either way
// may run in place (output the same buffer as input): the provider allows it, and the buffer
// grows to the size the output needs first, which keeps the input as its first bytes.
bool run_cipher(CipherCall Cng::*which, const Bytes& input, const std::array<std::uint8_t, 32>& key,
                const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    const Cng* functions = cng();
    if (functions == nullptr || input.size() > 0xFFFFFFFFu)
        return false;
    const CipherCall call = functions->*which;
    AesKey aes(*functions, key);
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
    return run_cipher(&Cng::decrypt, input, key, iv, output);
}

bool aes256_cbc_encrypt(const Bytes& input, const std::array<std::uint8_t, 32>& key,
                        const std::array<std::uint8_t, 16>& iv, Bytes& output) {
    return run_cipher(&Cng::encrypt, input, key, iv, output);
}

HashAlgorithmHandle open_sha256_algorithm() {
    const Cng* functions = cng();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (functions == nullptr ||
        !succeeded(functions->open_algorithm_provider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return {};
    return HashAlgorithmHandle(reinterpret_cast<std::uintptr_t>(algorithm));
}

// The calls below are made only with handles that came from a complete table.
HashHandle create_hash(const HashAlgorithmHandle& algorithm) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!succeeded(cng()->create_hash(reinterpret_cast<BCRYPT_ALG_HANDLE>(algorithm.raw()), &hash, nullptr, 0,
                                      nullptr, 0, 0)))
        return {};
    return HashHandle(reinterpret_cast<std::uintptr_t>(hash));
}

bool hash_data(const HashHandle& hash, const std::uint8_t* data, std::uint32_t size) {
    return succeeded(cng()->hash_data(reinterpret_cast<BCRYPT_HASH_HANDLE>(hash.raw()),
                                      const_cast<PUCHAR>(data), size, 0));
}

bool finish_hash(const HashHandle& hash, Sha256Digest& digest) {
    return succeeded(cng()->finish_hash(reinterpret_cast<BCRYPT_HASH_HANDLE>(hash.raw()), digest.data(),
                                        static_cast<ULONG>(digest.size()), 0));
}

void close_algorithm_provider(std::uintptr_t raw) {
    cng()->close_algorithm_provider(reinterpret_cast<BCRYPT_ALG_HANDLE>(raw), 0);
}

void destroy_hash(std::uintptr_t raw) {
    cng()->destroy_hash(reinterpret_cast<BCRYPT_HASH_HANDLE>(raw));
}

} // namespace kp::win32
