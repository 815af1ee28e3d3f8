#include "launcher/process_inspection.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#ifndef _WIN32
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kp::test {
namespace {

constexpr std::uintptr_t fake_raw = 0x7000;

// The queries over a faked process list: which processes get opened and when the walk stops.
class ProcessQueries : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        fault::close_handle = [this](HandleKind kind, std::uintptr_t raw) {
            if (raw != fake_raw)
                backend::close_handle(kind, raw);
            else
                ++closed[kind];
        };
        fault::snapshot_processes = [this] {
            return snapshot_fails ? SnapshotHandle() : SnapshotHandle(fake_raw);
        };
        fault::first_process = [this](const SnapshotHandle&, ProcessEntry& entry) {
            next = 0;
            return fetch(entry);
        };
        fault::next_process = [this](const SnapshotHandle&, ProcessEntry& entry) { return fetch(entry); };
        fault::open_process_for_query = [this](std::uint32_t id) {
            opened.push_back(id);
            return images.count(id) ? ProcessHandle(fake_raw) : ProcessHandle();
        };
        fault::query_process_image = [this](const ProcessHandle&, std::u16string& image) {
            if (images[opened.back()].empty())
                return false;
            image = images[opened.back()];
            return true;
        };
        fault::current_process_id = [] { return 100u; };
    }

    bool fetch(ProcessEntry& entry) {
        if (next >= processes.size())
            return false;
        entry = processes[next++];
        return true;
    }

    std::vector<ProcessEntry> processes;
    std::map<std::uint32_t, std::u16string> images; // an empty image: opens, but the query fails
    std::size_t next = 0;
    bool snapshot_fails = false;
    std::vector<std::uint32_t> opened;
    std::map<HandleKind, int> closed;
};

const std::u16string app = u"C:\\Users\\u\\AppData\\Local\\KestrinPadFree\\kestrin_pad.exe";

TEST_F(ProcessQueries, OnlySameNamedProcessesAreOpenedAndTheWalkStopsAtTheFirstMatch) {
    processes = {{10, 1, u"explorer.exe"},
                 {11, 1, u"Kestrin_Pad.EXE"},
                 {12, 1, u"kestrin_pad.exe"},
                 {13, 1, u"kestrin_pad.exe"},
                 {14, 1, u"kestrin_pad.exe"}};
    images = {{10, u"C:\\Windows\\explorer.exe"},
              {11, u"D:\\other\\kestrin_pad.exe"},
              {12, u""},
              {14, u"C:\\USERS\\U\\APPDATA\\LOCAL\\KESTRINPADFREE\\KESTRIN_PAD.EXE"}};
    EXPECT_TRUE(is_image_running(app));
    // 11 runs from elsewhere, 12 cannot be queried, 13 cannot be opened; 14 matches in another case.
    EXPECT_EQ(opened, (std::vector<std::uint32_t>{11, 12, 13, 14}));
    EXPECT_EQ(next, processes.size());
    EXPECT_EQ(closed[HandleKind::snapshot], 1);
    EXPECT_EQ(closed[HandleKind::process], 3);

    opened.clear();
    processes.push_back({15, 1, u"kestrin_pad.exe"});
    processes.insert(processes.begin(), {9, 1, u"kestrin_pad.exe"});
    images[9] = app;
    EXPECT_TRUE(is_image_running(app));
    EXPECT_EQ(opened, std::vector<std::uint32_t>{9}) << "the rest of the snapshot is not looked at";
}

TEST_F(ProcessQueries, ImageElsewhereOrInAnotherTextualFormIsNotRunning) {
    processes = {{11, 1, u"kestrin_pad.exe"}};
    for (const std::u16string_view reported :
         {u"D:\\other\\kestrin_pad.exe",
          u"\\\\?\\C:\\Users\\u\\AppData\\Local\\KestrinPadFree\\kestrin_pad.exe",
          u"C:\\Users\\u\\AppData\\Local\\KestrinPadFree\\.\\kestrin_pad.exe",
          u"C:\\Users\\u\\APPDAT~1\\Local\\KestrinPadFree\\kestrin_pad.exe"}) {
        images[11] = std::u16string(reported);
        EXPECT_FALSE(is_image_running(app)) << utf16_to_utf8(reported);
    }
    snapshot_fails = true;
    EXPECT_FALSE(is_image_running(app));
}

TEST_F(ProcessQueries, PathWithoutBackslashIsTakenWholeAsTheFileName) {
    processes = {{11, 1, u"kestrin_pad.exe"}, {12, 1, u"C:/x/kestrin_pad.exe"}};
    images = {{11, u"kestrin_pad.exe"}, {12, u"C:/x/kestrin_pad.exe"}};
    EXPECT_TRUE(is_image_running(u"C:/x/kestrin_pad.exe"));
    EXPECT_EQ(opened, std::vector<std::uint32_t>{12});
}

TEST_F(ProcessQueries, ParentImageComesFromTheOwnEntrysParent) {
    processes = {{50, 1, u"host.exe"}, {100, 50, u"kp_launcher.exe"}, {101, 100, u"kestrin_pad.exe"}};
    images = {{50, u"C:\\host\\host.exe"}};
    EXPECT_EQ(parent_image_path(), u"C:\\host\\host.exe");
    EXPECT_EQ(next, 2u) << "the walk stops at the own entry";
    EXPECT_EQ(opened, std::vector<std::uint32_t>{50});
    EXPECT_EQ(closed[HandleKind::snapshot], 1);
    EXPECT_EQ(closed[HandleKind::process], 1);
}

TEST_F(ProcessQueries, ParentImageIsEmptyWhenTheParentCannotBeHad) {
    processes = {{100, 50, u"kp_launcher.exe"}};
    EXPECT_EQ(parent_image_path(), u""); // parent gone: cannot be opened
    images[50] = u"";
    EXPECT_EQ(parent_image_path(), u""); // opened, query fails
    processes = {{100, 0, u"kp_launcher.exe"}};
    opened.clear();
    EXPECT_EQ(parent_image_path(), u"");
    processes = {{7, 50, u"other.exe"}};
    EXPECT_EQ(parent_image_path(), u"");
    EXPECT_TRUE(opened.empty()) << "no parent id, nothing opened";
    snapshot_fails = true;
    EXPECT_EQ(parent_image_path(), u"");
}

// The backends themselves, on the real system.

void set_environment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::string wait_for_record(const std::filesystem::path& record) {
    for (int i = 0; i < 200 && !std::filesystem::exists(record); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Bytes content = read_native(record);
    return std::string(content.begin(), content.end());
}

using ProcessBackend = SandboxTest;

TEST_F(ProcessBackend, OwnImageIsFoundIgnoringCaseAndNotFromAnotherDirectory) {
    const std::u16string self = sys::module_file_name();
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(is_image_running(self));
    std::u16string upper = self;
    for (auto& unit : upper)
        unit = unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
    // The POSIX file system is case-sensitive, but the comparison is the system's, not the disk's.
    EXPECT_TRUE(is_image_running(upper));
    EXPECT_FALSE(is_image_running(path(utf16_to_utf8(self.substr(self.rfind(u'\\') + 1)))));
}

TEST_F(ProcessBackend, CaseInsensitiveComparisonIsOrdinalPerUnit) {
    EXPECT_TRUE(sys::equal_ignoring_case(u"C:\\Käse\\Ωmega.EXE", u"c:\\KÄSE\\ωMEGA.exe"));
    EXPECT_TRUE(sys::equal_ignoring_case(u"Привет", u"пРИВЕТ"));
    EXPECT_FALSE(sys::equal_ignoring_case(u"straße", u"STRASSE"));
    EXPECT_FALSE(sys::equal_ignoring_case(u"a.exe", u"a.ex"));
    EXPECT_FALSE(sys::equal_ignoring_case(u"a.exe", u"b.exe"));
    EXPECT_TRUE(sys::equal_ignoring_case(u"", u""));
}

TEST_F(ProcessBackend, StartedProgramGetsItsCommandLineAndWorkingDirectory) {
    const std::filesystem::path program = native("dir with space/kestrin_pad.exe");
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file(built_program("kp_test_app"), program);
    set_environment("KP_APP_RECORD", utf16_to_utf8(native("record.txt").u16string()));
    const std::u16string application = system_path(program);
    ASSERT_TRUE(sys::start_process(application, u"\"" + application + u"\"", path("dir with space")));
    const std::string record = wait_for_record(native("record.txt"));
    set_environment("KP_APP_RECORD", "");
    EXPECT_NE(record.find("argc=1\t"), std::string::npos) << record;
    EXPECT_NE(record.find("\tcwd=" + utf16_to_utf8(native("dir with space").u16string()) + "\t"),
              std::string::npos)
        << record;

    EXPECT_FALSE(sys::start_process(path("dir with space"), u"\"x\"", path("")))
        << "a directory does not start";
    EXPECT_FALSE(sys::start_process(path("missing.exe"), u"\"x\"", path("")));
}

#ifndef _WIN32

TEST_F(ProcessBackend, CommandLineIsSplitByTheWindowsRules) {
    const std::filesystem::path program = native("kestrin_pad.exe");
    std::filesystem::copy_file(built_program("kp_test_app"), program);
    set_environment("KP_APP_RECORD", native("record.txt").string());
    const std::u16string line =
        u"\"" + path("kestrin_pad.exe") + u"\" a\\\\b \"c d\" e\\\"f \"g\\\\\" h\"\"i x \"y\"\"z w\"";
    ASSERT_TRUE(sys::start_process(path("kestrin_pad.exe"), line, path("")));
    const std::string record = wait_for_record(native("record.txt"));
    set_environment("KP_APP_RECORD", "");
    EXPECT_NE(record.find("cmdline=[" + program.string() + "][a\\\\b][c d][e\"f][g\\][hi][x][y\"z][w]\n"),
              std::string::npos)
        << record;
}

// A process name with spaces and parentheses, as /proc/PID/stat shows it, still gives the
// right parent; the file name comes from the exe link, also once the file has been removed.
TEST_F(ProcessBackend, ProcListEntriesSurviveOddProcessNames) {
    const std::filesystem::path odd = native("a) (b");
    std::filesystem::copy_file("/bin/sleep", odd);
    ASSERT_TRUE(sys::start_process(system_path(odd), u"\"" + system_path(odd) + u"\" 30", path("")));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const SnapshotHandle snapshot = sys::snapshot_processes();
    ASSERT_TRUE(snapshot);
    ProcessEntry entry;
    std::uint32_t found = 0;
    for (bool more = sys::first_process(snapshot, entry); more; more = sys::next_process(snapshot, entry)) {
        if (entry.exe_file != u"a) (b")
            continue;
        found = entry.process_id;
        EXPECT_EQ(entry.parent_process_id, sys::current_process_id());
    }
    ASSERT_NE(found, 0u);
    EXPECT_TRUE(is_image_running(system_path(odd)));
    std::u16string image;
    EXPECT_TRUE(sys::query_process_image(sys::open_process_for_query(found), image));
    EXPECT_EQ(image, system_path(odd));
    // Removing the file does not stop the process: it still counts as running from that path.
    std::filesystem::remove(odd);
    EXPECT_TRUE(is_image_running(system_path(odd)));
    ::kill(static_cast<pid_t>(found), SIGKILL);
}

TEST_F(ProcessBackend, MutexIsAPrivateLockFileThatExcludesOtherHolders) {
    set_environment("XDG_RUNTIME_DIR", native("run").string());
    std::filesystem::create_directories(native("run"));
    {
        const MutexHandle mutex = sys::create_named_mutex(u"Local\\KP_Test_Mutex");
        ASSERT_TRUE(mutex);
        const std::filesystem::path file = native("run/KP_Test_Mutex.lock");
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        sys::wait_for_mutex(mutex);
        const int other = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << "held by the first handle";
        sys::release_mutex(mutex);
        EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        ::close(other);
    }
    // A link planted at the name is not followed: no mutex rather than someone else's file.
    std::filesystem::create_symlink(native("target"), native("run/KP_Planted.lock"));
    EXPECT_FALSE(sys::create_named_mutex(u"Local\\KP_Planted"));
    EXPECT_FALSE(std::filesystem::exists(native("target")));

    // Without a runtime folder the lock lives in /tmp, the user id in its name.
    unsetenv("XDG_RUNTIME_DIR");
    const std::filesystem::path shared = "/tmp/KP_Test_Mutex." + std::to_string(::getuid()) + ".lock";
    EXPECT_TRUE(sys::create_named_mutex(u"Local\\KP_Test_Mutex"));
    EXPECT_TRUE(std::filesystem::is_regular_file(shared));
    std::filesystem::remove(shared);
}

#endif

} // namespace
} // namespace kp::test
