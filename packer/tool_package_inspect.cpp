#include "tool_package_inspect.hpp"

#include "json_output.hpp"
#include "kpack_io.hpp"
#include "progress_bar.hpp"
#include "tool_package_check.hpp"
#include "tool_set_rules.hpp"
#include "tools/tool_package_format.hpp"
#include "windows_path_limits.hpp"

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

// An entry whose path under the staging directory is longer than Windows creates.
struct TooLong {
    std::u16string name;
    std::size_t units; // of the path that is too long
};

std::string too_long_problem(const std::vector<TooLong>& names) {
    return std::to_string(names.size()) + " entr" + (names.size() == 1 ? "y has" : "ies have") +
           " a path the launcher cannot create; the first, \"" + utf16_to_utf8(names.front().name) +
           "\": " + windows_path_problem(names.front().name, false, PathBase::staging_directory);
}

// The report as text lines, printed as it goes, or as one JSON object with the same names.
class Report {
  public:
    explicit Report(bool json) : json_(json) {}

    void number(const char* name, std::uint64_t value) {
        if (json_)
            object_[name] = value;
        else
            std::printf("%-20s%llu\n", (std::string(name) + ":").c_str(),
                        static_cast<unsigned long long>(value));
    }
    void text(const char* name, const std::string& value) {
        if (json_)
            object_[name] = value;
        else
            std::printf("%-20s%s\n", (std::string(name) + ":").c_str(), value.c_str());
    }
    void begin_entries() {
        if (!json_)
            std::printf("entries:\n");
    }
    void entry(const ToolPackageEntry& entry) {
        if (json_)
            entries_.push_back({{"name", utf16_to_utf8(entry.name)}, {"size", entry.data_size}});
        else
            std::printf("  %14llu  %s\n", static_cast<unsigned long long>(entry.data_size),
                        utf16_to_utf8(entry.name).c_str());
    }
    void end_entries() {
        if (json_)
            object_["entries"] = entries_;
    }
    // Apart from the digest: a package can verify and still hold names Windows cannot create.
    void uncreatable(const std::vector<TooLong>& names) {
        if (json_) {
            Json list = Json::array();
            for (const TooLong& name : names)
                list.push_back({{"name", utf16_to_utf8(name.name)}, {"path_units", name.units}});
            object_["names_the_launcher_cannot_create"] = std::move(list);
            return;
        }
        std::printf("names the launcher cannot create:\n");
        for (const TooLong& name : names)
            std::printf("  %14zu  %s\n", name.units, utf16_to_utf8(name.name).c_str());
    }
    int refuse(const std::filesystem::path& path, const std::string& problem) {
        if (json_)
            object_["problem"] = problem;
        finish();
        return fail(path, problem);
    }
    void finish() {
        if (json_)
            print_json(object_);
        std::fflush(stdout);
    }

  private:
    bool json_;
    Json object_ = Json::object();
    Json entries_ = Json::array();
};

} // namespace

int inspect_tool_package(const std::filesystem::path& path, bool json) {
    std::string problem;
    std::uint64_t size = 0;
    FileHandle file = open_input(path, size, problem);
    if (!file)
        return fail(path, problem);
    Report report(json);
    const std::uint64_t content_end = find_content_end(file, size);
    report.number("file_size", size);
    report.number("content_end", content_end);
    report.number("certificate_table", size - content_end);
    const auto trailer = read_tool_package_trailer(file, size);
    if (!trailer)
        return report.refuse(path, why_no_package(file, content_end));
    const std::uint64_t stream_end = trailer->package_offset + trailer->package_size;
    report.number("trailer_at", content_end - TOOL_PACKAGE_TRAILER_SIZE);
    report.number("package_offset", trailer->package_offset);
    report.number("package_size", trailer->package_size);
    report.text("package_id", id_text(trailer->package_id));
    report.number("padding", content_end - TOOL_PACKAGE_TRAILER_SIZE - stream_end);
    report.begin_entries();
    ProgressBar bar("kpack: checking", trailer->package_size);
    ToolSetRules rules;
    std::string rule_problem;
    std::vector<TooLong> too_long;
    const PackageCheck check = check_tool_package(
        file, *trailer,
        [&](const ToolPackageEntry& entry, std::uint64_t offset) {
            report.entry(entry);
            if (const PathLength length = windows_path_length(entry.name, false, PathBase::staging_directory);
                !length.fits)
                too_long.push_back({entry.name, length.units});
            if (rule_problem.empty())
                if (const std::string problem = rules.add(entry.name); !problem.empty())
                    rule_problem = "entry at offset " + std::to_string(offset) + " (\"" +
                                   utf16_to_utf8(entry.name) + "\"): " + problem;
        },
        [&bar](std::uint64_t done, std::uint64_t) { bar.update(done); });
    report.end_entries();
    if (check.data_unreadable)
        return report.refuse(path, "entry data at offset " + std::to_string(check.problem_offset) +
                                       " cannot be read in full");
    if (check.problem != EntryProblem::none) {
        // Read the refused entry's head again for the message; the walk does not keep it.
        ToolPackageEntry entry;
        std::uint64_t data_start = 0;
        read_tool_package_entry(file, check.problem_offset, stream_end, entry, data_start);
        return report.refuse(path, "entry at offset " + std::to_string(check.problem_offset) +
                                       " is refused: " + describe(entry, check.problem));
    }
    if (check.computed_id.empty())
        return report.refuse(path, "the SHA-256 of the package failed");
    if (!check.verified)
        return report.refuse(path, "package identifier does not verify (stored " +
                                       id_text(trailer->package_id) + ", computed " +
                                       id_text(check.computed_id) + ")");
    if (rule_problem.empty())
        rule_problem = rules.finish();
    if (!rule_problem.empty())
        return report.refuse(path, "the launcher would not take this package as it is: " + rule_problem);
    report.text("identifier", "verified");
    if (!too_long.empty()) {
        report.uncreatable(too_long);
        return report.refuse(path, too_long_problem(too_long));
    }
    report.finish();
    return 0;
}

} // namespace kp::pack
