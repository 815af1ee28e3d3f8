// Process inspection: whether an image runs, and the image of this process's parent.
#include "launcher/process_inspection.hpp"

#include "common/text.hpp"

#include "platform/platform.hpp"

namespace kp {

namespace {

// Snapshot names are compared cheaply first: only the ASCII letters fold.
bool equal_ascii_ignoring_case(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    }
    return true;
}

std::u16string_view file_name_of(const std::u16string& path) {
    const std::size_t separator = path.rfind(u'\\');
    return separator == std::u16string::npos ? std::u16string_view(path)
                                             : std::u16string_view(path).substr(separator + 1);
}

bool runs_from(std::uint32_t process_id, const std::u16string& image_path) {
    const ProcessHandle process = sys::open_process_for_query(process_id);
    if (!process)
        return false;
    std::u16string image;
    return sys::query_process_image(process, image) && sys::equal_ignoring_case(image, image_path);
}

std::uint32_t parent_process_id() {
    const std::uint32_t own_id = sys::current_process_id();
    const SnapshotHandle snapshot = sys::snapshot_processes();
    if (!snapshot)
        return 0;
    ProcessEntry entry;
    for (bool more = sys::first_process(snapshot, entry); more; more = sys::next_process(snapshot, entry)) {
        if (entry.process_id == own_id)
            return entry.parent_process_id;
    }
    return 0;
}

} // namespace

bool is_image_running(const std::u16string& image_path) {
    const std::u16string_view file_name = file_name_of(image_path);
    const SnapshotHandle snapshot = sys::snapshot_processes();
    if (!snapshot)
        return false;
    ProcessEntry entry;
    for (bool more = sys::first_process(snapshot, entry); more; more = sys::next_process(snapshot, entry)) {
        // Processes of other file names are never opened.
        if (equal_ascii_ignoring_case(entry.exe_file, file_name) && runs_from(entry.process_id, image_path))
            return true;
    }
    return false;
}

std::u16string parent_image_path() {
    const std::uint32_t parent_id = parent_process_id();
    if (parent_id == 0)
        return {};
    const ProcessHandle parent = sys::open_process_for_query(parent_id);
    if (!parent)
        return {};
    std::u16string image;
    if (!sys::query_process_image(parent, image))
        return {};
    return image;
}

} // namespace kp
