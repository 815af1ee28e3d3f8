// kpack tools, run as the real command line tool, read back with the launcher's own reader.
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "tool_package_append.hpp"
#include "tool_package_check.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_package_format.hpp"

#include <algorithm>
#include <set>

namespace kp::test {
namespace {

namespace fs = std::filesystem;

class KpackTools : public KpackTest {
  protected:
    std::string append_command(const std::string& host, const std::string& dir, const std::string& out) {
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
    std::set<fs::path> listing() {
        std::set<fs::path> names;
        for (const auto& entry : fs::directory_iterator(root()))
            if (entry.path().extension() != ".txt")
                names.insert(entry.path().filename());
        return names;
    }
    // A refusal: non-zero exit, one line naming what was refused, no output file.
    void expect_refused(const std::string& arguments, const std::string& named) {
        SCOPED_TRACE(arguments);
        const auto before = listing();
        EXPECT_NE(kpack(arguments), 0);
        const std::string message = output("stderr.txt");
        EXPECT_NE(message.find(named), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
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
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "out.exe")), 0) << output("stderr.txt");
    EXPECT_EQ(kpack("tools inspect " + quoted(native("out.exe"))), 0) << output("stderr.txt");
    EXPECT_NE(output("stdout.txt").find("identifier:         verified"), std::string::npos);
    EXPECT_EQ(kpack("tools inspect " + quoted(native("out.exe")) + " --json"), 0) << output("stderr.txt");
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
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "fresh.exe")), 0) << output("stderr.txt");
    expect_refused(append_command("out.exe", "tools", "again.exe"), "out.exe");
    ASSERT_EQ(kpack(append_command("out.exe", "tools", "out.exe") + " --replace"), 0) << output("stderr.txt");
    EXPECT_EQ(read_native(native("out.exe")), read_native(native("fresh.exe")));
}

TEST_F(KpackTools, RefusesWhatTheLauncherWouldRefuseNamingThePath) {
    write_native(native("host.exe"), pe_image({}));
    write_native(native("signed.exe"), sign_image(pe_image({}), 1432));
    write_native(native("kept.exe"), bytes_of("earlier output"));
    fs::create_directories(native("empty"));
    put("onnxruntime.dll", pattern_bytes(100));
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "damaged.exe")), 0) << output("stderr.txt");
    Bytes damaged = read_native(native("damaged.exe"));
    damaged[1024 + 50] ^= 0x40;
    write_native(native("damaged.exe"), damaged);
    expect_refused("tools inspect " + quoted(native("host.exe")), "host.exe");
    expect_refused("tools inspect " + quoted(native("damaged.exe")), "does not verify");
    expect_refused(append_command("missing.exe", "tools", "kept.exe"), "missing.exe");
    expect_refused(append_command("host.exe", "empty", "kept.exe"), "empty");
    expect_refused(append_command("host.exe", "nowhere", "kept.exe"), "nowhere");
    expect_refused(append_command("signed.exe", "tools", "kept.exe"), "signed.exe"); // append before signing

    // Each case in a fresh DIR holding onnxruntime.dll and the given files.
    const auto refuses = [&](const std::vector<std::string>& files, const std::string& named) {
        fs::remove_all(native("tools"));
        put("onnxruntime.dll", bytes_of("runtime"));
        for (const std::string& file : files)
            put(file, bytes_of("x"));
        expect_refused(append_command("host.exe", "tools", "kept.exe"), named);
    };
    refuses({"a..b.dll"}, "a..b.dll");
    // "upper" holds no file itself, so the launcher could not create it for "upper\lower\f".
    refuses({"upper/lower/f"}, "upper");
    fs::remove_all(native("tools"));
    put("models/m.onnx", bytes_of("x")); // the completeness probe is missing
    expect_refused(append_command("host.exe", "tools", "kept.exe"), "onnxruntime.dll");
    if (!running_under_windows()) { // names that cannot exist on Windows
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
        expect_refused(append_command("host.exe", "tools", "kept.exe"), "link.dll");
    }
    EXPECT_EQ(read_native(native("kept.exe")), bytes_of("earlier output"));

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
