// Zip entry names as the Windows shell will read them: kpack refuses an archive the launcher
// would refuse, and the folder form writes names that install as they are.
#include "payload/payload_decryption.hpp"
#include "payload/zip_directory.hpp"
#include "support/kpack_run.hpp"
#include "support/zip_archive.hpp"
#include "zip_archive.hpp"

namespace kp::test {
namespace {

namespace fs = std::filesystem;

using KpackZipNames = KpackTest;

const ZipArchiveEntry APP = {"kestrin_pad.exe", "application"};

// Info-ZIP on Linux and macOS writes UTF-8 names without the flag; the shell would read them in the
// OEM code page, so "données" would install as "donn├⌐es".
TEST_F(KpackZipNames, RefusesNonAsciiNamesWithoutTheUtf8FlagAndSuggestsTheFolder) {
    const std::string name = "donn\u00e9es/a.txt"; // UTF-8, as Info-ZIP writes it
    // Refused with a hint to give the folder instead (KpackPayload.RefusesArchivesTheInstallCannotUse).
    write_native(native("app.zip"), zip_archive({APP, {name, "x", true}}));
    EXPECT_EQ(kpack("payload encrypt " + quoted(native("app.zip")) + " " + quoted(native("app.enc"))), 0)
        << error_text();
    // An app.enc made elsewhere from such an archive: inspect says why the launcher refuses it.
    write_native(native("made.enc"), make_app_enc(zip_archive({APP, {name, "x"}})));
    EXPECT_EQ(kpack("payload inspect " + quoted(native("made.enc"))), 1);
    EXPECT_NE(error_text().find(pack::zip_available() ? "UTF-8 flag" : "cannot be listed"), std::string::npos)
        << error_text();
}

TEST_F(KpackZipNames, RefusesWhatTheLaunchersReaderRefusesInTheFolderFormToo) {
    write_native(native("app.zip"), pattern_bytes(1000));
    EXPECT_EQ(kpack("payload encrypt " + quoted(native("app.zip")) + " " + quoted(native("app.enc"))), 1);
    EXPECT_NE(error_text().find("not a zip archive"), std::string::npos) << error_text();
    if (!pack::zip_available())
        return; // this build zips no folders
    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    write_native(native("app/lib/com1"), bytes_of("x"));
    EXPECT_EQ(kpack("payload encrypt " + quoted(native("app")) + " " + quoted(native("app.enc"))), 1);
    EXPECT_NE(error_text().find("\"lib/com1\" has a name Windows reserves"), std::string::npos)
        << error_text();
    EXPECT_FALSE(fs::exists(native("app.enc")));
}

// The folder form sets the UTF-8 flag on non-ASCII names and keeps an empty folder as an entry of
// its own, so the launcher's reader takes its archive and the install recreates the folder.
TEST_F(KpackZipNames, TheFolderFormFlagsUtf8NamesAndKeepsEmptyFolders) {
    if (!pack::zip_available())
        GTEST_SKIP() << "this build does not write zip archives";
    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    write_native(native("app") / std::u8string(u8"donn\u00e9es/r\u00e9sum\u00e9.txt"), bytes_of("x"));
    fs::create_directories(native("app/logs/empty"));
    ASSERT_EQ(kpack("payload encrypt " + quoted(native("app")) + " " + quoted(native("app.enc"))), 0)
        << error_text();
    Bytes archive;
    ASSERT_TRUE(decrypt_payload(read_native(native("app.enc")), archive));
    const ZipDirectory directory = read_zip_directory(archive.data(), archive.size());
    ASSERT_EQ(directory.problem, ZipDirectoryProblem::none) << directory.problem_entry;
    std::vector<std::pair<std::string, bool>> entries;
    for (const ZipDirectoryEntry& entry : directory.entries)
        entries.emplace_back(entry.name, entry.folder);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"donn\u00e9es/r\u00e9sum\u00e9.txt", false}, {"kestrin_pad.exe", false}, {"logs/empty/", true}};
    EXPECT_EQ(entries, expected);
}

} // namespace
} // namespace kp::test
