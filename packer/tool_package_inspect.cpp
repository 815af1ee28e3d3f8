#include "tool_package_inspect.hpp"

#include "kpack_io.hpp"
#include "progress_bar.hpp"
#include "tool_package_check.hpp"
#include "tool_set_rules.hpp"
#include "tools/tool_package_format.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace kp::pack {

namespace {

std::uint64_t le64_at(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

std::string id_text(std::u16string_view id) {
    std::string text;
    for (const char16_t unit : id) {
        if (unit >= 0x20 && unit < 0x7F) {
            text += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(unit & 0xFF));
            text += escaped;
        }
    }
    return text;
}

// Why a file whose content end is known carries no valid package.
std::string why_no_package(const FileHandle& file, std::uint64_t content_end) {
    if (content_end < TOOL_PACKAGE_TRAILER_SIZE)
        return "no tool package: the content is shorter than a trailer";
    std::array<std::uint8_t, TOOL_PACKAGE_TRAILER_SIZE> raw{};
    std::uint32_t done = 0;
    const std::uint64_t trailer_start = content_end - TOOL_PACKAGE_TRAILER_SIZE;
    if (!sys::seek_file(file, trailer_start) || !sys::read_file(file, raw.data(), 64, done) || done != 64)
        return "the trailer cannot be read";
    if (std::memcmp(raw.data(), TOOL_PACKAGE_MAGIC.data(), 8) != 0)
        return "no tool package: the content does not end in a KPAIPAK1 trailer";
    const std::uint64_t offset = le64_at(raw.data() + 8);
    const std::uint64_t size = le64_at(raw.data() + 16);
    if (size == 0)
        return "invalid tool package trailer: package_size is 0";
    return "invalid tool package trailer: the stream (package_offset " + std::to_string(offset) +
           ", package_size " + std::to_string(size) + ") does not lie before the trailer at " +
           std::to_string(trailer_start);
}

} // namespace

int inspect_tool_package(const std::filesystem::path& path) {
    std::string problem;
    std::uint64_t size = 0;
    FileHandle file = open_input(path, size, problem);
    if (!file)
        return fail(path, problem);
    const std::uint64_t content_end = find_content_end(file, size);
    std::printf("file size:      %llu\n", static_cast<unsigned long long>(size));
    if (content_end < size)
        std::printf("content end:    %llu (a certificate table of %llu bytes follows)\n",
                    static_cast<unsigned long long>(content_end),
                    static_cast<unsigned long long>(size - content_end));
    else
        std::printf("content end:    %llu (no certificate table at the end)\n",
                    static_cast<unsigned long long>(content_end));
    const auto trailer = read_tool_package_trailer(file, size);
    if (!trailer) {
        std::fflush(stdout);
        return fail(path, why_no_package(file, content_end));
    }
    const std::uint64_t stream_end = trailer->package_offset + trailer->package_size;
    std::printf("trailer at:     %llu\n",
                static_cast<unsigned long long>(content_end - TOOL_PACKAGE_TRAILER_SIZE));
    std::printf("package_offset: %llu\n", static_cast<unsigned long long>(trailer->package_offset));
    std::printf("package_size:   %llu\n", static_cast<unsigned long long>(trailer->package_size));
    std::printf("package_id:     %s\n", id_text(trailer->package_id).c_str());
    std::printf("padding:        %llu\n",
                static_cast<unsigned long long>(content_end - TOOL_PACKAGE_TRAILER_SIZE - stream_end));
    std::printf("entries:\n");
    ProgressBar bar("kpack: checking", trailer->package_size);
    ToolSetRules rules;
    std::string rule_problem;
    const PackageCheck check = check_tool_package(
        file, *trailer,
        [&](const ToolPackageEntry& entry, std::uint64_t offset) {
            std::printf("  %14llu  %s\n", static_cast<unsigned long long>(entry.data_size),
                        utf16_to_utf8(entry.name).c_str());
            if (rule_problem.empty())
                if (const std::string problem = rules.add(entry.name); !problem.empty())
                    rule_problem = "entry at offset " + std::to_string(offset) + " (\"" +
                                   utf16_to_utf8(entry.name) + "\"): " + problem;
        },
        [&bar](std::uint64_t done, std::uint64_t) { bar.update(done); });
    std::fflush(stdout);
    if (check.data_unreadable)
        return fail(path, "entry data at offset " + std::to_string(check.problem_offset) +
                              " cannot be read in full");
    if (check.problem != EntryProblem::none) {
        // Read the refused entry's head again for the message; the walk does not keep it.
        ToolPackageEntry entry;
        std::uint64_t data_start = 0;
        read_tool_package_entry(file, check.problem_offset, stream_end, entry, data_start);
        return fail(path, "entry at offset " + std::to_string(check.problem_offset) +
                              " is refused: " + describe(entry, check.problem));
    }
    if (check.computed_id.empty())
        return fail(path, "the SHA-256 of the package failed");
    if (!check.verified)
        return fail(path, "package identifier does not verify (stored " + id_text(trailer->package_id) +
                              ", computed " + id_text(check.computed_id) + ")");
    if (rule_problem.empty())
        rule_problem = rules.finish();
    if (!rule_problem.empty())
        return fail(path, "the launcher would not take this package as it is: " + rule_problem);
    std::printf("identifier:     verified (%llu entries)\n",
                static_cast<unsigned long long>(check.entry_count));
    return 0;
}

} // namespace kp::pack
