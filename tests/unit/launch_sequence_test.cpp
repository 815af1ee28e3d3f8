#include "build_config.hpp"
#include "common/install_layout.hpp"
#include "launcher/launch_sequence.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"

#include <gmock/gmock.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace kp::test {
namespace {

constexpr std::uintptr_t fake_raw = 0x7000; // never a real handle of either backend

// Drives run_launcher over the real disk of a sandbox, with the process list, the process start
// and the mutex faked, and writes down what happens in order. The end-to-end suites cover the
// rows a real system reaches; these cover the order of calls and failures only a fake reaches.
class LaunchSequence : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        install_dir = path("local") + u"\\" + std::u16string(INSTALL_FOLDER_NAME);
        folder = native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME));
        std::filesystem::create_directories(folder);
        fault::com_initialize = [this] { events.push_back("com+"); };
        fault::com_uninitialize = [this] { events.push_back("com-"); };
        fault::module_file_name = [this] { return path("launcher\\kp_launcher.exe"); };
        fault::local_app_data_folder = [this] { return path("local"); };
        fault::current_process_id = [] { return 100u; };
        fault::close_handle = [](HandleKind kind, std::uintptr_t raw) {
            if (raw != fake_raw)
                backend::close_handle(kind, raw);
        };
        fault::open_file_for_reading = [this](const std::u16string& file) {
            if (file == path("launcher\\app.enc"))
                events.push_back("install");
            else if (file == install_dir + std::u16string(BUILD_STAMP_SUFFIX))
                events.push_back("stamp");
            return backend::open_file_for_reading(file);
        };
        fault::open_file_for_streaming = [this](const std::u16string& file) { // only the host image
            events.push_back("refresh");
            return backend::open_file_for_streaming(file);
        };
        fault::snapshot_processes = [this] {
            events.push_back("snapshot");
            next_entry = 0;
            return SnapshotHandle(fake_raw);
        };
        fault::first_process = fault::next_process = [this](const SnapshotHandle&, ProcessEntry& entry) {
            return next_entry < processes.size() && (entry = processes[next_entry++], true);
        };
        fault::open_process_for_query = [this](std::uint32_t id) {
            events.push_back("open " + std::to_string(id));
            return openable ? ProcessHandle(fake_raw) : ProcessHandle();
        };
        fault::query_process_image = [this](const ProcessHandle&, std::u16string& image) {
            image = path("host\\host.exe");
            return true;
        };
        fault::start_process = [this](const std::u16string&, const std::u16string&, const std::u16string&) {
            events.push_back("start");
            return true;
        };
        fault::create_named_mutex = [this](const std::u16string& name) {
            events.push_back("mutex " + utf16_to_utf8(name));
            return mutex_available ? MutexHandle(fake_raw) : MutexHandle();
        };
        fault::wait_for_mutex = [this](const MutexHandle&) {
            events.push_back("wait");
            if (while_waiting)
                std::exchange(while_waiting, nullptr)();
        };
        fault::release_mutex = [this](const MutexHandle&) { events.push_back("release"); };
    }

    std::vector<std::string> run() {
        events.clear();
        EXPECT_EQ(run_launcher(), 0);
        return events;
    }

    std::filesystem::path folder;
    std::u16string install_dir;
    std::vector<ProcessEntry> processes = {
        {1, 0, u"init"}, {50, 1, u"host.exe"}, {100, 50, u"kp_launcher.exe"}};
    std::size_t next_entry = 0;
    bool openable = true, mutex_available = true;
    std::function<void()> while_waiting; // what another launcher does while this one waits
    std::vector<std::string> events;
};

using Events = std::vector<std::string>;
const std::string tools_mutex = "mutex Local\\KP_SmartToolsUnpack_" + utf16_to_utf8(INSTALL_FOLDER_NAME);
const std::string install_mutex = "mutex Local\\KP_Install_" + utf16_to_utf8(INSTALL_FOLDER_NAME);

// Current: one snapshot only, the parent lookup; the running test, the installation and its
// mutex are skipped. Missing: the stamp is not read, the decision is taken again under the
// installation mutex, and a run that installs nothing starts nothing. After the start only a
// known parent is refreshed; either mutex is optional.
TEST_F(LaunchSequence, CurrentInstallationSkipsTheRunningTestAndMissingOneSkipsTheStamp) {
    write_native(folder / ".kp_build", utf16le_bytes(BUILD_ID));
    EXPECT_EQ(run(),
              (Events{"com+", "snapshot", install_mutex, "wait", "snapshot", "install", "release", "com-"}));
    write_native(folder / "kestrin_pad.exe", bytes_of("MZ"));
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", tools_mutex, "wait", "refresh",
                             "release", "com-"}));
    mutex_available = false;
    EXPECT_EQ(run(),
              (Events{"com+", "stamp", "start", "snapshot", "open 50", tools_mutex, "refresh", "com-"}));
    openable = false;
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", "com-"}));
    std::filesystem::remove(folder / "kestrin_pad.exe");
    EXPECT_EQ(run(), (Events{"com+", "snapshot", install_mutex, "snapshot", "install", "com-"}));
    // A double click: this launcher waits while the first installs, then finds this build's stamp
    // and installs nothing. It lets the installation mutex go before the start and takes the tools
    // mutex only after it: never the two at once, nor one twice.
    mutex_available = openable = true;
    while_waiting = [this] { write_native(folder / "kestrin_pad.exe", bytes_of("MZ")); };
    EXPECT_EQ(run(), (Events{"com+", "snapshot", install_mutex, "wait", "stamp", "release", "start",
                             "snapshot", "open 50", tools_mutex, "wait", "refresh", "release", "com-"}));
}

// The module's directory ends before the last separator of either kind; without a local folder
// the install directory is put at the root.
TEST_F(LaunchSequence, ModuleDirectoryAndInstallDirectoryWithoutALocalFolder) {
    for (const auto& [module, directory] : {std::pair{u"C:\\dir\\sub/kp_launcher.exe", u"C:\\dir\\sub"},
                                            std::pair{u"C:\\kp_launcher.exe", u"C:"}, std::pair{u"", u"."}}) {
        fault::module_file_name = [module = module] { return std::u16string(module); };
        EXPECT_EQ(module_directory(), directory);
    }
    fault::local_app_data_folder = [] { return std::u16string(); };
    std::vector<std::u16string> tested;
    fault::path_exists = [&tested](const std::u16string& file) { return tested.push_back(file), false; };
    run();
    EXPECT_THAT(tested,
                testing::Contains(u"\\" + std::u16string(INSTALL_FOLDER_NAME) + u"\\kestrin_pad.exe"));
}

#ifndef _WIN32
// The mutex excludes a second holder, even a second handle in the same process: it waits until the
// first is released, so the launcher must never take one of its mutexes twice. The kernel lists
// the blocked request in /proc/locks under the process's id.
TEST(NamedMutex, SecondHolderWaitsUntilTheFirstReleasesEvenInOneProcess) {
    const MutexHandle first = sys::create_named_mutex(u"Local\\KP_Test_Exclusion");
    const MutexHandle second = sys::create_named_mutex(u"Local\\KP_Test_Exclusion");
    ASSERT_TRUE(first && second);
    sys::wait_for_mutex(first);
    std::atomic<bool> taken = false;
    std::thread waiter([&] { sys::wait_for_mutex(second), taken = true; });
    const std::string request = "-> FLOCK  ADVISORY  WRITE " + std::to_string(::getpid()) + " ";
    for (std::string locks; !taken && locks.find(request) == std::string::npos;) {
        std::ifstream file("/proc/locks");
        locks.assign(std::istreambuf_iterator<char>(file), {});
    }
    EXPECT_FALSE(taken);
    sys::release_mutex(first);
    waiter.join();
    EXPECT_TRUE(taken);
}
#endif

} // namespace
} // namespace kp::test
