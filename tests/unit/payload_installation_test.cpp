#include "build_config.hpp"
#include "payload/payload_installation.hpp"
#include "platform/platform.hpp"
#include "support/sandbox.hpp"

#include <fstream>
#include <map>

#ifndef _WIN32
#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <sys/stat.h>
#endif

namespace kp::test {
namespace {

// Every item under a folder, sorted, space separated: "dir/", "link->target", "file=content".
std::string tree(const std::filesystem::path& folder) {
    std::map<std::string, std::string> items;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
        std::string& what = items[item.path().lexically_relative(folder).generic_string()];
        what = item.is_symlink()     ? "->" + std::filesystem::read_symlink(item.path()).generic_string()
               : item.is_directory() ? "/"
                                     : "=" + text_of(read_native(item.path()));
    }
    std::string listing;
    for (const auto& [name, what] : items)
        listing += (listing.empty() ? "" : " ") + name + what;
    return listing;
}

const std::string STAMPED = ".kp_build=" + text_of(utf16le_bytes(BUILD_ID));

class PayloadInstallation : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::filesystem::create_directories(native("launcher"));
        std::filesystem::create_directories(native("tmp"));
        fault::temp_directory = [this] { return path("tmp") + u"\\"; };
        fault::current_process_id = [] { return 4242u; };
        fault::sleep_ms = [this](std::uint32_t ms) { sleeps.push_back(ms); };
        sys::com_initialize();
    }
    void TearDown() override {
        sys::com_uninitialize();
        SandboxTest::TearDown();
    }

    void ship(const Bytes& zip) { write_native(native("launcher/app.enc"), make_app_enc(zip)); }
    void install() {
        install_payload(path("launcher"), path("install"), path("install/kestrin_pad.exe"),
                        path("install/.kp_build"));
    }
    std::filesystem::path temp_archive() const { return native("tmp/kp_pkg_tmp_4242.zip"); }
    std::vector<std::uint32_t> sleeps;
};

TEST_F(PayloadInstallation, NothingIsWrittenWithoutAnArchiveToInstall) {
    install();                                                     // no app.enc
    write_native(native("launcher/app.enc"), pattern_bytes(4096)); // made with other keys
    install();
    ship(pattern_bytes(100));
    fault::temp_directory = [] { return std::u16string(); }; // no temporary directory to report
    install();

    EXPECT_EQ(fault::calls.create_temporary_file_for_writing, 0);
    EXPECT_EQ(fault::calls.shell_extract_zip, 0);
    EXPECT_FALSE(std::filesystem::exists(native("install")));
    EXPECT_TRUE(std::filesystem::is_empty(native("tmp")));
}

TEST_F(PayloadInstallation, WaitEndsAtTheFirstPollOrAfter240SleepsAndTheStampIsWrittenWhole) {
    const Bytes zip = pattern_bytes(100);
    ship(zip);                                                     // the executable never appears
    write_native(native("install/.kp_build"), pattern_bytes(200)); // an older, longer stamp
    write_native(temp_archive(), pattern_bytes(300, 7));           // left by an earlier launch
    fault::shell_extract_zip = [&](const std::u16string&, const std::u16string&) {
        EXPECT_EQ(read_native(temp_archive()), zip) << "the old file is replaced, not appended to";
        return true;
    };
    install();
    EXPECT_FALSE(std::filesystem::exists(temp_archive()));
    EXPECT_EQ(sleeps, std::vector<std::uint32_t>(240, 250));
    EXPECT_EQ(tree(native("install")), STAMPED) << "stamped without the executable";
    EXPECT_EQ(read_native(native("install/.kp_build")).size(), 72u);
    EXPECT_EQ(fault::calls.flush_tree, 1) << "the extracted files, before the stamp";
    EXPECT_EQ(fault::calls.flush_file, 1) << "the stamp";

    // What the stamp would vouch for cannot be flushed: no stamp, the next launch installs again.
    fault::flush_tree = [](const std::u16string&) { return false; };
    write_native(native("install/.kp_build"), bytes_of("older"));
    install();
    EXPECT_EQ(read_native(native("install/.kp_build")), bytes_of("older"));
    fault::flush_tree = nullptr;

    sleeps.clear();
    write_native(native("install/kestrin_pad.exe"), bytes_of("older build"));
    const int polls_before = fault::calls.path_exists;
    install();
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(fault::calls.path_exists - polls_before, 1);
}

// The copy cannot be requested (as with a shell without zip folders): the stale files still go,
// the others and the old stamp stay.
TEST_F(PayloadInstallation, ShellWithoutZipFoldersRequestsNoCopy) {
    fault::shell_extract_zip = [](const std::u16string&, const std::u16string&) { return false; };
    ship(pattern_bytes(100));
    const Bytes old_stamp = pattern_bytes(72);
    write_native(native("install/.kp_build"), old_stamp);
    write_native(native("install/pdfium.dll"), bytes_of("stale"));
    write_native(native("install/settings.json"), bytes_of("kept"));

    install();
    EXPECT_EQ(tree(native("install")), ".kp_build=" + text_of(old_stamp) + " settings.json=kept");
    EXPECT_EQ(fault::calls.shell_extract_zip, 1);
    EXPECT_FALSE(std::filesystem::exists(temp_archive()));
}

#ifndef _WIN32 // real extraction: libarchive on the native target

constexpr mode_t LINK = S_IFLNK | 0777;
struct ZipEntry {
    std::string name, data; // data: a link's target for links
    mode_t mode = S_IFREG | 0644;
};

// A stored zip written by libarchive, which keeps hostile names and links as given. Names are
// flagged UTF-8, as archivers on Windows write them; the flag needs a UTF-8 locale.
Bytes make_zip(const std::vector<ZipEntry>& entries) {
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    const locale_t previous = uselocale(utf8);
    Bytes out(1 << 16);
    std::size_t used = 0;
    archive* zip = archive_write_new();
    archive_write_set_format_zip(zip);
    archive_write_zip_set_compression_store(zip);
    archive_write_set_options(zip, "hdrcharset=UTF-8");
    archive_write_open_memory(zip, out.data(), out.size(), &used);
    for (const ZipEntry& entry : entries) {
        archive_entry* item = archive_entry_new();
        archive_entry_set_pathname(item, entry.name.c_str());
        archive_entry_set_mode(item, entry.mode);
        if (S_ISLNK(entry.mode))
            archive_entry_set_symlink(item, entry.data.c_str());
        archive_entry_set_size(item, S_ISREG(entry.mode) ? static_cast<la_int64_t>(entry.data.size()) : 0);
        EXPECT_EQ(archive_write_header(zip, item), ARCHIVE_OK) << archive_error_string(zip);
        if (S_ISREG(entry.mode))
            archive_write_data(zip, entry.data.data(), entry.data.size());
        archive_entry_free(item);
    }
    EXPECT_EQ(archive_write_close(zip), ARCHIVE_OK);
    archive_write_free(zip);
    uselocale(previous);
    freelocale(utf8);
    out.resize(used);
    return out;
}

using PayloadExtraction = PayloadInstallation;

TEST_F(PayloadExtraction, CopyIsRequestedOnlyWhenArchiveAndDestinationOpen) {
    write_native(native("good.zip"), make_zip({{"a.txt", "a"}}));
    write_native(native("not_a.zip"), pattern_bytes(1000));
    std::filesystem::create_directories(native("out"));
    EXPECT_TRUE(sys::shell_extract_zip(path("good.zip"), path("out")));
    EXPECT_FALSE(sys::shell_extract_zip(path("not_a.zip"), path("out")));
    EXPECT_FALSE(sys::shell_extract_zip(path("good.zip"), path("missing")));
    EXPECT_FALSE(sys::shell_extract_zip(path("missing.zip"), path("out")));
    EXPECT_EQ(tree(native("out")), "a.txt=a");
}

TEST_F(PayloadExtraction, HostileEntriesChangeNothingOutsideTheInstallDirectory) {
    write_native(native("victim/file"), bytes_of("precious"));
    const std::string victim = native("victim").generic_string();
    ship(make_zip({{"../escaped", "x"},
                   {"sub/../../escaped", "x"},
                   {victim + "/file", "overwritten"},
                   {"up", "..", LINK},
                   {"up/escaped", "x"},
                   {"abs", victim, LINK},
                   {"abs/file", "overwritten"},
                   {"here", ".", LINK},
                   {"back", "here/..", LINK},
                   {"back/escaped", "x"},
                   {"good.txt", "good"},
                   {"alias", "good.txt", LINK},
                   {"data/", "", S_IFDIR | 0755},
                   {"data/\xc3\xa9t\xc3\xa9", "nested"}}));
    const std::string outside = tree(root());

    install();
    // Refused links leave the entries below them to land in plain folders inside.
    EXPECT_EQ(tree(native("install")),
              STAMPED + " abs/ abs/file=overwritten alias->good.txt back/ back/escaped=x data/ "
                        "data/\xc3\xa9t\xc3\xa9=nested good.txt=good here->. up/ up/escaped=x");
    std::filesystem::remove_all(native("install"));
    EXPECT_EQ(tree(root()), outside);
}

// The temporary archive has a predictable name in a shared folder: a link planted there must not
// redirect the write, and the installation stops as for any failed write.
TEST_F(PayloadExtraction, LinkPlantedAtTheTemporaryNameIsNotFollowed) {
    write_native(native("victim"), bytes_of("precious"));
    std::filesystem::create_symlink(native("victim"), temp_archive());
    ship(pattern_bytes(100));

    install();
    EXPECT_EQ(read_native(native("victim")), bytes_of("precious"));
    EXPECT_FALSE(std::filesystem::exists(native("install")));
    EXPECT_EQ(fault::calls.shell_extract_zip, 0);
}

// The decrypted archive is readable by the user alone, whatever the umask, and a file of ours
// left at the name, which someone may hold open, is replaced by a new one, not rewritten.
TEST_F(PayloadExtraction, TemporaryArchiveIsANewFileOfTheUserAlone) {
    const Bytes zip = pattern_bytes(100);
    write_native(temp_archive(), pattern_bytes(300, 7));
    std::filesystem::permissions(temp_archive(), std::filesystem::perms(0644));
    std::ifstream held(temp_archive(), std::ios::binary);
    ship(zip);
    const mode_t umask_before = ::umask(0);
    struct stat seen {};
    fault::shell_extract_zip = [&](const std::u16string&, const std::u16string&) {
        return ::stat(temp_archive().c_str(), &seen) == 0;
    };
    install();
    ::umask(umask_before);
    EXPECT_EQ(seen.st_mode & 07777, 0600u);
    const Bytes through_held{std::istreambuf_iterator<char>(held), {}};
    EXPECT_EQ(through_held, pattern_bytes(300, 7)) << "the archive went into the file held open";
}

#endif

} // namespace
} // namespace kp::test
