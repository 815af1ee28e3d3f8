// Names of the install directory layout and of the files beside the launcher. Each suffix carries
// its own leading backslash and is appended to a directory path without a trailing one.
#pragma once

#include "build_config.hpp"

#include <string_view>

namespace kp {

inline constexpr std::u16string_view APPLICATION_SUFFIX = u"\\kestrin_pad.exe";
inline constexpr std::u16string_view BUILD_STAMP_SUFFIX = u"\\.kp_build";
inline constexpr std::u16string_view APP_ENC_SUFFIX = u"\\app.enc";

inline constexpr std::u16string_view TOOLS_SUFFIX = u"\\ai";
inline constexpr std::u16string_view STAGING_SUFFIX = u"\\ai.new";
inline constexpr std::u16string_view PREVIOUS_SUFFIX = u"\\ai.old";
inline constexpr std::u16string_view TOOLS_MARKER_SUFFIX = u"\\.kp_ai";
inline constexpr std::u16string_view COMPLETENESS_PROBE_SUFFIX = u"\\onnxruntime.dll";

inline constexpr std::u16string_view TOOLS_MUTEX_PREFIX = u"Local\\KP_SmartToolsUnpack_";

} // namespace kp
