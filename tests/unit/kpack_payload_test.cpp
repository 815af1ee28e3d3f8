// kpack payload, run as the real command line tool.
#include "payload/payload_decryption.hpp"
#include "support/sandbox.hpp"

#include <algorithm>

namespace kp::test {
namespace {

class KpackPayload : public SandboxTest {
  protected:
    int kpack(const std::string& arguments) {
        return run_command(quoted(built_program("kpack")) + " " + arguments + " >" +
                           quoted(native("stdout.txt")) + " 2>" + quoted(native("stderr.txt")));
    }
    std::string error_text() {
        const Bytes bytes = read_native(native("stderr.txt"));
        return std::string(bytes.begin(), bytes.end());
    }
    std::vector<std::string> folder_listing() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(root()))
            if (entry.path().filename() != "stderr.txt" && entry.path().filename() != "stdout.txt")
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(KpackPayload, EncryptsWhatTheLauncherDecryptsAndDecryptsItBack) {
    const Bytes archive = pattern_bytes(1000, 3);
    write_native(native("app.zip"), archive);
    ASSERT_EQ(kpack("payload encrypt " + quoted(native("app.zip")) + " " + quoted(native("app.enc"))), 0)
        << error_text();
    const Bytes app_enc = read_native(native("app.enc"));
    EXPECT_EQ(app_enc.size(), 1024u);
    Bytes decrypted;
    ASSERT_TRUE(decrypt_payload(app_enc, decrypted));
    EXPECT_EQ(decrypted, archive);

    ASSERT_EQ(kpack("payload decrypt " + quoted(native("app.enc")) + " " + quoted(native("back.zip"))), 0)
        << error_text();
    EXPECT_EQ(read_native(native("back.zip")), archive);
    EXPECT_EQ(folder_listing(), (std::vector<std::string>{"app.enc", "app.zip", "back.zip"}));
}

TEST_F(KpackPayload, BadInputNamesTheFileAndLeavesNoOutput) {
    write_native(native("damaged.enc"), pattern_bytes(1024));
    write_native(native("kept.zip"), bytes_of("earlier output"));
    const struct {
        std::string arguments;
        std::string named;
    } cases[] = {
        {"payload encrypt " + quoted(native("missing.zip")) + " " + quoted(native("out.enc")), "missing.zip"},
        {"payload decrypt " + quoted(native("damaged.enc")) + " " + quoted(native("kept.zip")),
         "damaged.enc"},
        {"payload decrypt " + quoted(root()) + " " + quoted(native("out.zip")), root().filename().string()},
    };
    for (const auto& c : cases) {
        EXPECT_NE(kpack(c.arguments), 0) << c.arguments;
        const std::string message = error_text();
        EXPECT_NE(message.find(c.named), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_EQ(folder_listing(), (std::vector<std::string>{"damaged.enc", "kept.zip"})) << c.arguments;
    }
    EXPECT_EQ(read_native(native("kept.zip")), bytes_of("earlier output"));
}

TEST_F(KpackPayload, HelpAtEveryLevelAndUsageErrors) {
    EXPECT_EQ(kpack("--help"), 0);
    EXPECT_EQ(kpack("payload --help"), 0);
    EXPECT_EQ(kpack("payload encrypt --help"), 0);
    EXPECT_NE(kpack(""), 0);
    EXPECT_NE(kpack("payload"), 0);
    EXPECT_NE(kpack("payload encrypt only-one-name"), 0);
    EXPECT_NE(kpack("payload scramble a b"), 0);
    EXPECT_NE(kpack("unknown"), 0);
}

} // namespace
} // namespace kp::test
