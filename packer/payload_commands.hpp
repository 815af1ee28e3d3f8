// kpack payload encrypt and decrypt: making app.enc from the application archive, and undoing it.
#pragma once

#include <filesystem>

namespace kp::pack {

// SOURCE is a zip archive or a folder (see payload_source.hpp); a non-zero result has printed its
// one line and left no output.
int encrypt_payload(const std::filesystem::path& source, const std::filesystem::path& app_enc);
int decrypt_payload_file(const std::filesystem::path& app_enc, const std::filesystem::path& archive);

} // namespace kp::pack
