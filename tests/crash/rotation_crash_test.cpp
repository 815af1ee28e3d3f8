// Crash consistency of the tool refresh: the refresh driver is killed with SIGKILL just before
// each of its seam calls in turn (so between any two file-system steps, the renames included),
// over a first install, an upgrade and an upgrade whose package fails verification. After every
// kill the live tools directory must hold a complete set (old or new) or be absent with the old
// set aside; after one more uninterrupted run it must hold exactly the expected set and marker,
// with no staging or previous directory left.
//   kp_rotation_crash_test KILLABLE_DRIVER
#include "platform/program_main.hpp"
#include "tool_package_writer.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using FileSet = std::map<std::string, kp::Bytes>;

kp::Bytes pattern(std::size_t size, std::uint32_t seed) {
    kp::Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 7;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

std::vector<kp::pack::ToolFile> tool_files(const std::u16string& tag, int count, std::uint32_t seed) {
    std::vector<kp::pack::ToolFile> files = {{u"onnxruntime.dll", pattern(20000, seed)}};
    for (int i = 0; i < count; ++i) {
        const std::u16string folders[] = {u"", u"models\\", u"bin\\"};
        const std::u16string& folder = folders[i % 3];
        files.push_back(
            {folder + tag + kp::decimal_text(static_cast<std::uint64_t>(i)) + u".bin",
             pattern(1000 + 300 * static_cast<std::size_t>(i), seed + static_cast<std::uint32_t>(i))});
    }
    return files;
}

FileSet published(const std::vector<kp::pack::ToolFile>& files, const std::string& id) {
    FileSet set;
    for (const auto& file : files) {
        std::string name = kp::utf16_to_utf8(file.name);
        std::replace(name.begin(), name.end(), '\\', '/');
        set[name] = file.data;
    }
    set[".kp_ai"] = kp::utf16le_bytes(kp::utf8_to_utf16(id));
    return set;
}

kp::Bytes read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return kp::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_all(const fs::path& path, const kp::Bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

// Every regular file under root; nothing when root is absent.
std::optional<FileSet> slot(const fs::path& root) {
    if (!fs::exists(root))
        return std::nullopt;
    FileSet set;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (!item.is_directory())
            set[fs::relative(item.path(), root).generic_string()] = read_all(item.path());
    return set;
}

// Runs the driver without a display; the kill point 0 means "never". Gives the wait status.
int run_driver(const std::string& driver, const fs::path& host, const fs::path& install, long kill_at,
               const std::string& count_file = {}) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).substr(0, 8) != "DISPLAY=")
            environment.emplace_back(*entry);
    if (kill_at > 0)
        environment.push_back("KP_KILL_AT_SEAM_CALL=" + std::to_string(kill_at));
    if (!count_file.empty())
        environment.push_back("KP_SEAM_CALL_COUNT=" + count_file);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = driver;
    std::string host_arg = host.string();
    std::string install_arg = install.string();
    char* argv[] = {program.data(), host_arg.data(), install_arg.data(), nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

bool exited_cleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
bool was_killed(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

struct Scenario {
    std::string name;
    fs::path host;
    std::optional<FileSet> initial;       // the live set before the run
    std::vector<FileSet> allowed_live;    // complete sets the live name may hold after a kill
    std::optional<FileSet> allowed_aside; // the set that may stand aside while the live name is absent
    bool absent_allowed_without_aside = false;
    FileSet final_live;
    long max_kill_points = 0; // spread evenly over the run when it makes more seam calls
};

class CrashTest {
  public:
    CrashTest(std::string driver, fs::path scratch)
        : driver_(std::move(driver)), scratch_(std::move(scratch)) {}

    void run(const Scenario& scenario) {
        const fs::path install = scratch_ / "install";
        const long calls = count_calls(scenario, install);
        const long points = std::min(calls, scenario.max_kill_points);
        for (long point = 0; point < points; ++point) {
            const long kill_at = 1 + point * calls / points;
            prepare(scenario, install);
            if (!was_killed(run_driver(driver_, scenario.host, install, kill_at)))
                fail(scenario, kill_at, "the driver was not killed");
            check_after_kill(scenario, install, kill_at);
            if (!exited_cleanly(run_driver(driver_, scenario.host, install, 0)))
                fail(scenario, kill_at, "the repairing run did not exit cleanly");
            check_final(scenario, install, kill_at);
        }
        total_points_ += points;
        std::printf("%s: %ld seam calls, %ld kill points\n", scenario.name.c_str(), calls, points);
    }

    int failures() const { return failures_; }
    long total_points() const { return total_points_; }

  private:
    long count_calls(const Scenario& scenario, const fs::path& install) {
        prepare(scenario, install);
        const fs::path count_file = scratch_ / "calls";
        run_driver(driver_, scenario.host, install, 0, count_file.string());
        std::ifstream in(count_file);
        long calls = 0;
        in >> calls;
        check_final(scenario, install, 0);
        return calls;
    }

    void prepare(const Scenario& scenario, const fs::path& install) {
        fs::remove_all(install);
        fs::create_directories(install);
        if (!scenario.initial)
            return;
        for (const auto& [name, content] : *scenario.initial) {
            fs::create_directories((install / "ai" / name).parent_path());
            write_all(install / "ai" / name, content);
        }
    }

    void check_after_kill(const Scenario& scenario, const fs::path& install, long kill_at) {
        const auto live = slot(install / "ai");
        if (live) {
            if (std::find(scenario.allowed_live.begin(), scenario.allowed_live.end(), *live) ==
                scenario.allowed_live.end())
                fail(scenario, kill_at, "the live tools directory holds a partial or foreign set");
            return;
        }
        const auto aside = slot(install / "ai.old");
        if (aside ? aside != scenario.allowed_aside : !scenario.absent_allowed_without_aside)
            fail(scenario, kill_at, "the live tools directory is absent without the complete old set aside");
    }

    void check_final(const Scenario& scenario, const fs::path& install, long kill_at) {
        if (slot(install / "ai") != scenario.final_live)
            fail(scenario, kill_at, "after the repairing run the live set is not the expected one");
        if (fs::exists(install / "ai.new") || fs::exists(install / "ai.old"))
            fail(scenario, kill_at, "after the repairing run a staging or previous directory is left");
    }

    void fail(const Scenario& scenario, long kill_at, const char* what) {
        if (++failures_ <= 20)
            std::printf("FAIL %s, killed before seam call %ld: %s\n", scenario.name.c_str(), kill_at, what);
    }

    std::string driver_;
    fs::path scratch_;
    int failures_ = 0;
    long total_points_ = 0;
};

void write_host(const fs::path& path, const std::vector<kp::pack::ToolFile>& files, bool corrupt) {
    kp::Bytes host = kp::pack::append_tool_package(pattern(4096, 99), files);
    if (corrupt)
        host[4096 + 100] ^= 0x40; // inside the first entry's data: verification fails at the end
    write_all(path, host);
}

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 1) {
        std::fputs("usage: kp_rotation_crash_test KILLABLE_DRIVER\n", stderr);
        return 2;
    }
    char pattern_path[] = "/tmp/kp-rotation-crash.XXXXXX";
    if (::mkdtemp(pattern_path) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const fs::path scratch = pattern_path;
    const auto old_files = tool_files(u"old", 8, 1);
    const auto new_files = tool_files(u"new", 10, 2);
    const FileSet old_set =
        published(old_files, kp::pack::package_identifier(kp::pack::build_entry_stream(old_files)));
    const FileSet new_set =
        published(new_files, kp::pack::package_identifier(kp::pack::build_entry_stream(new_files)));
    write_host(scratch / "host_new.exe", new_files, false);
    write_host(scratch / "host_bad.exe", new_files, true);

    const std::vector<Scenario> scenarios = {
        {"first install", scratch / "host_new.exe", std::nullopt, {new_set}, std::nullopt, true, new_set, 60},
        {"upgrade", scratch / "host_new.exe", old_set, {old_set, new_set}, old_set, false, new_set, 1000},
        {"failed upgrade", scratch / "host_bad.exe", old_set, {old_set}, old_set, false, old_set, 60},
    };
    CrashTest test(kp::utf16_to_utf8(arguments[0]), scratch);
    for (const Scenario& scenario : scenarios)
        test.run(scenario);
    fs::remove_all(scratch);

    const long points = test.total_points();
    const bool enough = points >= 200;
    if (!enough)
        std::printf("FAIL only %ld kill points\n", points);
    std::printf("%ld kill points, %d failures\n", points, test.failures());
    return test.failures() == 0 && enough ? 0 : 1;
}
