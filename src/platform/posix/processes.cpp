// PLACEHOLDER: replaced by the process inspection work.
#include "native_path.hpp"
#include "platform/backend.hpp"

namespace kp::posix {
bool start_process(const std::u16string&, const std::u16string&, const std::u16string&) { return false; }
SnapshotHandle snapshot_processes() { return {}; }
bool first_process(const SnapshotHandle&, ProcessEntry&) { return false; }
bool next_process(const SnapshotHandle&, ProcessEntry&) { return false; }
ProcessHandle open_process_for_query(std::uint32_t) { return {}; }
bool query_process_image(const ProcessHandle&, std::u16string&) { return false; }
bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) { return a == b; }
void release_snapshot(std::uintptr_t) {}
} // namespace kp::posix
