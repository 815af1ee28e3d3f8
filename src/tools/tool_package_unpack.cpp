#include "tools/tool_package_unpack.hpp"

#include "common/text.hpp"
#include "tools/sha256_hasher.hpp"
#include "ui/progress_window.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>

namespace kp {

namespace {

constexpr std::uint64_t NO_BOUND = std::numeric_limits<std::uint64_t>::max();

std::uint32_t progress_permille(std::uint64_t consumed, std::uint64_t total) {
    return static_cast<std::uint32_t>(static_cast<unsigned __int128>(consumed) * 1000 / total);
}

struct StreamState {
    std::uint64_t package_offset = 0;
    std::uint64_t package_size = 0;
    std::uint64_t position = 0;
    std::uint64_t end = 0;
    std::uint32_t buffer_size = 0; // the copy buffer: no larger than the package
};

// Copies data_size bytes from the host's current position to the target, hashing what both
// read and write in full, reporting progress after every chunk. False on the first failed chunk.
bool copy_entry_data(const FileHandle& host, const FileHandle& target, std::uint64_t data_size,
                     std::uint8_t* buffer, Sha256Hasher& hasher, StreamState& stream) {
    std::uint64_t remaining = data_size;
    while (remaining != 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, stream.buffer_size));
        std::uint32_t read = 0;
        std::uint32_t written = 0;
        const bool chunk_ok = sys::read_file(host, buffer, chunk, read) && read == chunk &&
                              sys::write_file(target, buffer, chunk, written) && written == chunk;
        if (chunk_ok)
            hasher.update(buffer, chunk);
        remaining -= chunk;
        stream.position += chunk;
        set_progress_permille(
            progress_permille(stream.position - stream.package_offset, stream.package_size));
        pump_messages();
        if (!chunk_ok)
            return false;
    }
    return true;
}

void hash_entry_head(Sha256Hasher& hasher, const ToolPackageEntry& entry) {
    std::array<std::uint8_t, MAX_ENTRY_HEAD_SIZE> head;
    const std::size_t size = encode_tool_package_entry_head(entry.name, entry.data_size, head.data());
    hasher.update(head.data(), static_cast<std::uint32_t>(size));
}

// What one entry needs, kept from entry to entry so that its strings are allocated once.
struct EntryScratch {
    ToolPackageEntry entry;
    std::u16string target_path;
    std::u16string target_directory;
};

// Reads, checks, hashes and writes the entry at stream.position; on success position is its end.
bool unpack_entry(const FileHandle& host, const std::u16string& staging_dir, std::uint8_t* buffer,
                  Sha256Hasher& hasher, StreamState& stream, EntryScratch& scratch) {
    ToolPackageEntry& entry = scratch.entry;
    std::uint64_t data_start = 0;
    if (read_tool_package_entry(host, stream.position, stream.end, entry, data_start) != EntryProblem::none)
        return false;
    stream.position = data_start;
    hash_entry_head(hasher, entry);

    std::u16string& target_path = scratch.target_path;
    target_path.assign(staging_dir).append(u"\\").append(entry.name);
    scratch.target_directory.assign(target_path, 0, target_path.rfind(u'\\'));
    sys::create_directory(scratch.target_directory); // one level; may exist
    FileHandle target = sys::create_file_for_writing(target_path);
    if (!target || !sys::seek_file(host, data_start))
        return false;
    // Write-back starts as each file is done; the rotation waits for all of it once.
    return copy_entry_data(host, target, entry.data_size, buffer, hasher, stream) &&
           sys::start_flush(target, entry.data_size);
}

} // namespace

bool unpack_tool_package(const FileHandle& host_file, const ToolPackageTrailer& trailer,
                         const std::u16string& staging_dir) {
    StreamState stream;
    stream.package_offset = trailer.package_offset;
    stream.package_size = trailer.package_size;
    stream.position = trailer.package_offset;
    // A trailer that passed the reader never wraps here; one made by hand is refused.
    if (trailer.package_size == 0 || !fits_before(trailer.package_offset, trailer.package_size, NO_BOUND))
        return false;
    stream.end = trailer.package_offset + trailer.package_size;
    // No entry holds more than the package, so a small package needs no more than its own size.
    stream.buffer_size =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(trailer.package_size, COPY_BUFFER_SIZE));
    const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[stream.buffer_size]);
    if (!buffer)
        return false;

    Sha256Hasher hasher;
    hasher.open();
    if (!hasher.ok)
        return false;
    EntryScratch scratch;
    while (stream.position < stream.end) {
        if (!unpack_entry(host_file, staging_dir, buffer.get(), hasher, stream, scratch))
            return false;
    }
    const std::u16string digest = hasher.finish_hex();
    return digest.size() == 32 && digest == trailer.package_id;
}

} // namespace kp
