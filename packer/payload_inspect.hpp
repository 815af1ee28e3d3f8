// kpack payload inspect: app.enc decrypted in memory with this build's keys, and its archive's
// root items.
#pragma once

#include <filesystem>

namespace kp::pack {

// Prints the report (text, or one JSON object); 0 only when app.enc decrypts to an archive
// whose root holds kestrin_pad.exe.
int inspect_payload(const std::filesystem::path& app_enc, bool json);

} // namespace kp::pack
