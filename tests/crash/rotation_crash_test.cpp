// Crash consistency of the tool refresh and of the installation: a driver is killed with
// SIGKILL just before one of its seam calls (so between any two file-system steps, the renames
// included), and at each such point the kill is also made a power cut that loses what was not
// flushed, in the ext4 and in the NTFS manner (power_cut.hpp). The tool refresh is swept over a
// first install, an upgrade and an upgrade whose package fails verification: after every cut
// the live name holds a complete allowed set, or is absent with the old set (if any) aside. The
// upgrades are swept again with every rename busy twice before it goes through, so that kills
// fall inside the retry loops too, and the upgrade once more flushed as on Windows. The
// installation is swept over a first install and an upgrade, flushed as on POSIX and as on Windows: after
// every cut the stamp holds the build identifier only over complete files. One more uninterrupted run then
// repairs all. KP_SKIP_FLUSHES=1 in the environment makes the drivers skip every flush: the sweep then fails.
#include "build_config.hpp"
#include "support/sandbox.hpp"
#include "support/tool_sets.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>

namespace kp::test {
namespace {

std::vector<pack::ToolFile> tool_files(const std::u16string& tag, std::size_t count, std::uint32_t seed) {
    std::vector<pack::ToolFile> files = {{u"onnxruntime.dll", pattern_bytes(20000, seed)}};
    const std::u16string folders[] = {u"", u"models\\", u"bin\\"};
    for (std::uint32_t i = 0; i < count; ++i)
        files.push_back(
            {folders[i % 3] + tag + decimal_text(i) + u".bin", pattern_bytes(1000 + 300 * i, seed + i)});
    return files;
}

const char* const CUTS[] = {"", "ext4", "ntfs"}; // a plain kill, then the two power cuts

struct Sweep {
    std::string name;
    std::string driver;
    std::vector<std::string> arguments; // relative to the sandbox
    std::function<void()> prepare;      // the state before each run
    std::function<void()> check_cut;    // after a cut
    std::function<void()> check_final;  // after the repairing run
    long stride;                        // kill before every stride-th seam call
};

class PowerCut : public SandboxTest {
  protected:
    int run_driver(const Sweep& s, long kill_at, const char* cut) {
        ::setenv("KP_KILL_AT_SEAM_CALL", std::to_string(kill_at).c_str(), 1);
        ::setenv("KP_POWER_CUT", cut, 1);
        std::vector<std::string> words = {built_program(s.driver).string()};
        for (const std::string& argument : s.arguments)
            words.push_back(native(argument).string());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_t child = 0;
        int status = -1;
        if (::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0)
            ::waitpid(child, &status, 0);
        return status;
    }

    // Sweeps the kill point over the whole run, each point with every cut; gives the cuts made.
    long sweep(const Sweep& s) {
        long cuts = 0;
        for (long kill_at = 1;; kill_at += s.stride) {
            for (const char* cut : CUTS) {
                SCOPED_TRACE(s.name + ", cut '" + cut + "' before seam call " + std::to_string(kill_at));
                s.prepare();
                const int status = run_driver(s, kill_at, cut);
                const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
                if (killed) {
                    ++cuts;
                    s.check_cut();
                    EXPECT_EQ(run_driver(s, 0, ""), 0) << "the repairing run";
                } else {
                    EXPECT_TRUE(WIFEXITED(status)) << "a run past the last seam call ends cleanly";
                }
                s.check_final();
                if (HasFailure() || !killed)
                    return cuts;
            }
        }
    }

    void fresh_install_dir() {
        std::filesystem::remove_all(native("install"));
        std::filesystem::create_directories(native("install"));
    }
};

TEST_F(PowerCut, EveryCutOfAToolRefreshLeavesAWholeSetAndTheNextRunRepairsIt) {
    ::unsetenv("DISPLAY");
    const auto old_files = tool_files(u"old", 8, 1);
    const auto new_files = tool_files(u"new", 10, 2);
    const FileSet old_set = published(old_files), new_set = published(new_files);
    Bytes host = pack::append_tool_package(pattern_bytes(4096, 99), new_files);
    write_native(native("host_new.exe"), host);
    host[4096 + 100] ^= 0x40; // inside the first entry's data: verification fails at the end
    write_native(native("host_bad.exe"), host);

    const auto rotation = [&](std::string name, std::string host_name, std::optional<FileSet> initial,
                              std::vector<FileSet> allowed_live, FileSet final_live, long stride) {
        return Sweep{
            name,
            "kp_refresh_tools_killable",
            {host_name, "install"},
            [this, initial] {
                fresh_install_dir();
                if (initial)
                    write_set(native("install/ai"), *initial);
            },
            [this, initial, allowed_live] {
                if (const auto live = files_under(native("install/ai")))
                    EXPECT_NE(std::find(allowed_live.begin(), allowed_live.end(), *live), allowed_live.end())
                        << "a partial, damaged or foreign set under the live name";
                else
                    EXPECT_EQ(files_under(native("install/ai.old")), initial)
                        << "no live set, old set not aside";
            },
            [this, final_live] {
                EXPECT_EQ(files_under(native("install/ai")), final_live);
                EXPECT_FALSE(std::filesystem::exists(native("install/ai.new")));
                EXPECT_FALSE(std::filesystem::exists(native("install/ai.old")));
            },
            stride};
    };
    long cuts = sweep(rotation("first install", "host_new.exe", std::nullopt, {new_set}, new_set, 4));
    cuts += sweep(rotation("upgrade", "host_new.exe", old_set, {old_set, new_set}, new_set, 1));
    cuts += sweep(rotation("failed upgrade", "host_bad.exe", old_set, {old_set}, old_set, 4));
    // Every rename busy twice before it goes through, so that kills (at every other seam call)
    // also fall inside the retries and their waits.
    ::setenv("KP_BUSY_RENAMES", "2", 1);
    cuts += sweep(
        rotation("upgrade through busy renames", "host_new.exe", old_set, {old_set, new_set}, new_set, 2));
    cuts += sweep(
        rotation("failed upgrade through busy renames", "host_bad.exe", old_set, {old_set}, old_set, 4));
    ::unsetenv("KP_BUSY_RENAMES");
    // As on Windows: files written out, one full flush before the publishing rename.
    ::setenv("KP_DURABILITY", "windows", 1);
    cuts += sweep(
        rotation("upgrade, flushed as on Windows", "host_new.exe", old_set, {old_set, new_set}, new_set, 1));
    ::unsetenv("KP_DURABILITY");
    EXPECT_GE(cuts, 600);
    std::printf("%ld cuts\n", cuts);
}

TEST_F(PowerCut, EveryCutOfAnInstallationLeavesTheStampOnlyOverCompleteFiles) {
    const FileSet archive = {{"kestrin_pad.exe", pattern_bytes(30000, 5)},
                             {"lib/core.dll", pattern_bytes(50000, 6)},
                             {"lib/data/strings.txt", bytes_of("strings")},
                             {"readme.txt", bytes_of("read me")}};
    write_set(native("payload"), archive);
    ASSERT_EQ(run_command("cd " + quoted(native("payload")) + " && zip -qr ../app.zip ."), 0);
    std::filesystem::create_directories(native("launcher"));
    write_native(native("launcher/app.enc"), make_app_enc(read_native(native("app.zip"))));
    std::filesystem::create_directories(native("tmp"));
    ::setenv("TMPDIR", native("tmp").c_str(), 1);
    const Bytes stamp = utf16le_bytes(BUILD_ID);

    const auto installation = [&](std::string name, bool over_older) {
        return Sweep{name,
                     "kp_install_payload_killable",
                     {"launcher", "install"},
                     [this, over_older] {
                         fresh_install_dir();
                         if (!over_older)
                             return;
                         write_set(native("install"), {{"kestrin_pad.exe", bytes_of("old application")},
                                                       {"lib/core.dll", bytes_of("old library")}});
                         write_native(native("install/.kp_build"), utf16le_bytes(u"older build"));
                     },
                     [&, this] {
                         if (!std::filesystem::exists(native("install/.kp_build")) ||
                             read_native(native("install/.kp_build")) != stamp)
                             return;
                         for (const auto& [file, content] : archive)
                             EXPECT_EQ(read_native(native("install/" + file)), content)
                                 << file << " damaged under a current stamp";
                     },
                     [&, this] {
                         EXPECT_EQ(read_native(native("install/.kp_build")), stamp);
                         for (const auto& [file, content] : archive)
                             EXPECT_EQ(read_native(native("install/" + file)), content) << file;
                     },
                     1};
    };
    long cuts = sweep(installation("first install", false)) + sweep(installation("upgrade", true));
    // As on Windows: each installed file written out, one full flush before the stamp.
    ::setenv("KP_DURABILITY", "windows", 1);
    cuts += sweep(installation("first install, flushed as on Windows", false));
    cuts += sweep(installation("upgrade, flushed as on Windows", true));
    ::unsetenv("KP_DURABILITY");
    EXPECT_GE(cuts, 120);
    std::printf("%ld cuts\n", cuts);
}

} // namespace
} // namespace kp::test
