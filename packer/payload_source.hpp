// The source of kpack payload encrypt: a zip archive, checked before it is encrypted, or a
// folder, zipped by kpack itself and checked the same way.
#pragma once

#include <filesystem>

namespace kp::pack {

// Encrypts one zip archive file into app.enc; a non-zero result has printed its one line.
using ArchiveEncrypter = int (*)(const std::filesystem::path& archive, const std::filesystem::path& app_enc);

int encrypt_from_source(const std::filesystem::path& source, const std::filesystem::path& app_enc,
                        ArchiveEncrypter encrypt);

} // namespace kp::pack
