// PLACEHOLDER: replaced by the tool package format work.
#include "tools/tool_package_format.hpp"

namespace kp {
std::uint64_t find_content_end(const FileHandle&, std::uint64_t file_size) { return file_size; }
std::optional<ToolPackageTrailer> read_tool_package_trailer(const FileHandle&, std::uint64_t) { return {}; }
bool is_valid_name_size(std::uint32_t) { return false; }
bool is_acceptable_entry_name(std::u16string_view) { return false; }
bool fits_before(std::uint64_t, std::uint64_t, std::uint64_t) { return false; }
} // namespace kp
