// The OpenSSL functions the POSIX backend calls, from libcrypto loaded on first use: a launch
// with nothing to decrypt or hash never maps it.
#pragma once

#include "shared_library.hpp"

#include <openssl/evp.h>
#include <openssl/opensslv.h>

namespace kp::posix {

#define KP_LIBCRYPTO_FUNCTIONS(X)                                                                            \
    X(EVP_CIPHER_CTX_new)                                                                                    \
    X(EVP_CIPHER_CTX_free)                                                                                   \
    X(EVP_CipherInit_ex)                                                                                     \
    X(EVP_CipherUpdate)                                                                                      \
    X(EVP_CipherFinal_ex)                                                                                    \
    X(EVP_aes_256_cbc)                                                                                       \
    X(EVP_MD_fetch)                                                                                          \
    X(EVP_MD_free)                                                                                           \
    X(EVP_MD_CTX_new)                                                                                        \
    X(EVP_MD_CTX_free)                                                                                       \
    X(EVP_DigestInit_ex)                                                                                     \
    X(EVP_DigestUpdate)                                                                                      \
    X(EVP_DigestFinal_ex)

struct Libcrypto {
    KP_LIBCRYPTO_FUNCTIONS(KP_DECLARE_FUNCTION_POINTER)
};

// Loaded at the first call; null when the library or one of its functions is missing, which
// fails the step that asked as any failure of the cipher or the hash does.
const Libcrypto* libcrypto();

} // namespace kp::posix
