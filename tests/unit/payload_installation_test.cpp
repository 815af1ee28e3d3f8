#include "build_config.hpp"
#include "common/space_rules.hpp"
#include "payload/installation_check.hpp"
#include "payload/payload_installation.hpp"
#include "platform/backend.hpp"
#include "support/disk_call_log.hpp"
#include "support/sandbox.hpp"
#include "support/zip_archive.hpp"

#include <fstream>
#include <map>
#include <sys/stat.h>

namespace kp::test {
namespace {

// Every item under a folder, sorted, space separated: "dir/", "link->target", "file=content";
// empty for a missing folder.
std::string tree(const std::filesystem::path& folder) {
    std::map<std::string, std::string> items;
    std::error_code missing;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder, missing)) {
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

using Entries = std::vector<ZipArchiveEntry>;
using Sizes = std::vector<std::size_t>;

// The application archive of most cases (a root file, a folder, a file in it), installed and stamped.
const Entries APPLICATION = {
    {"kestrin_pad.exe", "MZ new build"}, {"data/", ""}, {"data/app.so", std::string(3000, 'd')}};
const std::string INSTALLED = ".kp_build=" + text_of(utf16le_bytes(BUILD_ID)) +
                              " data/ data/app.so=" + APPLICATION[2].data + " kestrin_pad.exe=MZ new build";

class PayloadInstallation : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::filesystem::create_directories(native("tmp"));
        fault::temp_directory = [this] { return path("tmp") + u"\\"; };
        fault::current_process_id = [] { return 4242u; };
        // Each sleep lets the copy that runs beside the wait take its next step.
        fault::sleep_ms = [this](std::uint32_t ms) {
            sleeps.push_back(ms);
            if (next_item < copy_items.size())
                copy_next_item();
        };
        fault::free_bytes_available = [this](const std::u16string& at, std::uint64_t& bytes) {
            free_space_asked_at = at;
            bytes = free_space;
            return true;
        };
    }

    void ship(const Bytes& zip) { write_native(native("launcher/app.enc"), make_app_enc(zip)); }
    void ship(const Entries& entries) { ship(zip_archive(entries)); }
    void install() {
        install_payload(path("launcher"), path("install"), path("install/kestrin_pad.exe"),
                        path("install/.kp_build"));
    }
    std::filesystem::path temp_archive() const { return native("tmp/kp_pkg_tmp_4242.zip"); }
    std::string stamp() const { return text_of(read_native(native("install/.kp_build"))); }
    // Refused before anything was written: no temporary archive, no copy, the install folder as it was.
    void expect_nothing_written(const std::string& installed) {
        EXPECT_EQ(fault::calls.create_temporary_file_for_writing, 0);
        EXPECT_EQ(tree(native("install")), installed);
        EXPECT_EQ(tree(native("tmp")), "");
    }

    // The shell's copy writes the items given into the install directory: all before the request
    // returns, or, as on a thread of its own, one at each poll of the wait after it returns.
    void copy(const Entries& items, bool beside_the_wait = false) {
        copy_items = items;
        next_item = 0;
        fault::shell_extract_zip = [this, beside_the_wait](const std::u16string&, const std::u16string&) {
            temp_archive_seen_by_copy = std::filesystem::exists(temp_archive());
            while (!beside_the_wait && next_item < copy_items.size())
                copy_next_item();
            return true;
        };
    }
    void copy_next_item() {
        temp_archive_seen_by_copy = temp_archive_seen_by_copy && std::filesystem::exists(temp_archive());
        const ZipArchiveEntry& item = copy_items[next_item++];
        ++writes[path("install/" + item.name)];
        if (item.name.back() == '/')
            std::filesystem::create_directories(native("install/" + item.name));
        else
            write_native(native("install/" + item.name), bytes_of(item.data));
    }

    std::vector<std::uint32_t> sleeps;
    std::map<std::u16string, int> writes; // by the copy, per path
    Entries copy_items;
    std::size_t next_item = 0;
    bool temp_archive_seen_by_copy = false; // at the request and at every later step of the copy
    std::uint64_t free_space = std::uint64_t{1} << 40;
    std::u16string free_space_asked_at;
};

// No app.enc, one made with other keys, one that decrypts to no zip archive, an archive with a name
// the directory reader refuses (its tests hold every kind), no temporary directory: nothing is
// written, the older build stays.
TEST_F(PayloadInstallation, NothingIsWrittenWithoutAnArchiveToInstall) {
    write_native(native("install/kestrin_pad.exe"), bytes_of("older build"));
    install();
    for (const Bytes& app_enc : {pattern_bytes(4096), make_app_enc(pattern_bytes(100)),
                                 make_app_enc(zip_archive({{"../escaped"}}))}) {
        write_native(native("launcher/app.enc"), app_enc);
        install();
    }
    ship(APPLICATION);
    fault::temp_directory = [] { return std::u16string(); };
    install();
    expect_nothing_written("kestrin_pad.exe=older build");
}

TEST_F(PayloadInstallation, CompleteCopyIsVerifiedFlushedAndStampedAfterTheArchiveIsDeleted) {
    ship(APPLICATION);
    write_native(native("install/.kp_build"), pattern_bytes(200)); // an older, longer stamp
    write_native(temp_archive(), pattern_bytes(300, 7));           // left by an earlier launch
    copy(APPLICATION);
    std::string temporary_folder_at_flush = "never flushed"; // the stamp comes after both
    fault::flush_tree = [&](const std::u16string& at) {
        temporary_folder_at_flush = tree(native("tmp"));
        return backend::flush_tree(at);
    };
#ifdef _WIN32
    // Windows 8 and later: each installed file written out, one full flush before the stamp and
    // one of the stamp, however many files.
    DiskCallLog log(WriteOut::done);
#endif

    install();
    EXPECT_EQ(tree(native("install")), INSTALLED);
    EXPECT_EQ(sleeps, std::vector<std::uint32_t>(1, 250)) << "sizes matched on two polls, then verified";
    // Each file read back once and flushed, then the stamp flushed.
    EXPECT_EQ((std::vector{fault::calls.open_file_shared_for_reading, fault::calls.flush_existing_file,
                           fault::calls.flush_file}),
              (std::vector{2, 2, 1}));
    EXPECT_EQ(temporary_folder_at_flush, "");
#ifdef _WIN32
    EXPECT_EQ(log.calls_but_closes(), "wwFF");
#endif

    // What the stamp would vouch for cannot be flushed: no stamp, the next launch installs again.
    fault::flush_tree = [](const std::u16string&) { return false; };
    write_native(native("install/.kp_build"), bytes_of("older"));
    install();
    EXPECT_EQ(stamp(), "older");
}

// A copy that passes over an item (a file held open, a full disk), leaves a file with other bytes
// of the right size (its CRC-32 computed once, and again when the copy is idle, not on every
// poll) or an item of the wrong kind (a file at a folder's name, a folder at a file's, as Windows
// folds letter case): never verified. The wait ends 20 polls after the last change, a growing
// file included (here at the third poll), and at the 60-second bound for a copy that keeps making
// progress. The older stamp stays, the archive goes.
TEST_F(PayloadInstallation, CopyThatMissesSpoilsStallsNeverEndsOrNeverStartsLeavesTheOlderStamp) {
    // One item arrives at each poll, for longer than the bound; each that arrived and held still
    // by the end is read once.
    Entries many;
    for (int i = 0; i < 300; ++i)
        many.push_back({"f" + std::to_string(i), "x"});
    const ZipArchiveEntry spoiled = {"data/app.so", std::string(3000, 'e')};
    const std::size_t idle = INSTALL_IDLE_POLLS;
    using Case = std::tuple<Entries, Entries, bool, std::size_t, int>;
    for (const auto& [shipped, copied, beside, polls, reads] :
         {Case{APPLICATION, {APPLICATION[0], APPLICATION[1]}, false, 2 + idle, 1},
          Case{APPLICATION, {APPLICATION[0], APPLICATION[1], spoiled}, false, 2 + idle, 3},
          Case{APPLICATION, {APPLICATION[0], {"data", "a file, not a folder"}}, false, 2 + idle, 1},
          Case{APPLICATION, {APPLICATION[1], APPLICATION[2], {"kestrin_pad.exe/", ""}}, false, 2 + idle, 1},
          Case{APPLICATION, {{"data/"}, {"data/app.so", std::string(1000, 'd')}}, true, 3 + idle, 0},
          Case{many, many, true, INSTALL_WAIT_POLLS - 1, 238}}) {
        std::filesystem::remove_all(native("install"));
        write_native(native("install/.kp_build"), bytes_of("older"));
        sleeps.clear(), fault::calls = {};
        ship(shipped);
        copy(copied, beside);
        install();
        EXPECT_EQ(stamp(), "older") << polls;
        EXPECT_EQ(sleeps.size(), polls);
        EXPECT_EQ(fault::calls.open_file_shared_for_reading, reads) << polls;
        EXPECT_EQ(tree(native("tmp")), "");
    }

    // The copy cannot be requested (as with a shell without zip folders): nothing will arrive, so
    // there is no wait; the stale files still go, the others and the old stamp stay.
    fault::shell_extract_zip = [](const std::u16string&, const std::u16string&) { return false; };
    std::filesystem::remove_all(native("install"));
    write_native(native("install/.kp_build"), bytes_of("older"));
    write_native(native("install/pdfium.dll"), bytes_of("stale"));
    write_native(native("install/settings.json"), bytes_of("kept"));
    sleeps.clear();
    install();
    EXPECT_EQ(tree(native("install")), ".kp_build=older settings.json=kept");
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(tree(native("tmp")), "");
}

// CopyHere on Windows may return at once and copy on the shell's own thread: the wait lasts until
// the last file is complete, and the archive stays until then. Here it copies over an older
// installation whose files have the new sizes and dates. Windows' copy opens each target
// exclusively and fails on any other handle, so no file is read back before the copy has written
// it, told apart by its change time; each CRC-32 is computed once. Without a change time (FAT) an
// old file read early looks unchanged once replaced, and is read again when the copy has gone
// idle; so is a file the copy never touches: an old file identical to the new one must not hold
// the stamp back.
TEST_F(PayloadInstallation, CopyBesideTheWaitIsWaitedForAndFilesAreReadOnlyOnceWritten) {
    ship(APPLICATION);
    bool keeps_change_time = true;
    fault::query_path = [&](const std::u16string& at, PathState& state) {
        return backend::query_path(at, state) && // the archive's date on every file, old and new
               (state.last_write = 1, state.change_time = keeps_change_time ? 1 + writes[at] : 0, true);
    };
    Sizes early_reads; // of a file the copy had not written, by poll
    fault::open_file_shared_for_reading = [&](const std::u16string& at) {
        if (writes[at] == 0)
            early_reads.push_back(sleeps.size());
        return backend::open_file_shared_for_reading(at);
    };
    // Over an older installation: the change time kept or not (FAT), or the executable identical.
    const std::size_t idle = INSTALL_IDLE_POLLS;
    using Case = std::tuple<bool, std::string, Entries, std::size_t, int, Sizes>;
    const Entries replaced = {{"data/app.so", std::string(1000, 'd')}, APPLICATION[2], APPLICATION[0]};
    for (const auto& [kept, executable, copied, polls, reads, early] :
         {Case{true, "MZ old build", replaced, 4, 2, {}},
          Case{false, "MZ old build", replaced, 4 + idle, 3, {1}},
          Case{true, "MZ new build", {APPLICATION[2]}, 3 + idle, 2, {3 + idle}}}) {
        keeps_change_time = kept;
        std::filesystem::remove(native("install/.kp_build"));
        write_native(native("install/kestrin_pad.exe"), bytes_of(executable));
        write_native(native("install/data/app.so"), bytes_of(std::string(3000, 'c')));
        writes.clear(), early_reads.clear(), sleeps.clear(), fault::calls = {};
        copy(copied, true);
        install();
        EXPECT_TRUE(temp_archive_seen_by_copy);
        EXPECT_EQ(tree(native("install")), INSTALLED);
        EXPECT_EQ(early_reads, early);
        EXPECT_EQ(sleeps.size(), polls);
        EXPECT_EQ(fault::calls.open_file_shared_for_reading, reads);
    }
}

// The launcher reads files the shell may still be writing: a sharing violation means "not yet".
// A file that cannot be opened for writing (read-only) is retried, then left unflushed.
TEST_F(PayloadInstallation, SharingViolationsWaitAndUnflushableFilesDoNotBlockTheStamp) {
    ship(APPLICATION);
    copy(APPLICATION);
    int violations = 3;
    fault::open_file_shared_for_reading = [&](const std::u16string& at) {
        if (at == path("install/data/app.so") && violations-- > 0)
            return FileHandle();
        return backend::open_file_shared_for_reading(at);
    };
    std::map<std::u16string, int> flush_attempts;
    fault::flush_existing_file = [&](const std::u16string& at) {
        ++flush_attempts[at];
        return at != path("install/kestrin_pad.exe");
    };
    install();
    EXPECT_EQ(tree(native("install")), INSTALLED);
    EXPECT_EQ(fault::calls.open_file_shared_for_reading, 2 + 3);
    EXPECT_EQ(flush_attempts,
              (std::map<std::u16string, int>{{path("install/data/app.so"), 1},
                                             {path("install/kestrin_pad.exe"), INSTALL_FLUSH_ATTEMPTS}}));
}

// Need: the files (3,000 + 12 bytes) less the 11-byte file they replace, plus the largest once
// more, plus the temporary archive on the same volume, plus FREE_SPACE_MARGIN. The free space is
// asked of the folder that will hold the install folder while that does not exist.
TEST_F(PayloadInstallation, FreeSpaceOneByteShortRefusesAndExactlyEnoughInstalls) {
    const Bytes zip = zip_archive(APPLICATION);
    ship(zip);
    copy(APPLICATION);
    fault::same_volume = [](const std::u16string&, const std::u16string&) { return true; };
    const std::uint64_t need = 3000 + 12 - 11 + 3000 + zip.size() + FREE_SPACE_MARGIN;
    free_space = need - 1;
    install(); // a clean machine needs 11 bytes more
    EXPECT_EQ(free_space_asked_at, system_path(root()));
    write_native(native("install/kestrin_pad.exe"), bytes_of("older build"));
    write_native(native("install/.kp_build"), bytes_of("older"));
    install();
    EXPECT_EQ(free_space_asked_at, path("install"));
    expect_nothing_written(".kp_build=older kestrin_pad.exe=older build");

    fault::same_volume = [](const std::u16string&, const std::u16string&) { return false; };
    free_space = need - zip.size(); // the temporary archive is elsewhere
    install();
    EXPECT_EQ(tree(native("install")), INSTALLED);

    // The free-space query fails: refused as well.
    fault::free_bytes_available = [](const std::u16string&, std::uint64_t&) { return false; };
    write_native(native("install/.kp_build"), bytes_of("older"));
    install();
    EXPECT_EQ(fault::calls.shell_extract_zip, 1);
}

#ifndef _WIN32 // real extraction: libarchive on the native target

constexpr std::uint32_t LINK = 0120777;
using PayloadExtraction = PayloadInstallation;

// The copy is requested only when the archive and the destination open, and writes nothing
// otherwise. The launcher refuses a hostile archive before anything is written (see above); the
// extraction itself still keeps every entry inside the destination, whatever archive it is given.
TEST_F(PayloadExtraction, CopyIsRequestedOnlyWhenArchiveAndDestinationOpenAndStaysInside) {
    write_native(native("not_a.zip"), pattern_bytes(1000));
    write_native(native("victim/file"), bytes_of("precious"));
    const std::string victim = native("victim").generic_string();
    write_native(native("hostile.zip"), zip_archive({{"../escaped", "x"},
                                                     {"sub/../../escaped", "x"},
                                                     {victim + "/file", "overwritten"},
                                                     {.name = "up", .data = "..", .unix_mode = LINK},
                                                     {"up/escaped", "x"},
                                                     {.name = "abs", .data = victim, .unix_mode = LINK},
                                                     {"abs/file", "overwritten"},
                                                     {.name = "here", .data = ".", .unix_mode = LINK},
                                                     {.name = "back", .data = "here/..", .unix_mode = LINK},
                                                     {"back/escaped", "x"},
                                                     {"good.txt", "good"},
                                                     {.name = "alias", .data = "good.txt", .unix_mode = LINK},
                                                     {"data/"},
                                                     {"data/\xc3\xa9t\xc3\xa9", "nested", true}}));
    std::filesystem::create_directories(native("install"));
    const std::string outside = tree(root());
    EXPECT_FALSE(sys::shell_extract_zip(path("not_a.zip"), path("install")));
    EXPECT_FALSE(sys::shell_extract_zip(path("hostile.zip"), path("missing")));
    EXPECT_FALSE(sys::shell_extract_zip(path("missing.zip"), path("install")));
    EXPECT_EQ(tree(root()), outside);
    EXPECT_TRUE(sys::shell_extract_zip(path("hostile.zip"), path("install")));
    // Refused links leave the entries below them to land in plain folders inside.
    EXPECT_EQ(tree(native("install")),
              "abs/ abs/file=overwritten alias->good.txt back/ back/escaped=x data/ "
              "data/\xc3\xa9t\xc3\xa9=nested good.txt=good here->. up/ up/escaped=x");
    std::filesystem::remove_all(native("install"));
    std::filesystem::create_directories(native("install"));
    EXPECT_EQ(tree(root()), outside);
}

// The temporary archive has a predictable name in a shared folder. It is readable by the user
// alone, whatever the umask; a file of ours left at the name, which someone may hold open, is
// replaced by a new one, not rewritten; a link planted there does not redirect the write, and the
// installation stops as for any failed write.
TEST_F(PayloadExtraction, TemporaryArchiveIsANewFileOfTheUserAlone) {
    write_native(temp_archive(), pattern_bytes(300, 7));
    std::filesystem::permissions(temp_archive(), std::filesystem::perms(0644));
    std::ifstream held(temp_archive(), std::ios::binary);
    ship(APPLICATION);
    const mode_t umask_before = ::umask(0);
    struct stat seen {};
    fault::shell_extract_zip = [&](const std::u16string&, const std::u16string&) {
        return ::stat(temp_archive().c_str(), &seen) == 0;
    };
    install();
    ::umask(umask_before);
    EXPECT_EQ(seen.st_mode & 07777, 0600u);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(held), {}), pattern_bytes(300, 7))
        << "the archive went into the file held open";

    std::filesystem::remove(temp_archive());
    write_native(native("victim"), bytes_of("precious"));
    std::filesystem::create_symlink(native("victim"), temp_archive());
    std::filesystem::remove_all(native("install"));
    install();
    EXPECT_EQ(read_native(native("victim")), bytes_of("precious"));
    EXPECT_FALSE(std::filesystem::exists(native("install"))); // stopped before the install folder
}

#endif

} // namespace
} // namespace kp::test
