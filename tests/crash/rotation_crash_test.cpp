// Crash consistency of the tool refresh and of the installation: a driver is killed with
// SIGKILL just before one of its seam calls (so between any two file-system steps, the renames
// included), and at each such point the kill is also made a power cut that loses what was not
// flushed, in the ext4 and in the NTFS manner (killable_driver.cpp). The tool refresh is swept
// over a first install, an upgrade and an upgrade whose package fails verification: after every
// cut the live name holds a complete allowed set, or is absent with the old set (if any) aside.
// The upgrades are swept again with every rename busy twice before it goes through, so that kills
// fall inside the retry loops too, and the upgrade once more flushed as on Windows. The
// installation is swept over a first install and an upgrade, flushed as on POSIX and as on
// Windows: after every cut the stamp holds the build identifier only over complete files. One more
// uninterrupted run then repairs all. KP_SKIP_FLUSHES=1 in the environment makes the drivers skip
// every flush: the sweep then fails.
#include "build_config.hpp"
#include "support/sandbox.hpp"
#include "support/tool_sets.hpp"

#include <csignal>
#include <cstdlib>
#include <gmock/gmock.h>

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

class PowerCut : public SandboxTest {
  protected:
    std::string driver(const std::string& name, const std::string& first, const std::string& second) {
        return quoted(built_program(name)) + " " + quoted(native(first)) + " " + quoted(native(second));
    }

    // Sweeps the kill point over the whole run of command, at every stride-th seam call, each point
    // with a plain kill and the two power cuts; gives the cuts made. prepare makes the state in a
    // fresh "install" before each run, check_cut checks it after a cut, and check_final after the
    // repairing run.
    long sweep(const std::string& name, const std::string& command, long stride, const auto& prepare,
               const auto& check_cut, const auto& check_final) {
        long cuts = 0;
        for (long kill_at = 1;; kill_at += stride) {
            for (const std::string cut : {"", "ext4", "ntfs"}) {
                SCOPED_TRACE(name + ", cut '" + cut + "' before seam call " + std::to_string(kill_at));
                std::filesystem::remove_all(native("install"));
                std::filesystem::create_directories(native("install"));
                prepare();
                // Not the driver's last command: the shell waits, and gives 128 + its signal.
                const int status = run_command("KP_KILL_AT_SEAM_CALL=" + std::to_string(kill_at) +
                                               " KP_POWER_CUT=" + cut + " " + command + "; exit $?");
                if (status == 128 + SIGKILL) {
                    ++cuts;
                    check_cut();
                }
                // After a cut the repairing run succeeds; a run past the last seam call ends cleanly.
                EXPECT_EQ(status == 128 + SIGKILL ? run_command(command + "; exit $?") : status, 0);
                check_final();
                if (HasFailure() || status != 128 + SIGKILL)
                    return cuts;
            }
        }
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

    const struct {
        const char* name;
        bool upgrade, fails;
        const char* setting;
        long stride;
    } sweeps[] = {
        {"first install", false, false, "", 4},
        {"upgrade", true, false, "", 1},
        {"failed upgrade", true, true, "", 4},
        // Every rename busy twice before it goes through, so that kills (at every other seam
        // call) also fall inside the retries and their waits.
        {"upgrade through busy renames", true, false, "KP_BUSY_RENAMES=2", 2},
        {"failed upgrade through busy renames", true, true, "KP_BUSY_RENAMES=2", 4},
        // As on Windows: files written out, one full flush before the publishing rename.
        {"upgrade, flushed as on Windows", true, false, "KP_DURABILITY=windows", 1},
    };
    long cuts = 0;
    for (const auto& [name, upgrade, fails, setting, stride] : sweeps) {
        const auto initial = upgrade ? std::optional(old_set) : std::nullopt;
        const FileSet final_live = fails ? old_set : new_set;
        const std::vector<FileSet> allowed =
            upgrade && !fails ? std::vector{old_set, new_set} : std::vector{final_live};
        cuts += sweep(
            name,
            std::string(setting) + " " +
                driver("kp_refresh_tools_killable", fails ? "host_bad.exe" : "host_new.exe", "install"),
            stride,
            [&] {
                if (initial)
                    write_set(native("install/ai"), *initial);
            },
            [&] {
                if (const auto live = files_under(native("install/ai")))
                    EXPECT_THAT(allowed, testing::Contains(*live))
                        << "a partial, damaged or foreign set under the live name";
                else
                    EXPECT_EQ(files_under(native("install/ai.old")), initial)
                        << "no live set, old set not aside";
            },
            [&] {
                EXPECT_EQ(files_under(native("install/ai")), final_live);
                EXPECT_FALSE(std::filesystem::exists(native("install/ai.new")));
                EXPECT_FALSE(std::filesystem::exists(native("install/ai.old")));
            });
    }
    EXPECT_GE(cuts, 600);
}

TEST_F(PowerCut, EveryCutOfAnInstallationLeavesTheStampOnlyOverCompleteFiles) {
    const FileSet archive = {{"kestrin_pad.exe", pattern_bytes(30000, 5)},
                             {"lib/core.dll", pattern_bytes(50000, 6)},
                             {"lib/data/strings.txt", bytes_of("strings")},
                             {"readme.txt", bytes_of("read me")}};
    write_set(native("payload"), archive);
    ASSERT_EQ(run_command("cd " + quoted(native("payload")) + " && zip -qr ../app.zip ."), 0);
    write_native(native("launcher/app.enc"), make_app_enc(read_native(native("app.zip"))));
    std::filesystem::create_directories(native("tmp"));
    ::setenv("TMPDIR", native("tmp").c_str(), 1);
    const auto stamped = [this] {
        return read_native(native("install/.kp_build")) == utf16le_bytes(BUILD_ID);
    };
    const auto complete = [&] {
        for (const auto& [file, content] : archive)
            EXPECT_EQ(read_native(native("install/" + file)), content) << file << " damaged or missing";
    };
    // What an upgrade finds: an older build's installation.
    const FileSet older = {{"kestrin_pad.exe", bytes_of("old application")},
                           {"lib/core.dll", bytes_of("old library")},
                           {".kp_build", utf16le_bytes(u"older build")}};
    long cuts = 0;
    for (const std::string setting : {"", "KP_DURABILITY=windows"}) // flushed as on POSIX, then on Windows
        for (const bool over_older : {false, true})
            cuts += sweep((over_older ? "upgrade " : "first install ") + setting,
                          setting + " " + driver("kp_install_payload_killable", "launcher", "install"), 1,
                          [&, over_older] { write_set(native("install"), over_older ? older : FileSet{}); },
                          [&] {
                              if (stamped())
                                  complete();
                          },
                          [&] {
                              EXPECT_TRUE(stamped());
                              complete();
                          });
    EXPECT_GE(cuts, 120);
}

} // namespace
} // namespace kp::test
