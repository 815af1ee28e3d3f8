// kpack payload, run as the real command line tool: what it encrypts the launcher decrypts, and
// it refuses an archive the launcher would refuse or the install would not reproduce.
#include "payload/payload_decryption.hpp"
#include "payload/zip_directory.hpp"
#include "support/kpack_run.hpp"
#include "support/zip_archive.hpp"
#include "windows_path_limits.hpp"
#include "zip_archive.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

namespace kp::test {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using KpackPayload = KpackTest;

const ZipArchiveEntry APP = {"kestrin_pad.exe", "application"};

// Windows creates file paths of up to 259 units and folder paths of up to 247. The application's
// entries unpack in the longest install folder a user name allows: what that leaves of each limit
// to a name after the folder's '\'.
constexpr std::size_t FILE_UNITS = 259 - pack::LONGEST_INSTALL_FOLDER_UNITS - 1;
constexpr std::size_t FOLDER_UNITS = 247 - pack::LONGEST_INSTALL_FOLDER_UNITS - 1;

TEST_F(KpackPayload, EncryptsWhatTheLauncherDecryptsAndDecryptsItBack) {
    // A non-ASCII name that carries the UTF-8 flag is read by the shell as it is. A path just at
    // Windows' limit fits: a file's, and a folder entry's (its trailing '/' not counted).
    const Bytes archive = zip_archive({APP,
                                       {"donn\u00e9es/a.txt", "x", true},
                                       {"data/" + std::string(FILE_UNITS - 5, 'n'), "x"},
                                       {std::string(FOLDER_UNITS, 'd') + "/"}});
    write_native(native("app.zip"), archive);
    ASSERT_EQ(kpack("payload encrypt" + paths({"app.zip", "app.enc"})), 0) << error_text();
    Bytes decrypted;
    ASSERT_TRUE(decrypt_payload(read_native(native("app.enc")), decrypted));
    EXPECT_EQ(decrypted, archive);

    ASSERT_EQ(kpack("payload decrypt" + paths({"app.enc", "back.zip"})), 0) << error_text();
    EXPECT_EQ(read_native(native("back.zip")), archive);
    // No temporary file stays: app.zip, app.enc, back.zip and kpack's stdout.txt and stderr.txt.
    EXPECT_EQ(std::distance(fs::directory_iterator(root()), {}), 5);
}

// Archives the install would not reproduce, or whose root lacks the application, are refused,
// naming the entry. What the launcher's reader refuses (the ZipDirectory tests hold all its rules)
// is refused through that reader, one case for each of kpack's messages.
// The Windows build has no zip library: it reads the central directory as the launcher does, says
// in one line that it checks nothing more, and encrypts.
TEST_F(KpackPayload, RefusesArchivesTheInstallCannotUse) {
    const struct {
        Bytes archive;
        std::string problem;
        bool from_directory; // the central directory alone shows it
    } cases[] = {
        {zip_archive({{"app/kestrin_pad.exe", "x"}}), "zip the folder's contents", false},
        {zip_archive({{"readme.txt", "x"}}), "no kestrin_pad.exe", false},
        {zip_archive({APP, {.name = "secret.dll", .data = "x", .flags = 1}}), "encrypted", false},
        {zip_archive({APP, {.name = "packed.dll", .data = "x", .method = 12}}), "compressed with", false},
        {zip_archive({APP, {.name = "link.dll", .data = "x", .unix_mode = 0120777}}), "is a link", false},
        {pattern_bytes(1000), "not a zip archive", true},
        {zip_archive({APP, {"../evil.dll", "x"}}), "entry \"../evil.dll\" has a name the shell would", true},
        {zip_archive({APP, {"Notes.txt", "a"}, {"notes.txt", "b"}}), "\"notes.txt\" names the same", true},
        // Info-ZIP on Linux and macOS writes UTF-8 names without the flag; the shell would read them
        // in the OEM code page, so "données" would install as "donn├⌐es". Give kpack the folder.
        {zip_archive({APP, {"donn\u00e9es/a", "x"}}), "\"donn\u00e9es/a\" has a non-ASCII name", true},
        {zip_archive({APP, {"lib/Nul.dll", "x"}}), "entry \"lib/Nul.dll\" has a name Windows reserves", true},
        {zip_archive({APP, {std::string(FILE_UNITS + 1, 'n')}}), "installed: its file path is 260 UTF-16",
         true},
        {zip_archive({APP, {std::string(FOLDER_UNITS + 1, 'd') + "/"}}), "installed: its folder path is 248",
         true},
        {zip_archive({{"./kestrin_pad.exe", "x"}}), "\"./kestrin_pad.exe\" starts with \"./\"", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        write_native(native("app.zip"), c.archive);
        const bool refused = pack::zip_available() || c.from_directory;
        EXPECT_EQ(kpack("payload encrypt" + paths({"app.zip", "app.enc"})), refused ? 1 : 0);
        EXPECT_THAT(error_text(), HasSubstr(refused ? c.problem : "not checked"));
        EXPECT_EQ(line_count(error_text()), 1u) << error_text();
        EXPECT_EQ(fs::exists(native("app.enc")), !refused);
        fs::remove(native("app.enc"));
    }
}

// From a folder kpack writes the zip itself, the same bytes for the same folder; it keeps an empty
// folder as an entry of its own (inspect lists "logs" holding no file) and flags UTF-8 names, so
// that the launcher's reader takes it and the install recreates them, and it refuses what that
// reader refuses. Inspect reads the result back with this build's keys, and refuses an app.enc
// made elsewhere that the launcher would not install.
TEST_F(KpackPayload, EncryptsAFolderDeterministicallyAndInspectsTheResult) {
    write_native(native("other.enc"), pattern_bytes(1024));
    EXPECT_EQ(kpack("payload inspect" + paths({"other.enc"})), 1);
    EXPECT_THAT(error_text(), HasSubstr("does not decrypt"));
    write_native(native("nested.enc"), make_app_enc(zip_archive({{"app/kestrin_pad.exe", "x"}})));
    EXPECT_EQ(kpack("payload inspect" + paths({"nested.enc"})), 1);
    EXPECT_THAT(output("stdout.txt"), HasSubstr("application_at_root: no"));
    write_native(native("made.enc"), make_app_enc(zip_archive({APP, {"donn\u00e9es/a.txt", "x"}})));
    EXPECT_EQ(kpack("payload inspect" + paths({"made.enc"})), 1);
    EXPECT_THAT(error_text(), HasSubstr(pack::zip_available() ? "UTF-8 flag" : "cannot be listed"));

    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    write_native(native("app/data/b.txt"), pattern_bytes(3000));
    write_native(native("app/data/a.txt"), bytes_of("a"));
    fs::create_directories(native("app/logs/empty"));
    // Flagged UTF-8 in the archive, or inspect (the launcher's reader) would refuse it.
    write_native(native("app") / std::u8string(u8"donn\u00e9es/r\u00e9sum\u00e9.txt"), bytes_of("x"));
    if (!pack::zip_available()) { // the Windows build says it cannot
        EXPECT_EQ(kpack("payload encrypt" + paths({"app", "app.enc"})), 1);
        EXPECT_THAT(error_text(), HasSubstr("cannot be zipped"));
        return;
    }
    ASSERT_EQ(kpack("payload encrypt" + paths({"app", "one.enc"})), 0) << error_text();
    fs::last_write_time(native("app/data/a.txt"), fs::file_time_type::clock::now() - std::chrono::hours(30));
    ASSERT_EQ(kpack("payload encrypt" + paths({"app", "two.enc"})), 0) << error_text();
    EXPECT_EQ(read_native(native("one.enc")), read_native(native("two.enc")));
    // The fields in this order, with these names: release scripts read them.
    ASSERT_EQ(kpack("payload inspect" + paths({"one.enc"}) + " --json"), 0) << error_text();
    auto json = nlohmann::ordered_json::parse(output("stdout.txt"));
    EXPECT_EQ(json["file"], native("one.enc").string());
    json["file"] = "one.enc";
    json["archive_size"] = 0; // the zip writer's own
    EXPECT_EQ(json.dump(), "{\"file\":\"one.enc\",\"decrypts\":true,\"archive_size\":0,\"entries\":5,"
                           "\"root_items\":[{\"name\":\"data\",\"folder\":true,\"size\":3001,\"files\":2},"
                           "{\"name\":\"donn\u00e9es\",\"folder\":true,\"size\":1,\"files\":1},"
                           "{\"name\":\"kestrin_pad.exe\",\"folder\":false,\"size\":11,\"files\":1},"
                           "{\"name\":\"logs\",\"folder\":true,\"size\":0,\"files\":0}],"
                           "\"application_at_root\":true}");

    write_native(native("app/lib/com1"), bytes_of("x"));
    expect_refused("payload encrypt" + paths({"app", "app.enc"}),
                   {"\"lib/com1\" has a name Windows reserves"});
}

// The identity the build wrote for the release kit is what kpack prints.
TEST_F(KpackPayload, VersionPrintsTheIdentityTheReleaseKitCarries) {
    EXPECT_EQ(kpack("--version"), 0);
    EXPECT_EQ(output("stdout.txt"),
              text_of(read_native(built_program("kpack").parent_path() / "build_identity.txt")));
}

} // namespace
} // namespace kp::test
