// kpack's command line as a user types it: options before or after operands, "--", help at
// every level, and usage errors that name what was wrong.
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "tool_package_writer.hpp"

#include <nlohmann/json.hpp>

namespace kp::test {
namespace {

using namespace testing;

class KpackCommandLine : public KpackTest {
  protected:
    std::string stdout_of(const std::string& arguments) {
        EXPECT_EQ(kpack(arguments), 0) << arguments << "\n" << error_text();
        return output("stdout.txt");
    }
};

// Options go before or after the operands; after "--" everything is an operand.
TEST_F(KpackCommandLine, OptionsGoAnywhereBeforeADoubleDash) {
    write_native(native("host.exe"), pack::append_tool_package(pe_image({}), {{u"onnxruntime.dll", {}}}));
    write_native(native("tools/onnxruntime.dll"), bytes_of("runtime"));
    const std::string json = stdout_of("tools inspect" + paths({"host.exe"}) + " --json");
    EXPECT_EQ(nlohmann::json::parse(json).value("identifier", ""), "verified") << json;
    EXPECT_EQ(stdout_of("tools inspect --json" + paths({"host.exe"})), json);
    EXPECT_EQ(stdout_of("tools inspect --json --" + paths({"host.exe"})), json);
    stdout_of("tools append -o" + paths({"a.exe"}) + " --replace" + paths({"host.exe", "tools"}));
    stdout_of("tools append" + paths({"host.exe"}) + " --replace" + paths({"tools"}) + " -o" +
              paths({"b.exe"}));
    EXPECT_EQ(read_native(native("a.exe")), read_native(native("b.exe")));

    // "--json" after "--" is a file name: the run fails on that file, and prints no JSON.
    expect_refused("tools inspect -- --json", {});
    EXPECT_THAT(error_text(), StartsWith("kpack: --json: "));
    EXPECT_EQ(output("stdout.txt"), "");
}

TEST_F(KpackCommandLine, UsageErrorsNameTheProblemThenShowTheUsageAndExitTwo) {
    // Each with the first line expected; the usage shown is that of the command it names.
    const std::pair<const char*, const char*> cases[] = {
        {"", "kpack: a command is required: payload or tools"},
        {"frob", "kpack: The following argument was not expected: frob"},
        {"payload", "kpack payload: a command is required: encrypt, decrypt or inspect"},
        {"payload scramble a b", "kpack payload: unknown command scramble"},
        {"payload encrypt only-one", "kpack payload encrypt: APP_ENC is required"},
        {"payload inspect --json", "kpack payload inspect: APP_ENC is required"},
        {"tools append a b", "kpack tools append: -o is required"},
        {"tools append a b -o", "kpack tools append: -o"},
        {"tools append a b -o c --force",
         "kpack tools append: The following argument was not expected: --force"},
        {"tools inspect a b", "kpack tools inspect: The following argument was not expected: b"},
    };
    for (const auto& [arguments, first_line] : cases) {
        SCOPED_TRACE(arguments);
        EXPECT_EQ(kpack(arguments), 2);
        const std::string command(first_line, std::string_view(first_line).find(':'));
        EXPECT_THAT(error_text(),
                    AllOf(StartsWith(first_line), HasSubstr("\nUsage: " + command + " [OPTIONS]")));
        EXPECT_EQ(output("stdout.txt"), "");
    }
}

TEST_F(KpackCommandLine, HelpAtEveryLevelGoesToStdoutAndSucceeds) {
    // " tools append a b": help wins over the missing -o.
    for (const std::string command :
         {"", " payload", " payload encrypt", " payload decrypt", " payload inspect", " tools",
          " tools append", " tools inspect", " tools append a b"}) {
        for (const char* flag : {" -h", " --help"}) {
            SCOPED_TRACE(command + flag);
            EXPECT_EQ(kpack(command + flag), 0);
            const std::string usage = "Usage: kpack" + command.substr(0, command.find(" a b")) + " [OPTIONS]";
            EXPECT_THAT(output("stdout.txt"), HasSubstr(usage));
            EXPECT_EQ(error_text(), "");
        }
    }
    // The top level walks through a release: encrypt, append, sign last, and where to read more.
    const std::string help = stdout_of("--help");
    std::size_t at = 0;
    for (const char* step : {"kpack payload encrypt", "kpack tools append", "sign", "docs/shipping.md"}) {
        at = help.find(step, at);
        EXPECT_NE(at, std::string::npos) << step << " in\n" << help;
    }
    // Each command keeps its own wording.
    EXPECT_THAT(stdout_of("tools append -h"), HasSubstr("Sign OUT after\nappending, never before."));
}

// A POSIX file name need not be UTF-8; the JSON report shows U+FFFD for its bad bytes.
TEST_F(KpackCommandLine, JsonReplacesTextThatIsNotUtf8) {
    if (running_under_windows())
        GTEST_SKIP() << "Windows file names are UTF-16";
    const std::filesystem::path odd = native(std::string("odd\xff.enc"));
    write_native(odd, pattern_bytes(64));
    EXPECT_EQ(kpack("payload inspect --json \"" + odd.string() + "\""), 1);
    const auto report = nlohmann::json::parse(output("stdout.txt"));
    EXPECT_THAT(report.value("file", ""), EndsWith("odd\xEF\xBF\xBD.enc"));
    EXPECT_EQ(report.value("decrypts", true), false);
    EXPECT_THAT(error_text(), HasSubstr(odd.string())); // the bytes as given
}

} // namespace
} // namespace kp::test
