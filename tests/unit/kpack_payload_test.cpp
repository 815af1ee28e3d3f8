// kpack payload, run as the real command line tool.
#include "payload/payload_decryption.hpp"
#include "support/kpack_run.hpp"
#include "support/zip_archive.hpp"
#include "zip_archive.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

namespace kp::test {
namespace {

using KpackPayload = KpackTest;

TEST_F(KpackPayload, EncryptsWhatTheLauncherDecryptsAndDecryptsItBack) {
    const Bytes archive = zip_archive({{"kestrin_pad.exe", "application"}});
    write_native(native("app.zip"), archive);
    ASSERT_EQ(kpack("payload encrypt " + quoted(native("app.zip")) + " " + quoted(native("app.enc"))), 0)
        << error_text();
    const Bytes app_enc = read_native(native("app.enc"));
    // The inner layer pads to the next 16-byte block, the outer adds a whole block.
    EXPECT_EQ(app_enc.size(), (archive.size() / 16 + 1) * 16 + 16);
    Bytes decrypted;
    ASSERT_TRUE(decrypt_payload(app_enc, decrypted));
    EXPECT_EQ(decrypted, archive);

    ASSERT_EQ(kpack("payload decrypt " + quoted(native("app.enc")) + " " + quoted(native("back.zip"))), 0)
        << error_text();
    EXPECT_EQ(read_native(native("back.zip")), archive);
    // No temporary file stays: app.zip, app.enc, back.zip and kpack's stdout.txt and stderr.txt.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root()), {}), 5);
}

// Archives the install would not reproduce, or whose root lacks the application, are refused,
// naming the entry.
// The Windows build has no zip library: it reads the central directory as the launcher does, says
// in one line that it checks nothing more, and encrypts.
TEST_F(KpackPayload, RefusesArchivesTheInstallCannotUse) {
    const ZipArchiveEntry app = {"kestrin_pad.exe", "application"};
    const struct {
        std::vector<ZipArchiveEntry> entries;
        std::string problem;
        bool from_directory; // the central directory alone shows it
    } cases[] = {
        {{{"app/kestrin_pad.exe", "x"}}, "zip the folder's contents", false},
        {{{"readme.txt", "x"}}, "no kestrin_pad.exe", false},
        {{app, {.name = "secret.dll", .data = "x", .flags = 1}}, "encrypted", false},
        {{app, {.name = "packed.dll", .data = "x", .method = 12}}, "compressed with", false},
        {{app, {"../evil.dll", "x"}}, "\"..\"", true},
        {{app, {"/etc/evil", "x"}}, "absolute", true},
        {{app, {"Notes.txt", "a"}, {"notes.txt", "b"}}, "entry \"notes.txt\" names the same path", true},
        {{app, {"data\\a.txt", "x"}}, "entry \"data\\a.txt\" has a name", true},
        {{app, {"c:/evil.dll", "x"}}, "drive letter", true},
        {{app, {"donn\u00e9es/a.txt", "x"}}, "\"donn\u00e9es/a.txt\" has a non-ASCII name without", true},
        {{app, {"lib/Nul.dll", "x"}}, "entry \"lib/Nul.dll\" has a name Windows reserves", true},
        {{{"./kestrin_pad.exe", "x"}, {"./data/a", "y"}}, "\"./kestrin_pad.exe\" starts with \"./\"", true},
        {{app, {.name = "link.dll", .data = "kestrin_pad.exe", .unix_mode = 0120777}}, "link", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        write_native(native("app.zip"), zip_archive(c.entries));
        const bool refused = pack::zip_available() || c.from_directory;
        EXPECT_EQ(kpack("payload encrypt " + quoted(native("app.zip")) + " " + quoted(native("app.enc"))),
                  refused ? 1 : 0);
        const std::string message = error_text();
        EXPECT_NE(message.find(refused ? c.problem : "not checked"), std::string::npos) << message;
        EXPECT_EQ(line_count(message), 1u) << message;
        EXPECT_EQ(std::filesystem::exists(native("app.enc")), !refused);
        std::filesystem::remove(native("app.enc"));
    }
}

// From a folder kpack writes the zip itself, the same bytes for the same folder; inspect reads
// the result back with this build's keys.
TEST_F(KpackPayload, EncryptsAFolderDeterministicallyAndInspectsTheResult) {
    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    write_native(native("app/data/b.txt"), pattern_bytes(3000));
    write_native(native("app/data/a.txt"), bytes_of("a"));
    const std::string encrypt = "payload encrypt " + quoted(native("app")) + " ";
    if (!pack::zip_available()) { // the Windows build says it cannot
        EXPECT_NE(kpack(encrypt + quoted(native("app.enc"))), 0);
        EXPECT_NE(error_text().find("cannot be zipped"), std::string::npos) << error_text();
        return;
    }
    ASSERT_EQ(kpack(encrypt + quoted(native("one.enc"))), 0) << error_text();
    std::filesystem::last_write_time(native("app/data/a.txt"),
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(30));
    ASSERT_EQ(kpack(encrypt + quoted(native("two.enc"))), 0) << error_text();
    EXPECT_EQ(read_native(native("one.enc")), read_native(native("two.enc")));

    ASSERT_EQ(kpack("payload inspect " + quoted(native("one.enc")) + " --json"), 0) << error_text();
    // The fields in this order, with these names: release scripts read them.
    const std::string report = output("stdout.txt");
    const auto json = nlohmann::ordered_json::parse(report);
    std::vector<std::string> fields;
    for (const auto& [name, value] : json.items())
        fields.push_back(name);
    EXPECT_EQ(fields, (std::vector<std::string>{"file", "decrypts", "archive_size", "entries", "root_items",
                                                "application_at_root"}));
    EXPECT_EQ(json["file"], native("one.enc").string());
    EXPECT_EQ(json["root_items"].dump(),
              "[{\"name\":\"data\",\"folder\":true,\"size\":3001,\"files\":2},"
              "{\"name\":\"kestrin_pad.exe\",\"folder\":false,\"size\":11,\"files\":1}]");
    EXPECT_EQ(json["application_at_root"], true);

    // Other keys, or a root without the application: non-zero.
    write_native(native("other.enc"), pattern_bytes(1024));
    EXPECT_NE(kpack("payload inspect " + quoted(native("other.enc"))), 0);
    EXPECT_NE(error_text().find("does not decrypt"), std::string::npos);
    write_native(native("nested.enc"), make_app_enc(zip_archive({{"app/kestrin_pad.exe", "x"}})));
    EXPECT_NE(kpack("payload inspect " + quoted(native("nested.enc"))), 0);
    EXPECT_NE(text_of(read_native(native("stdout.txt"))).find("application_at_root: no"), std::string::npos);
}

// The identity the build wrote for the release kit is what kpack prints.
TEST_F(KpackPayload, VersionPrintsTheIdentityTheReleaseKitCarries) {
    EXPECT_EQ(kpack("--version"), 0);
    EXPECT_EQ(output("stdout.txt"),
              text_of(read_native(built_program("kpack").parent_path() / "build_identity.txt")));
}

} // namespace
} // namespace kp::test
