#include "tool_package_append.hpp"

#include "kpack_io.hpp"
#include "progress_bar.hpp"
#include "tool_folder_walk.hpp"
#include "tool_package_writer.hpp"
#include "tools/sha256_hasher.hpp"
#include "tools/tool_package_format.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace kp::pack {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t COPY_CHUNK = 4 * 1024 * 1024;

// Writes OUT and feeds the entry stream to the hasher while it does.
class PackageOutput {
  public:
    explicit PackageOutput(const fs::path& target) : output_(target), buffer_(COPY_CHUNK) { hasher_.open(); }

    bool open(std::string& problem) { return output_.open(problem); }
    bool commit(std::string& problem) { return output_.commit(problem); }
    void keep_permissions_of(const fs::path& source) { output_.keep_permissions_of(source); }

    bool write(const Bytes& bytes, bool hashed, std::string& problem) {
        if (hashed)
            hasher_.update(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return output_.write(bytes.data(), bytes.size(), problem);
    }

    // Copies length bytes of file from offset; a short read means the source changed meanwhile.
    bool copy(const FileHandle& file, std::uint64_t offset, std::uint64_t length, bool hashed,
              ProgressBar& bar, std::uint64_t& written, std::string& read_problem,
              std::string& write_problem) {
        if (!sys::seek_file(file, offset)) {
            read_problem = "cannot be read";
            return false;
        }
        while (length != 0) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, buffer_.size()));
            std::uint32_t done = 0;
            if (!sys::read_file(file, buffer_.data(), chunk, done) || done != chunk) {
                read_problem = "cannot be read in full (did it change while kpack ran?)";
                return false;
            }
            if (hashed)
                hasher_.update(buffer_.data(), chunk);
            if (!output_.write(buffer_.data(), chunk, write_problem))
                return false;
            length -= chunk;
            written += chunk;
            bar.update(written);
        }
        return true;
    }

    std::string identifier() { return utf16_to_utf8(hasher_.finish_hex()); }

  private:
    AtomicOutput output_;
    Sha256Hasher hasher_;
    Bytes buffer_;
};

bool ends_in_trailer_magic(const FileHandle& file, std::uint64_t content_end) {
    std::array<std::uint8_t, 8> magic{};
    std::uint32_t done = 0;
    return content_end >= TOOL_PACKAGE_TRAILER_SIZE &&
           sys::seek_file(file, content_end - TOOL_PACKAGE_TRAILER_SIZE) &&
           sys::read_file(file, magic.data(), 8, done) && done == 8 &&
           std::memcmp(magic.data(), TOOL_PACKAGE_MAGIC.data(), 8) == 0;
}

// How many bytes of HOST go into OUT; 0 with a message when HOST is refused.
int host_length(const AppendRequest& request, const FileHandle& host, std::uint64_t size,
                std::uint64_t& length) {
    if (find_content_end(host, size) != size)
        return fail(request.host,
                    "ends in a certificate table (it is signed); append the tool package to the "
                    "unsigned file and sign afterwards");
    const auto trailer = read_tool_package_trailer(host, size);
    if (!trailer) {
        if (ends_in_trailer_magic(host, size))
            return fail(request.host,
                        "ends in a damaged tool package trailer; cannot tell where its own bytes end");
        length = size;
        return 0;
    }
    if (!request.replace)
        return fail(request.host, "already carries a tool package; use --replace to replace it");
    length = trailer->package_offset;
    return 0;
}

int write_package(const AppendRequest& request, FileHandle& host, std::uint64_t host_bytes,
                  const std::vector<SourceFile>& files) {
    std::uint64_t total = host_bytes;
    for (const SourceFile& file : files)
        total += file.size;
    ProgressBar bar("kpack: writing", total);
    PackageOutput out(request.output);
    std::string problem;
    std::string read_problem;
    std::uint64_t written = 0;
    out.keep_permissions_of(request.host);
    if (!out.open(problem))
        return fail(request.output, problem);
    if (!out.copy(host, 0, host_bytes, false, bar, written, read_problem, problem))
        return read_problem.empty() ? fail(request.output, problem) : fail(request.host, read_problem);
    // OUT may be the host itself, and Windows renames nothing over a file that is open.
    host.reset();
    std::uint64_t stream_size = 0;
    for (const SourceFile& file : files) {
        std::u16string system_path;
        std::uint64_t size = 0;
        FileHandle source;
        if (system_form(file.path, system_path))
            source = sys::open_file_for_streaming(system_path);
        if (!source || !sys::file_size(source, size))
            return fail(file.path, open_failure_reason(file.path));
        if (size != file.size)
            return fail(file.path, "changed size while kpack ran");
        const Bytes header = entry_header(file.name, file.size);
        if (!out.write(header, true, problem))
            return fail(request.output, problem);
        if (!out.copy(source, 0, file.size, true, bar, written, read_problem, problem))
            return read_problem.empty() ? fail(request.output, problem) : fail(file.path, read_problem);
        stream_size += header.size() + file.size;
    }
    const std::string identifier = out.identifier();
    if (identifier.size() != 32)
        return fail(request.output, "cannot be finished: the SHA-256 of the package failed");
    const Bytes padding(padding_before_trailer(host_bytes + stream_size), 0);
    const Bytes trailer = build_trailer(host_bytes, stream_size, identifier);
    if (!out.write(padding, false, problem) || !out.write(trailer, false, problem) || !out.commit(problem))
        return fail(request.output, problem);
    return 0;
}

} // namespace

int append_tool_package_file(const AppendRequest& request) {
    std::error_code error;
    if (!fs::is_directory(request.directory, error))
        return fail(request.directory, error ? error.message() : "not a directory");
    Refusal refusal;
    const auto files = collect_tool_files(request.directory, refusal);
    if (!files)
        return fail(refusal.path, refusal.problem);
    std::string problem;
    std::uint64_t size = 0;
    FileHandle host = open_input(request.host, size, problem);
    if (!host)
        return fail(request.host, problem);
    std::uint64_t host_bytes = 0;
    if (const int refused = host_length(request, host, size, host_bytes); refused != 0)
        return refused;
    return write_package(request, host, host_bytes, *files);
}

} // namespace kp::pack
