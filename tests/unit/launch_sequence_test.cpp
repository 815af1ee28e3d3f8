#include "build_config.hpp"
#include "common/install_layout.hpp"
#include "launcher/launch_sequence.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"

#include <functional>
#include <map>

namespace kp::test {
namespace {

constexpr std::uintptr_t fake_raw = 0x7000; // never a real handle of either backend
constexpr std::uint32_t own_id = 100;
constexpr std::uint32_t host_id = 50;
constexpr std::uint32_t app_id = 60;

// Drives run_launcher over the real disk of a sandbox, with the process list, the process start
// and the mutex faked, and writes down what happens in order.
class LaunchSequence : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        install_dir = path("local") + u"\\" + std::u16string(INSTALL_FOLDER_NAME);
        application = install_dir + std::u16string(APPLICATION_SUFFIX);
        host_image = path("host\\host.exe");
        images = {{host_id, host_image}};
        folder = native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME));
        std::filesystem::create_directories(native("launcher"));
        std::filesystem::create_directories(folder);
        fault::com_initialize = [this] { events.push_back("com+"); };
        fault::com_uninitialize = [this] { events.push_back("com-"); };
        fault::module_file_name = [this] { return path("launcher\\kp_launcher.exe"); };
        fault::local_app_data_folder = [this] { return path("local"); };
        fault::current_process_id = [] { return own_id; };
        fault::close_handle = [](HandleKind kind, std::uintptr_t raw) {
            if (raw != fake_raw)
                backend::close_handle(kind, raw);
        };
        fault::open_file_for_reading = [this](const std::u16string& file) {
            note_file(file);
            return backend::open_file_for_reading(file);
        };
        fault::open_file_for_streaming = [this](const std::u16string& file) {
            note_file(file);
            return backend::open_file_for_streaming(file);
        };
        fault::snapshot_processes = [this] {
            events.push_back("snapshot");
            return SnapshotHandle(fake_raw);
        };
        fault::next_process = [this](const SnapshotHandle&, ProcessEntry& entry) {
            if (next_entry >= processes.size())
                return false;
            entry = processes[next_entry++];
            return true;
        };
        fault::first_process = [this](const SnapshotHandle& snapshot, ProcessEntry& entry) {
            next_entry = 0;
            return fault::next_process(snapshot, entry);
        };
        fault::open_process_for_query = [this](std::uint32_t id) {
            events.push_back("open " + std::to_string(id));
            return openable ? ProcessHandle(fake_raw) : ProcessHandle();
        };
        fault::query_process_image = [this](const ProcessHandle&, std::u16string& image) {
            image = images[std::stoul(events.back().substr(5))]; // the last opened id
            return !image.empty();
        };
        fault::start_process = [this](const std::u16string& program, const std::u16string& line,
                                      const std::u16string& directory) {
            events.push_back("start");
            started = {program, line, directory};
            return start_succeeds;
        };
        fault::create_named_mutex = [this](const std::u16string& name) {
            events.push_back("mutex " + utf16_to_utf8(name));
            return mutex_available ? MutexHandle(fake_raw) : MutexHandle();
        };
        fault::wait_for_mutex = [this](const MutexHandle&) { events.push_back("wait"); };
        fault::release_mutex = [this](const MutexHandle&) { events.push_back("release"); };
    }

    void note_file(const std::u16string& file) {
        if (file == path("launcher\\app.enc"))
            events.push_back("install");
        else if (file == host_image)
            events.push_back("refresh");
        else if (file == install_dir + std::u16string(BUILD_STAMP_SUFFIX))
            events.push_back("stamp");
    }

    void write_application() { write_native(folder / "kestrin_pad.exe", bytes_of("MZ")); }
    void write_stamp(const Bytes& content) { write_native(folder / ".kp_build", content); }

    std::vector<std::string> run() {
        EXPECT_EQ(run_launcher(), 0);
        return events;
    }

    std::filesystem::path folder;
    std::u16string install_dir, application, host_image;
    std::vector<ProcessEntry> processes = {
        {1, 0, u"init"}, {host_id, 1, u"host.exe"}, {own_id, host_id, u"kp_launcher.exe"}};
    std::map<std::uint32_t, std::u16string> images;
    std::size_t next_entry = 0;
    bool openable = true, mutex_available = true, start_succeeds = true;
    std::vector<std::string> events;
    std::array<std::u16string, 3> started;
};

using Events = std::vector<std::string>;

std::u16string upper(std::u16string text) {
    for (auto& unit : text)
        unit = unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
    return text;
}
const std::string mutex_event = "mutex Local\\KP_SmartToolsUnpack_" + utf16_to_utf8(INSTALL_FOLDER_NAME);

const Events refresh = {"snapshot", "open 50", mutex_event, "wait", "refresh", "release", "com-"};

Events operator+(Events head, const Events& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(LaunchSequence, CurrentInstallationStartsTheApplicationAndRefreshesUnderTheMutex) {
    write_application();
    write_stamp(utf16le_bytes(BUILD_ID));
    // One snapshot only: the parent lookup. The running test and the installation are skipped.
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start"} + refresh));
    EXPECT_EQ(started,
              (std::array<std::u16string, 3>{application, u"\"" + application + u"\"", install_dir}));
}

TEST_F(LaunchSequence, StampsThatAreNotExactlyTheBuildIdentifierAreOutdated) {
    Bytes odd = utf16le_bytes(BUILD_ID);
    odd.push_back(0);
    const std::vector<std::pair<std::string, Bytes>> variants = {
        {"line break", utf16le_bytes(std::u16string(BUILD_ID) + u"\r\n")},
        {"byte-order mark", utf16le_bytes(u"\uFEFF" + std::u16string(BUILD_ID))},
        {"upper case", utf16le_bytes(upper(std::u16string(BUILD_ID)))},
        {"odd length", odd},
        {"empty", Bytes{}},
    };
    write_application();
    for (const auto& [name, content] : variants) {
        SCOPED_TRACE(name);
        events.clear();
        write_stamp(content);
        EXPECT_EQ(run(), (Events{"com+", "stamp", "snapshot", "install", "start"} + refresh));
    }
}

TEST_F(LaunchSequence, MissingApplicationIsInstalledWithoutReadingTheStampAndEndsTheRunWhenStillMissing) {
    write_stamp(utf16le_bytes(BUILD_ID));
    // Nothing installs here (no app.enc): no start, no parent lookup, no mutex.
    EXPECT_EQ(run(), (Events{"com+", "snapshot", "install", "com-"}));

    events.clear();
    std::filesystem::create_directories(folder / "kestrin_pad.exe");
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start"} + refresh)) << "a directory counts as installed";
}

// A same-named process elsewhere comes first and is passed over; the running copy reports its path
// in another letter case. Present or absent, nothing is installed; only a present one is started.
TEST_F(LaunchSequence, RunningApplicationIsNotReinstalledButStartedAgainWhenPresent) {
    write_stamp(utf16le_bytes(u"00000000-0000-0000-0000-000000000000"));
    processes.insert(processes.begin(),
                     {{app_id + 1, 1, u"kestrin_pad.exe"}, {app_id, 1, u"KESTRIN_PAD.EXE"}});
    images[app_id + 1] = path("elsewhere\\kestrin_pad.exe");
    images[app_id] = upper(application);
    EXPECT_EQ(run(), (Events{"com+", "snapshot", "open 61", "open 60", "com-"}));
    events.clear();
    write_application();
    EXPECT_EQ(run(), (Events{"com+", "stamp", "snapshot", "open 61", "open 60", "start"} + refresh));
}

TEST_F(LaunchSequence, AfterTheStartOnlyAKnownParentIsRefreshedAndTheMutexIsOptional) {
    const std::vector<std::tuple<const char*, std::function<void()>, Events>> cases = {
        {"parent exited or not openable", [this] { openable = false; }, {"snapshot", "open 50", "com-"}},
        {"parent image not queryable", [this] { images.clear(); }, {"snapshot", "open 50", "com-"}},
        {"no own entry in the snapshot", [this] { processes.pop_back(); }, {"snapshot", "com-"}},
        {"no mutex",
         [this] { mutex_available = false; },
         {"snapshot", "open 50", mutex_event, "refresh", "com-"}},
        {"start fails", [this] { start_succeeds = false; }, refresh},
    };
    write_application();
    write_stamp(utf16le_bytes(BUILD_ID));
    for (const auto& [name, change, tail] : cases) {
        SCOPED_TRACE(name);
        events.clear();
        processes = {{1, 0, u"init"}, {host_id, 1, u"host.exe"}, {own_id, host_id, u"kp_launcher.exe"}};
        images = {{host_id, host_image}};
        openable = mutex_available = start_succeeds = true;
        change();
        EXPECT_EQ(run(), (Events{"com+", "stamp", "start"} + tail));
    }
}

TEST_F(LaunchSequence, UnavailableLocalFolderPutsTheInstallDirectoryAtTheRoot) {
    fault::local_app_data_folder = [] { return std::u16string(); };
    std::vector<std::u16string> tested;
    fault::path_exists = [&tested](const std::u16string& file) {
        tested.push_back(file);
        return false;
    };
    run();
    ASSERT_FALSE(tested.empty());
    EXPECT_EQ(tested.front(), u"\\" + std::u16string(INSTALL_FOLDER_NAME) + u"\\kestrin_pad.exe");
}

TEST(ModuleDirectory, EndsBeforeTheLastSeparatorOfEitherKind) {
    const std::vector<std::pair<std::u16string, std::u16string>> cases = {
        {u"C:\\Program Files\\Kestrin\\kp_launcher.exe", u"C:\\Program Files\\Kestrin"},
        {u"C:\\dir\\sub/kp_launcher.exe", u"C:\\dir\\sub"},
        {u"C:\\kp_launcher.exe", u"C:"},
        {u"kp_launcher.exe", u"."},
        {u"", u"."},
    };
    for (const auto& [module, directory] : cases) {
        fault::module_file_name = [module = module] { return module; };
        EXPECT_EQ(module_directory(), directory) << utf16_to_utf8(module);
    }
    fault::reset();
}

} // namespace
} // namespace kp::test
