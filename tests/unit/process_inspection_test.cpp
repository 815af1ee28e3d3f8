#include "launcher/process_inspection.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"

#include <map>

#ifndef _WIN32
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kp::test {
namespace {

constexpr std::uintptr_t fake_raw = 0x7000;

// The queries over a faked process list: which processes get opened and which handles closed.
class ProcessQueries : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        fault::close_handle = [this](HandleKind kind, std::uintptr_t raw) {
            raw == fake_raw ? void(--open_handles[kind]) : backend::close_handle(kind, raw);
        };
        fault::snapshot_processes = [this] {
            next = 0, ++open_handles[HandleKind::snapshot];
            return SnapshotHandle(fake_raw);
        };
        fault::first_process = fault::next_process = [this](const SnapshotHandle&, ProcessEntry& entry) {
            return next < processes.size() && (entry = processes[next++], true);
        };
        fault::open_process_for_query = [this](std::uint32_t id) {
            opened.push_back(id);
            return images.count(id) ? (++open_handles[HandleKind::process], ProcessHandle(fake_raw))
                                    : ProcessHandle();
        };
        fault::query_process_image = [this](const ProcessHandle&, std::u16string& image) {
            image = images[opened.back()];
            return !image.empty();
        };
        fault::current_process_id = [] { return 100u; };
    }

    // Every handle the last query was given was closed, once; the counts start anew.
    void expect_all_closed() {
        EXPECT_EQ(open_handles, NONE_OPEN);
        opened.clear(), open_handles = NONE_OPEN;
    }

    std::vector<ProcessEntry> processes;
    std::map<std::uint32_t, std::u16string> images; // an empty image: opens, but the query fails
    std::size_t next = 0;
    std::vector<std::uint32_t> opened;
    const std::map<HandleKind, int> NONE_OPEN = {{HandleKind::snapshot, 0}, {HandleKind::process, 0}};
    std::map<HandleKind, int> open_handles = NONE_OPEN; // given out less closed, by kind
};

const std::u16string app = u"C:\\Users\\u\\AppData\\Local\\KestrinPadFree\\kestrin_pad.exe";

// The comparison is textual: other forms of the same file (extended-length prefix, a relative
// part, a short name) do not match; a process that cannot be opened or queried is passed over.
TEST_F(ProcessQueries, OnlySameNamedProcessesAreOpenedUntilOneReportsThePath) {
    processes = {{10, 1, u"explorer.exe"}, {11, 1, u"Kestrin_Pad.EXE"}};
    for (std::uint32_t id = 12; id <= 18; ++id)
        processes.push_back({id, 1, u"kestrin_pad.exe"});
    images = {{10, u"C:\\Windows\\explorer.exe"},
              {11, u"D:\\other\\kestrin_pad.exe"},
              {12, u""},
              {14, u"\\\\?\\" + app},
              {15, u"C:\\Users\\u\\AppData\\Local\\KestrinPadFree\\.\\kestrin_pad.exe"},
              {16, u"C:\\Users\\u\\APPDAT~1\\Local\\KestrinPadFree\\kestrin_pad.exe"},
              {17, u"C:\\USERS\\U\\APPDATA\\LOCAL\\KESTRINPADFREE\\KESTRIN_PAD.EXE"},
              {18, app}};
    EXPECT_TRUE(is_image_running(app));
    EXPECT_EQ(opened, (std::vector<std::uint32_t>{11, 12, 13, 14, 15, 16, 17}));
    expect_all_closed();

    images[17] = images[18] = images[11];
    EXPECT_FALSE(is_image_running(app));
    EXPECT_EQ(opened.size(), 8u);
    expect_all_closed();

    fault::snapshot_processes = [] { return SnapshotHandle(); };
    EXPECT_FALSE(is_image_running(app));
}

// Empty when the parent is gone or cannot be queried, and, with nothing opened, when the own
// entry has no parent (0) or is not listed.
TEST_F(ProcessQueries, ParentImageComesFromTheFirstOwnEntrysParentOrIsEmpty) {
    const std::vector<ProcessEntry> family = {
        {50, 1, u"host.exe"}, {100, 50, u"kp_launcher.exe"}, {100, 77, u"kp_launcher.exe"}};
    processes = family;
    images = {{50, u"C:\\host\\host.exe"}, {77, u"C:\\later\\other.exe"}};
    EXPECT_EQ(parent_image_path(), u"C:\\host\\host.exe");
    EXPECT_EQ(next, 2u) << "the walk stops at the own entry";
    EXPECT_EQ(opened, std::vector<std::uint32_t>{50});
    expect_all_closed();
    using Case = std::tuple<std::vector<ProcessEntry>, std::map<std::uint32_t, std::u16string>, std::size_t>;
    for (const auto& [listed, queried, opens] :
         {Case{family, {}, 1}, Case{family, {{50, u""}}, 1}, Case{{{100, 0, u"kp_launcher.exe"}}, {}, 0},
          Case{{{7, 50, u"other.exe"}}, {}, 0}}) {
        processes = listed, images = queried;
        EXPECT_EQ(parent_image_path(), u"");
        EXPECT_EQ(opened.size(), opens);
        expect_all_closed();
    }
    fault::snapshot_processes = [] { return SnapshotHandle(); };
    EXPECT_EQ(parent_image_path(), u"");
}

// The backends themselves, on the real system (natively and under Wine).
using ProcessBackend = SandboxTest;

TEST_F(ProcessBackend, OwnImageIsFoundIgnoringCaseByOrdinalComparisonPerUnit) {
    const std::u16string self = sys::module_file_name();
    EXPECT_TRUE(is_image_running(self));
    EXPECT_FALSE(is_image_running(path(utf16_to_utf8(self.substr(self.rfind(u'\\') + 1)))));
    EXPECT_TRUE(sys::equal_ignoring_case(u"C:\\Käse\\Ωmega Привет.EXE", u"c:\\KÄSE\\ωMEGA пРИВЕТ.exe"));
    EXPECT_FALSE(sys::equal_ignoring_case(u"straße", u"STRASSE"));
    EXPECT_FALSE(sys::equal_ignoring_case(u"a.exe", u"a.ex"));
}

#ifndef _WIN32

// A process name with spaces and parentheses, as /proc/PID/stat shows it, still gives the
// right parent; the file name and the image come from the exe link.
TEST_F(ProcessBackend, ProcListEntriesSurviveOddProcessNames) {
    const std::filesystem::path odd = native("a) (b");
    std::filesystem::copy_file("/bin/sleep", odd);
    ASSERT_TRUE(sys::start_process(system_path(odd), u"\"" + system_path(odd) + u"\" 30", path("")));
    // posix_spawn returns once the program runs, so the snapshot already shows it.
    const SnapshotHandle snapshot = sys::snapshot_processes();
    ProcessEntry entry;
    ASSERT_TRUE(sys::first_process(snapshot, entry));
    EXPECT_EQ(entry.process_id, sys::current_process_id()) << "the own entry comes first";
    std::uint32_t found = 0;
    for (bool more = true; more; more = sys::next_process(snapshot, entry))
        if (entry.exe_file == u"a) (b" && entry.parent_process_id == sys::current_process_id())
            found = entry.process_id;
    ASSERT_NE(found, 0u);
    std::u16string image;
    EXPECT_TRUE(sys::query_process_image(sys::open_process_for_query(found), image));
    EXPECT_EQ(image, system_path(odd));
    ::kill(static_cast<pid_t>(found), SIGKILL);
    ::waitpid(static_cast<pid_t>(found), nullptr, 0);
}

// Every launcher of the user meets at one lock file in the account's own ~/.cache, whatever its
// environment says; it is private, and a link planted at its name gives no mutex.
TEST_F(ProcessBackend, MutexIsAPrivateLockFileOfTheAccountWhateverTheEnvironment) {
    const std::filesystem::path cache = std::filesystem::path(::getpwuid(::geteuid())->pw_dir) / ".cache";
    const std::filesystem::path lock = cache / "KP_Test_Mutex.lock";
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("XDG_RUNTIME_DIR", native("run").c_str(), 1);
    setenv("HOME", native("home").c_str(), 1);
    std::filesystem::create_directories(native("run"));
    ASSERT_TRUE(sys::create_named_mutex(u"Local\\KP_Test_Mutex"));
    unsetenv("XDG_RUNTIME_DIR");
    const bool met = static_cast<bool>(sys::create_named_mutex(u"Local\\KP_Test_Mutex"));
    setenv("HOME", home.c_str(), 1);
    ASSERT_TRUE(met);
    EXPECT_TRUE(std::filesystem::is_empty(native("run")));
    EXPECT_FALSE(std::filesystem::exists(native("home")));
    EXPECT_EQ(std::filesystem::status(lock).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove(lock);

    const std::filesystem::path planted = cache / "KP_Planted.lock";
    std::filesystem::remove(planted);
    std::filesystem::create_symlink(native("target"), planted);
    EXPECT_FALSE(sys::create_named_mutex(u"Local\\KP_Planted"));
    EXPECT_FALSE(std::filesystem::exists(native("target")));
    std::filesystem::remove(planted);
}

#endif

} // namespace
} // namespace kp::test
