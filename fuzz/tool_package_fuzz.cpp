// Fuzzes the reading of whole host images: the content end, the trailer and, when one is found,
// every entry of the stream checked as the launcher's unpacker checks it (nothing is written).
// The image stays in memory: the seam's file calls are served from it through the test binding.
#include "platform/backend.hpp"
#include "support/fault_binding.hpp"
#include "tool_package_check.hpp"
#include "tools/tool_package_format.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct MemoryImage {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
};

MemoryImage image;

void serve_files_from_memory() {
    kp::fault::seek_file = [](const kp::FileHandle&, std::uint64_t offset) {
        image.position = offset;
        return true;
    };
    kp::fault::read_file = [](const kp::FileHandle&, void* buffer, std::uint32_t size, std::uint32_t& done) {
        done = 0;
        if (image.position < image.size) {
            const std::uint64_t available = image.size - image.position;
            done = static_cast<std::uint32_t>(available < size ? available : size);
            std::memcpy(buffer, image.data + image.position, done);
            image.position += done;
        }
        return true;
    };
    kp::fault::close_handle = [](kp::HandleKind kind, std::uintptr_t raw) {
        if (kind != kp::HandleKind::file)
            kp::backend::close_handle(kind, raw);
    };
}

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// start + length <= bound, computed without wrapping (independently of the reader's own check).
bool within(std::uint64_t start, std::uint64_t length, std::uint64_t bound) {
    return static_cast<unsigned __int128>(start) + length <= bound;
}

void check_entry(const kp::ToolPackageEntry& entry, std::uint64_t offset,
                 const kp::ToolPackageTrailer& trailer) {
    require(kp::is_valid_name_size(entry.name_size));
    require(entry.name.size() * 2 == entry.name_size);
    require(kp::is_acceptable_entry_name(entry.name));
    require(offset >= trailer.package_offset);
    const std::uint64_t stream_end = trailer.package_offset + trailer.package_size;
    require(within(offset, 12 + std::uint64_t{entry.name_size}, stream_end));
    require(within(offset + 12 + entry.name_size, entry.data_size, stream_end));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (serve_files_from_memory(), true);
    (void)ready;
    image = MemoryImage{data, size, 0};
    const kp::FileHandle file(1);

    const std::uint64_t content_end = kp::find_content_end(file, size);
    require(content_end <= size);
    const auto trailer = kp::read_tool_package_trailer(file, size);
    if (!trailer)
        return 0;
    require(content_end >= kp::TOOL_PACKAGE_TRAILER_SIZE);
    require(trailer->package_size != 0);
    require(
        within(trailer->package_offset, trailer->package_size, content_end - kp::TOOL_PACKAGE_TRAILER_SIZE));
    require(trailer->package_id.size() == 32);
    require(std::memcmp(data + content_end - kp::TOOL_PACKAGE_TRAILER_SIZE, "KPAIPAK1", 8) == 0);

    const auto check = kp::pack::check_tool_package(
        file, *trailer, [&](const kp::ToolPackageEntry& entry, std::uint64_t offset) {
            check_entry(entry, offset, *trailer);
        });
    if (check.problem == kp::EntryProblem::none && !check.data_unreadable)
        require(check.computed_id.size() == 32);
    return 0;
}
