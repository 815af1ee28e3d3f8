// PLACEHOLDER: replaced by the unpacking work.
#include "tools/tool_package_unpack.hpp"

namespace kp {
bool unpack_tool_package(const FileHandle&, const ToolPackageTrailer&, const std::u16string&) { return false; }
} // namespace kp
