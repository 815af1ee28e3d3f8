#include "tools/tool_slot_rotation.hpp"

#include "common/durable_file.hpp"
#include "common/file_io.hpp"
#include "common/install_layout.hpp"
#include "tools/tool_package_format.hpp"
#include "tools/tool_package_unpack.hpp"
#include "ui/progress_window.hpp"

#include <algorithm>

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

enum class Window { absent, shown };

// With the window up, its messages are handled before and after every slice of the wait, so
// that it stays painted and answers while a rename is retried.
void wait_before_retry(std::uint32_t milliseconds, Window window) {
    if (window == Window::absent) {
        sys::sleep_ms(milliseconds);
        return;
    }
    while (milliseconds > 0) {
        pump_messages();
        const std::uint32_t slice = std::min(milliseconds, WINDOW_PUMP_INTERVAL_MS);
        sys::sleep_ms(slice);
        milliseconds -= slice;
    }
    pump_messages();
}

// Tries the rename again, with growing waits, while it fails in a way that may pass and the
// waiting so far is below the patience; true when it was made.
bool move_patiently(const std::u16string& from, const std::u16string& to, std::uint32_t patience_ms,
                    Window window) {
    std::uint32_t waited = 0;
    std::uint32_t next_wait = RENAME_FIRST_WAIT_MS;
    MoveResult result = sys::move_path(from, to);
    while (result == MoveResult::busy && waited < patience_ms) {
        const std::uint32_t wait = std::min(next_wait, patience_ms - waited);
        wait_before_retry(wait, window);
        waited += wait;
        next_wait = std::min(2 * next_wait, RENAME_LONGEST_WAIT_MS);
        result = sys::move_path(from, to);
    }
    return result == MoveResult::moved;
}

// The restores' results matter only for the retry: a later existence test decides.
void restore_previous(const ToolSlots& slots, Window window) {
    move_patiently(slots.previous, slots.tools, ASIDE_RENAME_PATIENCE_MS, window);
}

// A rotation stopped after the live set was moved aside gets it back; one stopped after the new
// set was published loses the old one.
void recover_interrupted_rotation(const ToolSlots& slots) {
    if (!exists(slots.tools) && exists(slots.previous))
        restore_previous(slots, Window::absent);
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
        !sys::flush_tree(slots.staging) ||
        !move_patiently(slots.staging, slots.tools, PUBLISHING_RENAME_PATIENCE_MS, Window::shown))
        return false;
    if (sys::flush_directory(slots.install))
        delete_tree(slots.previous);
    return true;
}

void give_up(const ToolSlots& slots, bool tools_existed) {
    delete_tree(slots.staging);
    if (tools_existed && !exists(slots.tools))
        restore_previous(slots, Window::shown);
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
    if (tools_existed &&
        !move_patiently(slots.tools, slots.previous, ASIDE_RENAME_PATIENCE_MS, Window::absent))
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
