#include "tools/tool_slot_rotation.hpp"

#include "common/durable_file.hpp"
#include "common/file_io.hpp"
#include "common/install_layout.hpp"
#include "tools/tool_package_format.hpp"
#include "tools/tool_package_unpack.hpp"
#include "ui/progress_window.hpp"

namespace kp {

namespace {

struct ToolSlots {
    std::u16string install;
    std::u16string tools;
    std::u16string staging;
    std::u16string previous;
};

ToolSlots tool_slots(const std::u16string& install_dir) {
    return {install_dir, install_dir + std::u16string(TOOLS_SUFFIX),
            install_dir + std::u16string(STAGING_SUFFIX), install_dir + std::u16string(PREVIOUS_SUFFIX)};
}

// A rotation stopped after the live set was moved aside gets it back; one stopped after the new
// set was published loses the old one.
void recover_interrupted_rotation(const ToolSlots& slots) {
    if (!exists(slots.tools) && exists(slots.previous))
        sys::move_path(slots.previous, slots.tools);
    if (exists(slots.tools) && exists(slots.previous))
        delete_tree(slots.previous);
}

bool is_tool_set_current(const ToolSlots& slots, const std::u16string& package_id) {
    return read_text_file(slots.tools + std::u16string(TOOLS_MARKER_SUFFIX)) == package_id &&
           exists(slots.tools + std::u16string(COMPLETENESS_PROBE_SUFFIX));
}

bool has_room_for(const std::u16string& install_dir, std::uint64_t package_size) {
    std::uint64_t free_bytes = 0;
    return sys::free_bytes_available(install_dir, free_bytes) &&
           fits_before(package_size, FREE_SPACE_MARGIN, free_bytes);
}

// The marker goes into the staging directory, which then becomes the live set in one rename.
// Everything the rename vouches for (every file's data, the marker, every directory's entries)
// is on stable storage before it. The old set goes only once the rename itself is durable; if
// that flush fails it stays aside, and the next run deletes it.
bool publish(const ToolSlots& slots, const std::u16string& package_id) {
    if (!write_file_bytes_flushed(slots.staging + std::u16string(TOOLS_MARKER_SUFFIX),
                                  utf16le_bytes(package_id), FlushWait::started) ||
        !sys::flush_tree(slots.staging) || !sys::move_path(slots.staging, slots.tools))
        return false;
    if (sys::flush_directory(slots.install))
        delete_tree(slots.previous);
    return true;
}

void give_up(const ToolSlots& slots, bool tools_existed) {
    delete_tree(slots.staging);
    if (tools_existed && !exists(slots.tools))
        sys::move_path(slots.previous, slots.tools);
}

} // namespace

void refresh_tools(const std::u16string& host_image_path, const std::u16string& install_dir) {
    FileHandle host = sys::open_file_for_streaming(host_image_path);
    if (!host)
        return;
    std::uint64_t host_size = 0;
    if (!sys::file_size(host, host_size))
        return;
    const std::optional<ToolPackageTrailer> trailer = read_tool_package_trailer(host, host_size);
    if (!trailer)
        return;

    const ToolSlots slots = tool_slots(install_dir);
    recover_interrupted_rotation(slots);
    if (is_tool_set_current(slots, trailer->package_id))
        return;

    delete_tree(slots.staging);
    delete_tree(slots.previous);
    sys::create_directory(install_dir);
    if (!has_room_for(install_dir, trailer->package_size))
        return;
    const bool tools_existed = exists(slots.tools);
    if (tools_existed && !sys::move_path(slots.tools, slots.previous))
        return;
    sys::create_directory(slots.staging);

    const WindowHandle window = open_progress_window();
    const bool unpacked = unpack_tool_package(host, *trailer, slots.staging);
    host.reset();
    if (!unpacked || !publish(slots, trailer->package_id))
        give_up(slots, tools_existed);
    close_progress_window(window);
}

void delete_tree(const std::u16string& path) {
    if (exists(path))
        sys::shell_delete(path);
}

} // namespace kp
