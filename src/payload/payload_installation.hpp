// Installing the application carried in app.enc into the install directory.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kp {

inline constexpr std::array<std::u16string_view, 17> STALE_FILES = {
    u"libmpv-2.dll",
    u"libmpv-2.dll.NOTICE.txt",
    u"media_kit_libs_windows_video_plugin.dll",
    u"media_kit_video_plugin.dll",
    u"libEGL.dll",
    u"libGLESv2.dll",
    u"d3dcompiler_47.dll",
    u"vk_swiftshader.dll",
    u"vk_swiftshader_icd.json",
    u"vulkan-1.dll",
    u"pdfium.dll",
    u"whisper_ggml.dll",
    u"record_windows_plugin.dll",
    u"audioplayers_windows_plugin.dll",
    u"local_notifier_plugin.dll",
    u"desktop_drop_plugin.dll",
    u"url_launcher_windows_plugin.dll",
};

// Installs only an archive whose directory can be placed faithfully and that fits with
// FREE_SPACE_MARGIN to spare; stamps only a complete, verified and flushed installation.
void install_payload(const std::u16string& launcher_dir, const std::u16string& install_dir,
                     const std::u16string& application_exe, const std::u16string& build_stamp);

// True when the copy of the archive's root items into destination was requested.
bool extract_zip_with_shell(const std::u16string& zip_path, const std::u16string& destination);

} // namespace kp
