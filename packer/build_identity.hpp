// kpack --version: which launcher build this kpack makes app.enc for.
#pragma once

#include <string>

namespace kp::pack {

// The first 16 hexadecimal digits of the SHA-256 of outer key, outer IV, inner key and inner IV
// as compiled in; it tells builds apart without showing the keys. Empty when hashing fails.
std::string payload_key_fingerprint();

// Prints the build identifier, the install folder name and the key fingerprint; 0 on success.
int print_build_identity();

} // namespace kp::pack
