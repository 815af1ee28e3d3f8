// kpack tools, run as the real command line tool, read back with the launcher's own reader.
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "support/tool_sets.hpp"
#include "tool_package_append.hpp"
#include "tool_package_check.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_package_format.hpp"

namespace kp::test {
namespace {

namespace fs = std::filesystem;

class KpackTools : public KpackTest {
  protected:
    std::string append(const std::string& host, const std::string& dir = "tools",
                       const std::string& out = "kept.exe") {
        return "tools append " + quoted(native(host)) + " " + quoted(native(dir)) + " -o " +
               quoted(native(out));
    }
    void put(const std::string& name, const Bytes& data) { write_native(native("tools") / name, data); }

    // The package as the launcher's reader walks it: "at OFFSET", then "NAME SIZE" per entry, and
    // "verified" last when the identifier verifies.
    std::vector<std::string> package_of(const std::string& file) {
        const FileHandle handle = sys::open_file_for_reading(path(file));
        const auto trailer = read_tool_package_trailer(handle, fs::file_size(native(file)));
        std::vector<std::string> read = {"at " + std::to_string(trailer.value().package_offset)};
        const auto check =
            pack::check_tool_package(handle, *trailer, [&](const ToolPackageEntry& entry, std::uint64_t) {
                read.push_back(utf16_to_utf8(entry.name) + " " + std::to_string(entry.data_size));
            });
        read.push_back(check.verified ? "verified" : "unverified");
        return read;
    }
    // Every file in the sandbox with its content, but what kpack printed.
    FileSet listing() {
        FileSet files = files_under(root()).value();
        files.erase("stdout.txt");
        files.erase("stderr.txt");
        return files;
    }
    // A refusal: non-zero exit, one line naming what was refused, no file made or changed.
    void expect_refused(const std::string& arguments, const std::string& named) {
        SCOPED_TRACE(arguments);
        const auto before = listing();
        EXPECT_NE(kpack(arguments), 0);
        EXPECT_NE(error_text().find(named), std::string::npos) << error_text();
        EXPECT_EQ(line_count(error_text()), 1u) << error_text();
        EXPECT_EQ(listing(), before);
    }
};

TEST_F(KpackTools, AppendsEveryFileParentDirectoriesFirstAfterTheHost) {
    write_native(native("host.exe"), pe_image({.size = 1001}));
    put("onnxruntime.dll", pattern_bytes(70000, 2));
    put("z.txt", bytes_of("last of the root files"));
    put("models/vision/v.onnx", pattern_bytes(10, 3));
    put("models/m.onnx", {});
    put("b/x.bin", bytes_of("x"));
    ASSERT_EQ(kpack(append("host.exe", "tools", "out.exe")), 0) << error_text();
    EXPECT_EQ(kpack("tools inspect " + quoted(native("out.exe"))), 0) << error_text();
    EXPECT_NE(output("stdout.txt").find("identifier:         verified"), std::string::npos);
    EXPECT_EQ(kpack("tools inspect " + quoted(native("out.exe")) + " --json"), 0) << error_text();
    const std::string json = output("stdout.txt");
    EXPECT_TRUE(json.starts_with("{\"file_size\":")) << json;
    for (const char* field :
         {"\"package_offset\":1001,", "{\"name\":\"b\\\\x.bin\",\"size\":1}", "\"identifier\":\"verified\"}"})
        EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;
    EXPECT_EQ(package_of("out.exe"),
              (std::vector<std::string>{"at 1001", "onnxruntime.dll 70000", "z.txt 22", "b\\x.bin 1",
                                        "models\\m.onnx 0", "models\\vision\\v.onnx 10", "verified"}));

    // A package is replaced only when asked, here in place; then as if appended to the bare host.
    put("onnxruntime.dll", bytes_of("second"));
    ASSERT_EQ(kpack(append("host.exe", "tools", "fresh.exe")), 0) << error_text();
    expect_refused(append("out.exe", "tools", "again.exe"), "out.exe");
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
    expect_refused("tools inspect " + quoted(native("host.exe")), "host.exe");
    expect_refused("tools inspect " + quoted(native("damaged.exe")), "does not verify");
    expect_refused(append("missing.exe"), "missing.exe");
    expect_refused(append("host.exe", "empty"), "empty");
    expect_refused(append("host.exe", "nowhere"), "nowhere");
    expect_refused(append("signed.exe"), "signed.exe"); // append before signing

    // Each case in a fresh DIR holding the given files and, unless told otherwise, onnxruntime.dll.
    const auto refuses = [&](const std::vector<std::string>& files, const std::string& named,
                             bool probe = true) {
        fs::remove_all(native("tools"));
        if (probe)
            put("onnxruntime.dll", bytes_of("runtime"));
        for (const std::string& file : files)
            put(file, bytes_of("x"));
        expect_refused(append("host.exe"), named);
    };
    refuses({"a..b.dll"}, "a..b.dll");
    // "upper" holds no file itself, so the launcher could not create it for "upper\lower\f".
    refuses({"upper/lower/f"}, "upper");
    refuses({"models/m.onnx"}, "onnxruntime.dll", false); // the completeness probe is missing
    if (!running_under_windows()) {                       // names that cannot exist on Windows
        refuses({"aux.onnx"}, "aux.onnx");
        refuses({"models/com1.bin"}, "com1.bin");
        for (const char* name :
             {"a?b", "a<b", "a*b", "pipe|", "quote\"", "trail.", "trail ", "dir./f", "ctl\x01"})
            refuses({name}, "Windows");
        refuses({"Models/a.onnx", "models/b.onnx"}, "letter case");
        refuses({"Notes.txt", "notes.txt"}, "letter case");
        refuses({"back\\slash"}, "back\\slash");
        fs::remove_all(native("tools"));
        fs::create_directories(native("tools"));
        fs::create_symlink(native("host.exe"), native("tools/link.dll"));
        expect_refused(append("host.exe"), "link.dll");
    }

    // Packages made by hand: inspect refuses what the launcher would not take as it is.
    const std::pair<std::vector<pack::ToolFile>, std::string> hand_made[] = {
        {{{u"onnxruntime.dll", {}}, {u"aux.onnx", {}}}, "aux.onnx"},
        {{{u"onnxruntime.dll", {}}, {u"a\\b\\c.bin", {}}}, "one folder level"},
        {{{u"models.bin", {}}}, "onnxruntime.dll"},
    };
    for (const auto& [files, named] : hand_made) {
        write_native(native("hand.exe"), pack::append_tool_package(pe_image({}), files));
        expect_refused("tools inspect " + quoted(native("hand.exe")), named);
    }
}

// A hash that fails inside kpack is an error, never a trailer with an empty identifier.
TEST_F(KpackTools, FailedHashLeavesNoOutput) {
    write_native(native("host.exe"), pe_image({}));
    put("onnxruntime.dll", bytes_of("runtime"));
    fault::finish_hash = [](const HashHandle&, Sha256Digest&) { return false; };
    testing::internal::CaptureStderr();
    EXPECT_NE(pack::append_tool_package_file({native("host.exe"), native("tools"), native("out.exe")}), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("SHA-256"), std::string::npos);
    EXPECT_FALSE(fs::exists(native("out.exe")));
}

} // namespace
} // namespace kp::test
