// Crash consistency of the tool refresh: the refresh driver is killed with SIGKILL just before
// one of its seam calls (so between any two file-system steps, the renames included), over a
// first install, an upgrade and an upgrade whose package fails verification. After every kill
// the live name holds a complete allowed set, or is absent with the old set (if any) aside; one
// more uninterrupted run then leaves exactly the expected set and no staging or previous slot.
#include "support/sandbox.hpp"
#include "support/tool_sets.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
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

struct Scenario {
    std::string name;
    std::string host;
    std::optional<FileSet> initial; // also the only set that may stand aside
    std::vector<FileSet> allowed_live;
    FileSet final_live;
    long stride; // kill before every stride-th seam call
};

class RotationCrash : public SandboxTest {
  protected:
    // The killable driver, without a display, killed before seam call kill_at (0: never).
    int run_driver(const std::string& host, long kill_at) {
        ::setenv("KP_KILL_AT_SEAM_CALL", std::to_string(kill_at).c_str(), 1);
        std::string program = built_program("kp_refresh_tools_killable").string();
        std::string host_arg = native(host).string(), install_arg = native("install").string();
        char* argv[] = {program.data(), host_arg.data(), install_arg.data(), nullptr};
        pid_t child = 0;
        int status = -1;
        if (::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ) == 0)
            ::waitpid(child, &status, 0);
        return status;
    }

    // Sweeps the kill point over the whole run; gives the number of kills.
    long sweep(const Scenario& s) {
        long kills = 0;
        for (long kill_at = 1;; kill_at += s.stride) {
            SCOPED_TRACE(s.name + ", killed before seam call " + std::to_string(kill_at));
            std::filesystem::remove_all(native("install"));
            std::filesystem::create_directories(native("install"));
            if (s.initial)
                write_set(native("install/ai"), *s.initial);
            const int status = run_driver(s.host, kill_at);
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
                ++kills;
                if (const auto live = files_under(native("install/ai")))
                    EXPECT_NE(std::find(s.allowed_live.begin(), s.allowed_live.end(), *live),
                              s.allowed_live.end())
                        << "a partial or foreign set under the live name";
                else
                    EXPECT_EQ(files_under(native("install/ai.old")), s.initial)
                        << "no live set, old set not aside";
                EXPECT_EQ(run_driver(s.host, 0), 0) << "the repairing run";
            } else {
                EXPECT_EQ(status, 0) << "a run past the last seam call ends cleanly";
            }
            EXPECT_EQ(files_under(native("install/ai")), s.final_live);
            EXPECT_FALSE(std::filesystem::exists(native("install/ai.new")));
            EXPECT_FALSE(std::filesystem::exists(native("install/ai.old")));
            if (HasFailure() || !WIFSIGNALED(status))
                return kills;
        }
    }
};

TEST_F(RotationCrash, EveryKillLeavesAWholeSetAndTheNextRunRepairsIt) {
    ::unsetenv("DISPLAY");
    const auto old_files = tool_files(u"old", 8, 1);
    const auto new_files = tool_files(u"new", 10, 2);
    const FileSet old_set = published(old_files), new_set = published(new_files);
    Bytes host = pack::append_tool_package(pattern_bytes(4096, 99), new_files);
    write_native(native("host_new.exe"), host);
    host[4096 + 100] ^= 0x40; // inside the first entry's data: verification fails at the end
    write_native(native("host_bad.exe"), host);

    const Scenario scenarios[] = {
        {"first install", "host_new.exe", std::nullopt, {new_set}, new_set, 4},
        {"upgrade", "host_new.exe", old_set, {old_set, new_set}, new_set, 1},
        {"failed upgrade", "host_bad.exe", old_set, {old_set}, old_set, 4},
    };
    long kills = 0;
    for (const Scenario& scenario : scenarios)
        kills += sweep(scenario);
    EXPECT_GE(kills, 200);
    std::printf("%ld kill points\n", kills);
}

} // namespace
} // namespace kp::test
