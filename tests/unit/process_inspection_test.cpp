#include "launcher/process_inspection.hpp"
#include "platform/platform.hpp"
#include "support/sandbox.hpp"

#ifndef _WIN32
#include <atomic>
#include <pwd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#endif

namespace kp::test {
namespace {

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
// environment says. It excludes a second holder, even a second handle in the same process: that
// waits until the first is released, so the launcher must never take one of its mutexes twice
// (the kernel lists the blocked request in /proc/locks under the process's id). The file is
// private, and a link planted at its name gives no mutex.
TEST_F(ProcessBackend, MutexIsAPrivateLockFileOfTheAccountWhateverTheEnvironment) {
    const auto lock = std::filesystem::path(::getpwuid(::geteuid())->pw_dir) / ".cache/KP_Test_Mutex.lock";
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string runtime_dir = runtime != nullptr ? runtime : "";
    setenv("XDG_RUNTIME_DIR", native("run").c_str(), 1);
    setenv("HOME", native("home").c_str(), 1);
    std::filesystem::create_directories(native("run"));
    const MutexHandle first = sys::create_named_mutex(u"Local\\KP_Test_Mutex");
    unsetenv("XDG_RUNTIME_DIR");
    const MutexHandle second = sys::create_named_mutex(u"Local\\KP_Test_Mutex");
    setenv("HOME", home.c_str(), 1);
    if (runtime != nullptr)
        setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(std::filesystem::is_empty(native("run")));
    EXPECT_FALSE(std::filesystem::exists(native("home")));
    EXPECT_EQ(std::filesystem::status(lock).permissions(), std::filesystem::perms(0600));

    sys::wait_for_mutex(first);
    std::atomic<bool> taken = false;
    std::thread waiter([&] { sys::wait_for_mutex(second), taken = true; });
    const std::string request = "-> FLOCK  ADVISORY  WRITE " + std::to_string(::getpid()) + " ";
    for (std::string locks; !taken && locks.find(request) == std::string::npos;)
        locks = text_of(read_native("/proc/locks"));
    EXPECT_FALSE(taken);
    sys::release_mutex(first);
    waiter.join();
    EXPECT_TRUE(taken);

    std::filesystem::remove(lock);
    std::filesystem::create_symlink(native("target"), lock);
    EXPECT_FALSE(sys::create_named_mutex(u"Local\\KP_Test_Mutex"));
    EXPECT_FALSE(std::filesystem::exists(native("target")));
    std::filesystem::remove(lock);
}

#endif

} // namespace
} // namespace kp::test
