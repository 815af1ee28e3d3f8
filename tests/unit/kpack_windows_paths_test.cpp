// Names kpack writes must give paths Windows can create under the longest install folder a user
// name allows; tool entries under ai.new, the application's entries under the install folder.
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "support/zip_archive.hpp"
#include "tool_package_writer.hpp"
#include "windows_path_limits.hpp"
#include "zip_archive.hpp"

#include <nlohmann/json.hpp>

namespace kp::test {
namespace {

namespace fs = std::filesystem;
using pack::PathBase;

// Units a name may have under each base: what is left of the limit after the base and its '\'.
constexpr std::size_t STAGING = pack::LONGEST_INSTALL_FOLDER_UNITS + 7 + 1; // "\ai.new\"
constexpr std::size_t INSTALL = pack::LONGEST_INSTALL_FOLDER_UNITS + 1;
constexpr std::size_t FILE_LIMIT = 259;
constexpr std::size_t FOLDER_LIMIT = 247;

std::u16string units(std::size_t count, char16_t unit = u'n') {
    return std::u16string(count, unit);
}

TEST(WindowsPathLimits, FilesUpTo259AndFoldersUpTo247Units) {
    for (const auto& [base, under] :
         {std::pair{PathBase::staging_directory, STAGING}, std::pair{PathBase::install_folder, INSTALL}}) {
        SCOPED_TRACE(under);
        EXPECT_TRUE(pack::windows_path_length(units(FILE_LIMIT - under), false, base).fits);
        const auto file = pack::windows_path_length(units(FILE_LIMIT - under + 1), false, base);
        EXPECT_FALSE(file.fits);
        EXPECT_FALSE(file.folder);
        EXPECT_EQ(file.units, FILE_LIMIT + 1);
        // The file fits, its folder does not: the folder limit is the lower one.
        const std::u16string deep = units(FOLDER_LIMIT - under + 1) + u"\\f";
        const auto folder = pack::windows_path_length(deep, false, base);
        EXPECT_FALSE(folder.fits);
        EXPECT_TRUE(folder.folder);
        EXPECT_EQ(folder.units, FOLDER_LIMIT + 1);
        EXPECT_TRUE(pack::windows_path_length(units(FOLDER_LIMIT - under) + u"\\f", false, base).fits);
        // A folder entry, with or without its trailing separator, is held to the folder limit.
        EXPECT_TRUE(pack::windows_path_length(units(FOLDER_LIMIT - under) + u"/", true, base).fits);
        EXPECT_FALSE(pack::windows_path_length(units(FOLDER_LIMIT - under + 1) + u"/", true, base).fits);
        EXPECT_FALSE(pack::windows_path_length(units(FOLDER_LIMIT - under + 1), true, base).fits);
    }
    // Under ai.new a name has 7 units fewer than under the install folder.
    EXPECT_FALSE(
        pack::windows_path_length(units(FILE_LIMIT - INSTALL), false, PathBase::staging_directory).fits);
}

class KpackWindowsPaths : public KpackTest {
  protected:
    std::string append(const std::string& out) {
        return "tools append " + quoted(native("host.exe")) + " " + quoted(native("tools")) + " -o " +
               quoted(native(out));
    }
};

TEST_F(KpackWindowsPaths, AppendRefusesAToolWhosePathIsTooLongAndTakesOneAtTheLimit) {
    write_native(native("host.exe"), pe_image({}));
    write_native(native("tools/onnxruntime.dll"), bytes_of("runtime"));
    const std::string longest(FILE_LIMIT - STAGING, 'n');
    write_native(native("tools") / longest, bytes_of("x"));
    ASSERT_EQ(kpack(append("fits.exe")), 0) << error_text();
    EXPECT_EQ(kpack("tools inspect " + quoted(native("fits.exe"))), 0) << error_text();
    EXPECT_NE(output("stdout.txt").find("identifier:         verified"), std::string::npos);

    for (const fs::path& name :
         {fs::path(longest + "n"), fs::path(std::string(FOLDER_LIMIT - STAGING + 1, 'd')) / "f"}) {
        SCOPED_TRACE(name.string());
        // Windows lists no folder whose path, with the sandbox's, passes MAX_PATH (Wine is kinder
        // to files); the POSIX run and the boundaries above cover this case.
        if (running_under_windows() && name.has_parent_path())
            continue;
        fs::remove_all(native("tools"));
        write_native(native("tools/onnxruntime.dll"), bytes_of("runtime"));
        write_native(native("tools") / name, bytes_of("x"));
        EXPECT_EQ(kpack(append("long.exe")), 1);
        EXPECT_NE(error_text().find(name.filename().string()), std::string::npos) << error_text();
        EXPECT_NE(error_text().find("Windows creates"), std::string::npos) << error_text();
        EXPECT_EQ(line_count(error_text()), 1u);
        EXPECT_FALSE(fs::exists(native("long.exe")));
    }
}

// A package made elsewhere verifies, yet holds a name the launcher cannot create: inspect says so
// on a line of its own, apart from the digest, and fails.
TEST_F(KpackWindowsPaths, InspectListsNamesTheLauncherCannotCreateApartFromTheDigest) {
    const std::u16string too_long = u"models\\" + units(FILE_LIMIT - STAGING - 7 + 1);
    write_native(native("made.exe"),
                 pack::append_tool_package(
                     pe_image({}),
                     {{u"onnxruntime.dll", bytes_of("r")}, {u"models\\m", {}}, {too_long, bytes_of("x")}}));
    EXPECT_EQ(kpack("tools inspect " + quoted(native("made.exe"))), 1);
    const std::string text = output("stdout.txt");
    EXPECT_NE(text.find("\nidentifier:         verified\nnames the launcher cannot create:\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::to_string(FILE_LIMIT + 1) + "  " + utf16_to_utf8(too_long) + "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(line_count(error_text()), 1u);
    EXPECT_NE(error_text().find(utf16_to_utf8(too_long)), std::string::npos) << error_text();

    EXPECT_EQ(kpack("tools inspect --json " + quoted(native("made.exe"))), 1);
    const auto json = nlohmann::json::parse(output("stdout.txt"));
    EXPECT_EQ(json.value("identifier", ""), "verified");
    ASSERT_EQ(json["names_the_launcher_cannot_create"].size(), 1u);
    EXPECT_EQ(json["names_the_launcher_cannot_create"][0]["name"], utf16_to_utf8(too_long));
    EXPECT_EQ(json["names_the_launcher_cannot_create"][0]["path_units"], FILE_LIMIT + 1);
}

TEST_F(KpackWindowsPaths, EncryptRefusesApplicationPathsTooLongUnderTheInstallFolder) {
    const ZipArchiveEntry app = {"kestrin_pad.exe", "application"};
    const std::string longest(FILE_LIMIT - INSTALL, 'n');
    write_native(native("fits.zip"), zip_archive({app, {"data/" + longest.substr(5), "x"}}));
    EXPECT_EQ(kpack("payload encrypt " + quoted(native("fits.zip")) + " " + quoted(native("fits.enc"))), 0)
        << error_text();
    const std::string deep_folder = std::string(FOLDER_LIMIT - INSTALL + 1, 'd') + "/";
    for (const auto& entry :
         {ZipArchiveEntry{longest + "n", "x"}, ZipArchiveEntry{.name = deep_folder, .unix_mode = 040755}}) {
        SCOPED_TRACE(entry.name);
        write_native(native("long.zip"), zip_archive({app, entry}));
        EXPECT_EQ(kpack("payload encrypt " + quoted(native("long.zip")) + " " + quoted(native("long.enc"))),
                  1);
        EXPECT_NE(error_text().find("entry \"" + entry.name + "\""), std::string::npos) << error_text();
        EXPECT_NE(error_text().find(utf16_to_utf8(INSTALL_FOLDER_NAME) + ";"), std::string::npos)
            << error_text();
        EXPECT_FALSE(fs::exists(native("long.enc")));
    }
    if (!pack::zip_available())
        return; // this build zips no folders
    // The folder form keeps an empty folder as an entry, so it is held to the folder limit too.
    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    fs::create_directories(native("app") / deep_folder);
    EXPECT_EQ(kpack("payload encrypt " + quoted(native("app")) + " " + quoted(native("app.enc"))), 1);
    EXPECT_NE(error_text().find(deep_folder), std::string::npos) << error_text();
    EXPECT_FALSE(fs::exists(native("app.enc")));
}

} // namespace
} // namespace kp::test
