#include "tool_package_check.hpp"

#include "tool_package_writer.hpp"
#include "tool_set_rules.hpp"
#include "tools/sha256_hasher.hpp"

#include <algorithm>

namespace kp::pack {

namespace {

constexpr std::uint32_t CHECK_BUFFER_SIZE = 1024 * 1024;

// Hashes data_size bytes from the current file position; false when they do not all come.
bool hash_data(const FileHandle& file, std::uint64_t data_size, Bytes& buffer, Sha256Hasher& hasher,
               std::uint64_t& position, const ToolPackageTrailer& trailer,
               const ProgressVisitor& on_progress) {
    while (data_size != 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(data_size, buffer.size()));
        std::uint32_t done = 0;
        if (!sys::read_file(file, buffer.data(), chunk, done) || done != chunk)
            return false;
        hasher.update(buffer.data(), chunk);
        data_size -= chunk;
        position += chunk;
        if (on_progress)
            on_progress(position - trailer.package_offset, trailer.package_size);
    }
    return true;
}

} // namespace

PackageCheck check_tool_package(const FileHandle& file, const ToolPackageTrailer& trailer,
                                const EntryVisitor& on_entry, const ProgressVisitor& on_progress) {
    PackageCheck result;
    Sha256Hasher hasher;
    hasher.open();
    Bytes buffer(std::min<std::uint64_t>(CHECK_BUFFER_SIZE, trailer.package_size)); // no more than the stream
    const std::uint64_t stream_end = trailer.package_offset + trailer.package_size;
    std::uint64_t position = trailer.package_offset;
    while (position < stream_end) {
        ToolPackageEntry entry;
        std::uint64_t data_start = 0;
        result.problem = read_tool_package_entry(file, position, stream_end, entry, data_start);
        if (result.problem != EntryProblem::none) {
            result.problem_offset = position;
            return result;
        }
        if (on_entry)
            on_entry(entry, position);
        ++result.entry_count;
        const Bytes header = entry_header(entry.name, entry.data_size);
        hasher.update(header.data(), static_cast<std::uint32_t>(header.size()));
        position = data_start;
        if (!sys::seek_file(file, data_start) ||
            !hash_data(file, entry.data_size, buffer, hasher, position, trailer, on_progress)) {
            result.data_unreadable = true;
            result.problem_offset = data_start;
            return result;
        }
    }
    result.computed_id = hasher.finish_hex();
    result.verified = result.computed_id.size() == 32 && result.computed_id == trailer.package_id;
    return result;
}

std::string describe(const ToolPackageEntry& entry, EntryProblem problem) {
    switch (problem) {
    case EntryProblem::none:
        return "accepted";
    case EntryProblem::unreadable:
        return "its head cannot be read in full";
    case EntryProblem::bad_name_size:
        return "name_size " + std::to_string(entry.name_size) + " is not an even number from 2 to 2046";
    case EntryProblem::refused_name:
    case EntryProblem::device_name:
        return "\"" + utf16_to_utf8(entry.name) + "\": " + launcher_refusal(entry.name);
    case EntryProblem::beyond_stream:
        return "it reaches beyond the end of the entry stream (data_size " + std::to_string(entry.data_size) +
               ")";
    }
    return "refused";
}

} // namespace kp::pack
