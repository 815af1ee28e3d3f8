// kpack tools, run as the real command line tool; inspect reads packages with the launcher's own
// reader.
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "tool_package_append.hpp"
#include "tool_package_writer.hpp"
#include "windows_path_limits.hpp"

#include <nlohmann/json.hpp>

namespace kp::test {
namespace {

namespace fs = std::filesystem;
using namespace testing;

// Windows creates file paths of up to 259 units and folder paths of up to 247. Tool entries
// unpack under "\ai.new\" in the longest install folder a user name allows: what that leaves of
// each limit to a name.
constexpr std::size_t FILE_UNITS = 259 - pack::LONGEST_INSTALL_FOLDER_UNITS - 8;
constexpr std::size_t FOLDER_UNITS = 247 - pack::LONGEST_INSTALL_FOLDER_UNITS - 8;

class KpackTools : public KpackTest {
  protected:
    std::string append(const std::string& host, const std::string& dir = "tools",
                       const std::string& out = "kept.exe") {
        return "tools append" + paths({host, dir}) + " -o" + paths({out});
    }
    void put(const std::string& name, const Bytes& data) { write_native(native("tools") / name, data); }
};

TEST_F(KpackTools, AppendsEveryFileParentDirectoriesFirstAfterTheHost) {
    write_native(native("host.exe"), pe_image({.size = 1001}));
    put("onnxruntime.dll", pattern_bytes(70000, 2));
    put("z.txt", bytes_of("last of the root files"));
    put("models/vision/v.onnx", pattern_bytes(10, 3));
    put("models/m.onnx", {});
    put("b/x.bin", bytes_of("x"));
    ASSERT_EQ(kpack(append("host.exe", "tools", "out.exe")), 0) << error_text();
    // As the launcher's reader walks the package: the entries in order, and the identifier verified.
    EXPECT_EQ(kpack("tools inspect" + paths({"out.exe"}) + " --json"), 0) << error_text();
    const auto json = nlohmann::ordered_json::parse(output("stdout.txt"));
    EXPECT_EQ(json.begin().key(), "file_size");
    EXPECT_EQ(json["package_offset"], 1001);
    EXPECT_EQ(json["entries"].dump(),
              R"([{"name":"onnxruntime.dll","size":70000},{"name":"z.txt","size":22},)"
              R"({"name":"b\\x.bin","size":1},{"name":"models\\m.onnx","size":0},)"
              R"({"name":"models\\vision\\v.onnx","size":10}])");
    EXPECT_EQ(json["identifier"], "verified");

    // A package is replaced only when asked, here in place; then as if appended to the bare host.
    put("onnxruntime.dll", bytes_of("second"));
    ASSERT_EQ(kpack(append("host.exe", "tools", "fresh.exe")), 0) << error_text();
    expect_refused(append("out.exe", "tools", "again.exe"), {"out.exe"});
    ASSERT_EQ(kpack(append("out.exe", "tools", "out.exe") + " --replace"), 0) << error_text();
    EXPECT_EQ(read_native(native("out.exe")), read_native(native("fresh.exe")));
}

TEST_F(KpackTools, RefusesWhatTheLauncherWouldRefuseNamingThePath) {
    write_native(native("host.exe"), pe_image({}));
    write_native(native("signed.exe"), sign_image(pe_image({}), 1432));
    write_native(native("kept.exe"), bytes_of("earlier output"));
    fs::create_directories(native("empty"));
    put("onnxruntime.dll", pattern_bytes(100));
    ASSERT_EQ(kpack(append("host.exe", "tools", "damaged.exe")), 0) << error_text();
    Bytes damaged = read_native(native("damaged.exe"));
    damaged[1024 + 50] ^= 0x40;
    write_native(native("damaged.exe"), damaged);
    expect_refused("tools inspect" + paths({"host.exe"}), {"host.exe"});
    expect_refused("tools inspect" + paths({"damaged.exe"}), {"does not verify"});
    expect_refused(append("missing.exe"), {"missing.exe"});
    expect_refused(append("host.exe", "empty"), {"empty"});
    expect_refused(append("signed.exe"), {"signed.exe"}); // append before signing

    // Each case in a fresh DIR holding the given files and, unless told otherwise, onnxruntime.dll.
    const auto refuses = [&](const std::vector<std::string>& files, const std::string& named,
                             bool probe = true) {
        fs::remove_all(native("tools"));
        if (probe)
            put("onnxruntime.dll", bytes_of("runtime"));
        for (const std::string& file : files)
            put(file, bytes_of("x"));
        expect_refused(append("host.exe"), {named});
    };
    refuses({"a..b.dll"}, "a..b.dll");
    refuses({std::string(FILE_UNITS + 1, 'n')}, "its file path is 260 UTF-16 units long");
    // "upper" holds no file itself, so the launcher could not create it for "upper\lower\f".
    refuses({"upper/lower/f"}, "upper");
    refuses({"models/m.onnx"}, "onnxruntime.dll", false); // the completeness probe is missing
    if (!running_under_windows()) {                       // names that cannot exist on Windows
        refuses({"models/com1.bin"}, "com1.bin");
        refuses({std::string(FOLDER_UNITS + 1, 'd') + "/f"}, "its folder path is 248 UTF-16 units long");
        for (const char* name :
             {"a?b", "a<b", "a*b", "pipe|", "quote\"", "trail.", "trail ", "dir./f", "ctl\x01"})
            refuses({name}, "Windows");
        refuses({"Models/a.onnx", "models/b.onnx"}, "letter case");
        refuses({"Notes.txt", "notes.txt"}, "letter case");
        refuses({"back\\slash"}, "back\\slash");
        fs::remove_all(native("tools"));
        fs::create_directories(native("tools"));
        fs::create_symlink(native("host.exe"), native("tools/link.dll"));
        expect_refused(append("host.exe"), {"link.dll"});
    }

    // Packages made by hand: inspect refuses what the launcher would not take as it is.
    const std::pair<std::vector<pack::ToolFile>, std::string> hand_made[] = {
        {{{u"onnxruntime.dll", {}}, {u"aux.onnx", {}}}, "aux.onnx"},
        {{{u"onnxruntime.dll", {}}, {u"a\\b\\c.bin", {}}}, "one folder level"},
        {{{u"models.bin", {}}}, "onnxruntime.dll"},
    };
    for (const auto& [files, named] : hand_made) {
        write_native(native("hand.exe"), pack::append_tool_package(pe_image({}), files));
        expect_refused("tools inspect" + paths({"hand.exe"}), {named});
    }
}

// Just at each limit a path fits: a file's, and a folder's (the file in it may go past that).
TEST_F(KpackTools, TakesNamesJustAtWindowsPathLimits) {
    write_native(native("host.exe"), pe_image({}));
    put("onnxruntime.dll", bytes_of("runtime"));
    put(std::string(FILE_UNITS, 'n'), bytes_of("x"));
    // Windows lists no folder whose path, with the sandbox's, passes MAX_PATH (Wine is kinder to
    // files); the POSIX run covers the folder.
    if (!running_under_windows())
        put(std::string(FOLDER_UNITS, 'd') + "/f", bytes_of("x"));
    ASSERT_EQ(kpack(append("host.exe", "tools", "fits.exe")), 0) << error_text();
    EXPECT_EQ(kpack("tools inspect" + paths({"fits.exe"})), 0) << error_text();
}

// A package made elsewhere verifies, yet holds a name the launcher cannot create: inspect says so
// on a line of its own, apart from the digest, and fails.
TEST_F(KpackTools, InspectListsNamesTheLauncherCannotCreateApartFromTheDigest) {
    const std::u16string too_long = u"models\\" + std::u16string(FILE_UNITS - 7 + 1, u'n');
    const std::string name = utf16_to_utf8(too_long);
    write_native(native("made.exe"),
                 pack::append_tool_package(
                     pe_image({}),
                     {{u"onnxruntime.dll", bytes_of("r")}, {u"models\\m", {}}, {too_long, bytes_of("x")}}));
    expect_refused("tools inspect" + paths({"made.exe"}), {name});
    EXPECT_THAT(output("stdout.txt"),
                AllOf(HasSubstr("\nidentifier:         verified\nnames the launcher cannot create:\n"),
                      HasSubstr(" 260  " + name + "\n")));
    EXPECT_EQ(kpack("tools inspect --json" + paths({"made.exe"})), 1);
    const auto json = nlohmann::json::parse(output("stdout.txt"));
    EXPECT_EQ(json.value("identifier", ""), "verified");
    EXPECT_EQ(json["names_the_launcher_cannot_create"],
              nlohmann::json::array({{{"name", name}, {"path_units", 260}}}));
}

// A hash that fails inside kpack is an error, never a trailer with an empty identifier.
TEST_F(KpackTools, FailedHashLeavesNoOutput) {
    write_native(native("host.exe"), pe_image({}));
    put("onnxruntime.dll", bytes_of("runtime"));
    fault::finish_hash = [](const HashHandle&, Sha256Digest&) { return false; };
    testing::internal::CaptureStderr();
    EXPECT_NE(pack::append_tool_package_file({native("host.exe"), native("tools"), native("out.exe")}), 0);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("SHA-256"));
    EXPECT_FALSE(fs::exists(native("out.exe")));
}

} // namespace
} // namespace kp::test
