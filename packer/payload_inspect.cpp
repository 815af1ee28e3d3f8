#include "payload_inspect.hpp"

#include "json_output.hpp"
#include "kpack_io.hpp"
#include "payload/payload_decryption.hpp"
#include "payload_archive_check.hpp"
#include "zip_archive.hpp"

#include <cstdio>

namespace kp::pack {

namespace {

struct PayloadReport {
    bool decrypts = false;
    std::uint64_t archive_size = 0;
    std::uint64_t entries = 0;
    std::vector<RootItem> root_items;
    bool application_at_root = false;
    std::string problem;
};

PayloadReport examine(const std::filesystem::path& app_enc) {
    PayloadReport report;
    Bytes encrypted;
    if (!read_whole_file(app_enc, encrypted, report.problem))
        return report;
    Bytes archive;
    if (!decrypt_payload(encrypted, archive)) {
        report.problem =
            "does not decrypt with this build's payload keys (damaged, truncated or made for another build)";
        return report;
    }
    report.decrypts = true;
    report.archive_size = archive.size();
    const ZipListing listing = list_zip_bytes(archive);
    if (listing.result != ZipRead::listed) {
        report.problem = listing.result == ZipRead::unavailable
                             ? "decrypts, but its archive cannot be listed: " + listing.problem
                             : "decrypts, but not to a zip archive";
        return report;
    }
    report.entries = listing.entries.size();
    report.root_items = root_items(listing.entries);
    report.application_at_root = has_application_at_root(listing.entries);
    // What the launcher's reader refuses comes first: the launcher would not install the rest.
    report.problem = directory_problem(archive);
    if (report.problem.empty() && !report.application_at_root)
        report.problem = install_problem(listing.entries);
    return report;
}

void print_text(const std::filesystem::path& app_enc, const PayloadReport& report) {
    std::printf("file:                %s\n", display(app_enc).c_str());
    std::printf("decrypts:            %s\n", report.decrypts ? "yes" : "no");
    if (!report.decrypts)
        return;
    std::printf("archive_size:        %llu\n", static_cast<unsigned long long>(report.archive_size));
    std::printf("entries:             %llu\n", static_cast<unsigned long long>(report.entries));
    std::printf("root_items:\n");
    for (const RootItem& item : report.root_items) {
        if (item.folder)
            std::printf("  %14llu  %s/ (%llu files)\n", static_cast<unsigned long long>(item.size),
                        item.name.c_str(), static_cast<unsigned long long>(item.file_count));
        else
            std::printf("  %14llu  %s\n", static_cast<unsigned long long>(item.size), item.name.c_str());
    }
    std::printf("application_at_root: %s\n", report.application_at_root ? "yes" : "no");
}

void print_json_report(const std::filesystem::path& app_enc, const PayloadReport& report) {
    Json object = {{"file", display(app_enc)}, {"decrypts", report.decrypts}};
    if (report.decrypts) {
        Json items = Json::array();
        for (const RootItem& item : report.root_items)
            items.push_back({{"name", item.name},
                             {"folder", item.folder},
                             {"size", item.size},
                             {"files", item.file_count}});
        object["archive_size"] = report.archive_size;
        object["entries"] = report.entries;
        object["root_items"] = std::move(items);
        object["application_at_root"] = report.application_at_root;
    }
    if (!report.problem.empty())
        object["problem"] = report.problem;
    print_json(object);
}

} // namespace

int inspect_payload(const std::filesystem::path& app_enc, bool json) {
    const PayloadReport report = examine(app_enc);
    json ? print_json_report(app_enc, report) : print_text(app_enc, report);
    std::fflush(stdout);
    return report.problem.empty() ? 0 : fail(app_enc, report.problem);
}

} // namespace kp::pack
