// kpack tools, run as the real command line tool, read back with the launcher's own reader.
#include "support/pe_image.hpp"
#include "support/sandbox.hpp"
#include "tool_package_check.hpp"
#include "tools/tool_package_format.hpp"

#include <algorithm>

namespace kp::test {
namespace {

namespace fs = std::filesystem;

class KpackTools : public SandboxTest {
  protected:
    int kpack(const std::string& arguments) {
        return run_command(quoted(built_program("kpack")) + " " + arguments + " >" +
                           quoted(native("stdout.txt")) + " 2>" + quoted(native("stderr.txt")));
    }
    std::string text_of(const char* file) {
        const Bytes bytes = read_native(native(file));
        return std::string(bytes.begin(), bytes.end());
    }
    std::string append_command(const std::string& host, const std::string& dir, const std::string& out) {
        return "tools append " + quoted(native(host)) + " " + quoted(native(dir)) + " -o " +
               quoted(native(out));
    }
    void put(const std::string& relative, const Bytes& content) {
        write_native(native("tools") / relative, content);
    }

    struct Read {
        std::optional<ToolPackageTrailer> trailer;
        std::vector<std::u16string> names;
        std::vector<std::uint64_t> sizes;
        bool verified = false;
    };
    Read read_package(const std::string& file) {
        Read result;
        const FileHandle handle = sys::open_file_for_reading(path(file));
        std::uint64_t size = 0;
        if (!handle || !sys::file_size(handle, size))
            return result;
        result.trailer = read_tool_package_trailer(handle, size);
        if (result.trailer)
            result.verified = pack::check_tool_package(handle, *result.trailer,
                                                       [&](const ToolPackageEntry& entry, std::uint64_t) {
                                                           result.names.push_back(entry.name);
                                                           result.sizes.push_back(entry.data_size);
                                                       })
                                  .verified;
        return result;
    }
    std::vector<std::string> listing() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root()))
            if (entry.path().filename() != "stderr.txt" && entry.path().filename() != "stdout.txt")
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // A refusal: non-zero exit, one line naming what was refused, no output file.
    void expect_refused(const std::string& arguments, const std::string& named) {
        SCOPED_TRACE(arguments);
        const auto before = listing();
        EXPECT_NE(kpack(arguments), 0);
        const std::string message = text_of("stderr.txt");
        EXPECT_NE(message.find(named), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_EQ(listing(), before);
    }
};

TEST_F(KpackTools, AppendsEveryFileParentDirectoriesFirstAndEndsOnAnEightByteBoundary) {
    const Bytes host = pe_image({.size = 1001});
    write_native(native("host.exe"), host);
    namespace fs = std::filesystem;
    fs::permissions(native("host.exe"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    put("onnxruntime.dll", pattern_bytes(70000, 2));
    put("z.txt", bytes_of("last of the root files"));
    put("models/vision/v.onnx", pattern_bytes(10, 3));
    put("models/m.onnx", {});
    put("b/x.bin", bytes_of("x"));

    ASSERT_EQ(kpack(append_command("host.exe", "tools", "out.exe")), 0) << text_of("stderr.txt");
    const Bytes out = read_native(native("out.exe"));
    EXPECT_TRUE(std::equal(host.begin(), host.end(), out.begin()));
    EXPECT_EQ(out.size() % 8, 0u);
    EXPECT_EQ(fs::status(native("out.exe")).permissions(), fs::status(native("host.exe")).permissions())
        << "an executable host stays executable";

    const Read package = read_package("out.exe");
    ASSERT_TRUE(package.trailer);
    EXPECT_EQ(package.trailer->package_offset, host.size());
    EXPECT_TRUE(package.verified);
    EXPECT_EQ(package.names, (std::vector<std::u16string>{u"onnxruntime.dll", u"z.txt", u"b\\x.bin",
                                                          u"models\\m.onnx", u"models\\vision\\v.onnx"}));
    EXPECT_EQ(package.sizes, (std::vector<std::uint64_t>{70000, 22, 1, 0, 10}));

    ASSERT_EQ(kpack("tools inspect " + quoted(native("out.exe"))), 0) << text_of("stderr.txt");
    const std::string report = text_of("stdout.txt");
    EXPECT_NE(report.find("models\\vision\\v.onnx"), std::string::npos) << report;
    EXPECT_NE(report.find("verified"), std::string::npos) << report;
}

TEST_F(KpackTools, SignedHostIsFoundInFrontOfItsCertificateTable) {
    write_native(native("host.exe"), pe_image({}));
    put("onnxruntime.dll", bytes_of("runtime"));
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "out.exe")), 0) << text_of("stderr.txt");
    write_native(native("signed.exe"), sign_image(read_native(native("out.exe")), 1432));
    EXPECT_TRUE(read_package("signed.exe").verified);
    ASSERT_EQ(kpack("tools inspect " + quoted(native("signed.exe"))), 0) << text_of("stderr.txt");
    EXPECT_NE(text_of("stdout.txt").find("1432"), std::string::npos) << text_of("stdout.txt");

    // A signed host is refused: the package must be appended before signing.
    expect_refused(append_command("signed.exe", "tools", "again.exe"), "signed.exe");
    EXPECT_NE(text_of("stderr.txt").find("sign"), std::string::npos);
}

TEST_F(KpackTools, ReplaceDropsTheOldPackageAndIsRequiredForIt) {
    write_native(native("host.exe"), pe_image({.size = 1003}));
    put("onnxruntime.dll", bytes_of("first"));
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "first.exe")), 0) << text_of("stderr.txt");
    put("onnxruntime.dll", bytes_of("second, longer"));
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "fresh.exe")), 0) << text_of("stderr.txt");

    expect_refused(append_command("first.exe", "tools", "second.exe"), "first.exe");
    // In place: OUT is the host itself.
    ASSERT_EQ(kpack(append_command("first.exe", "tools", "first.exe") + " --replace"), 0)
        << text_of("stderr.txt");
    EXPECT_EQ(read_native(native("first.exe")), read_native(native("fresh.exe")));
    EXPECT_EQ(read_package("first.exe").sizes, (std::vector<std::uint64_t>{14}));
}

TEST_F(KpackTools, RefusesWhatTheLauncherWouldRefuseNamingThePath) {
    write_native(native("host.exe"), pe_image({}));
    write_native(native("kept.exe"), bytes_of("earlier output"));
    fs::create_directories(native("empty"));
    put("a..b.dll", bytes_of("x"));
    expect_refused(append_command("host.exe", "tools", "kept.exe"), "a..b.dll");
    fs::remove(native("tools/a..b.dll"));

    // "upper" holds no file itself, so the launcher could not create it for "upper\lower\f".
    put("upper/lower/f", bytes_of("x"));
    expect_refused(append_command("host.exe", "tools", "out.exe"), "upper");
    put("upper/g", bytes_of("y"));
    ASSERT_EQ(kpack(append_command("host.exe", "tools", "out.exe")), 0) << text_of("stderr.txt");
    fs::remove(native("out.exe"));

    expect_refused(append_command("missing.exe", "tools", "out.exe"), "missing.exe");
    expect_refused(append_command("host.exe", "empty", "out.exe"), "empty");
    expect_refused(append_command("host.exe", "nowhere", "out.exe"), "nowhere");
    EXPECT_EQ(read_native(native("kept.exe")), bytes_of("earlier output"));

    if (running_under_windows())
        return; // names below cannot exist on Windows
    put("c:d", bytes_of("x"));
    expect_refused(append_command("host.exe", "tools", "out.exe"), "c:d");
    fs::remove(native("tools/c:d"));
    put("back\\slash", bytes_of("x"));
    expect_refused(append_command("host.exe", "tools", "out.exe"), "back\\slash");
    fs::remove(native("tools/back\\slash"));
    fs::create_symlink(native("host.exe"), native("tools/link.dll"));
    expect_refused(append_command("host.exe", "tools", "out.exe"), "link.dll");
    fs::remove(native("tools/link.dll"));
    // 1024 units: four 250-unit directories (each holding a file) and a 24-unit name.
    std::string deep;
    for (int level = 0; level < 4; ++level) {
        deep += std::string(249, char('a' + level)) + "/";
        put(deep + "f", bytes_of("x"));
    }
    put(deep + std::string(24, 'n'), bytes_of("x"));
    expect_refused(append_command("host.exe", "tools", "out.exe"), std::string(24, 'n'));
}

TEST_F(KpackTools, InspectFailsOnMissingOrDamagedPackages) {
    write_native(native("plain.exe"), pe_image({}));
    expect_refused("tools inspect " + quoted(native("plain.exe")), "plain.exe");
    put("onnxruntime.dll", pattern_bytes(100));
    ASSERT_EQ(kpack(append_command("plain.exe", "tools", "out.exe")), 0) << text_of("stderr.txt");
    Bytes damaged = read_native(native("out.exe"));
    damaged[1024 + 50] ^= 0x40;
    write_native(native("damaged.exe"), damaged);
    expect_refused("tools inspect " + quoted(native("damaged.exe")), "damaged.exe");
    EXPECT_NE(text_of("stderr.txt").find("does not verify"), std::string::npos) << text_of("stderr.txt");
}

TEST_F(KpackTools, HelpAtEveryLevelAndUsageErrors) {
    for (const char* help :
         {"tools --help", "tools append --help", "tools inspect -h", "tools append a b --help"}) {
        EXPECT_EQ(kpack(help), 0) << help;
        EXPECT_NE(text_of("stdout.txt").find("usage: kpack tools"), std::string::npos) << help;
    }
    for (const char* wrong :
         {"tools", "tools pack", "tools append a b", "tools append a -o c", "tools append a b -o",
          "tools append a b -o c --force", "tools inspect", "tools inspect a b"})
        EXPECT_NE(kpack(wrong), 0) << wrong;
}

} // namespace
} // namespace kp::test
