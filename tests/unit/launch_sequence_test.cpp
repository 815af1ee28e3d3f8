#include "build_config.hpp"
#include "common/install_layout.hpp"
#include "launcher/launch_sequence.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"

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
        stamp = native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME) + "/.kp_build");
        host_image = path("host\\host.exe");
        processes = {{1, 0, u"init"}, {host_id, 1, u"host.exe"}, {own_id, host_id, u"kp_launcher.exe"}};
        images = {{host_id, host_image}};
        std::filesystem::create_directories(native("launcher"));
        std::filesystem::create_directories(native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME)));
        install_hooks();
    }

    void install_hooks() {
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
            next_entry = 0;
            return SnapshotHandle(fake_raw);
        };
        fault::first_process = [this](const SnapshotHandle&, ProcessEntry& entry) { return fetch(entry); };
        fault::next_process = [this](const SnapshotHandle&, ProcessEntry& entry) { return fetch(entry); };
        fault::open_process_for_query = [this](std::uint32_t id) {
            events.push_back("open " + std::to_string(id));
            return openable ? ProcessHandle(fake_raw) : ProcessHandle();
        };
        fault::query_process_image = [this](const ProcessHandle&, std::u16string& image) {
            // The last opened id is the one asked about.
            const std::uint32_t id = std::stoul(events.back().substr(5));
            if (!images.count(id))
                return false;
            image = images[id];
            return true;
        };
        fault::start_process = [this](const std::u16string& program, const std::u16string& line,
                                      const std::u16string& directory) {
            events.push_back("start");
            started = {program, line, directory};
            return true;
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

    bool fetch(ProcessEntry& entry) {
        if (next_entry >= processes.size())
            return false;
        entry = processes[next_entry++];
        return true;
    }

    void write_application() {
        write_native(native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME) + "/kestrin_pad.exe"),
                     bytes_of("MZ"));
    }
    void write_stamp(const Bytes& content) { write_native(stamp, content); }
    Bytes current_stamp() const { return utf16le_bytes(BUILD_ID); }

    std::vector<std::string> run() {
        EXPECT_EQ(run_launcher(), 0);
        return events;
    }

    std::u16string install_dir;
    std::u16string application;
    std::filesystem::path stamp;
    std::u16string host_image;
    std::vector<ProcessEntry> processes;
    std::map<std::uint32_t, std::u16string> images;
    std::size_t next_entry = 0;
    bool openable = true;
    bool mutex_available = true;
    std::vector<std::string> events;
    std::array<std::u16string, 3> started;
};

using Events = std::vector<std::string>;
const std::string mutex_event = "mutex Local\\KP_SmartToolsUnpack_" + utf16_to_utf8(INSTALL_FOLDER_NAME);

TEST_F(LaunchSequence, CurrentInstallationStartsTheApplicationAndRefreshesUnderTheMutex) {
    write_application();
    write_stamp(current_stamp());
    // One snapshot only: the parent lookup. The running test and the installation are skipped.
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", mutex_event, "wait", "refresh",
                             "release", "com-"}));
    EXPECT_EQ(started[0], application);
    EXPECT_EQ(started[1], u"\"" + application + u"\"");
    EXPECT_EQ(started[2], install_dir);
}

TEST_F(LaunchSequence, StampsThatAreNotExactlyTheBuildIdentifierAreOutdated) {
    std::u16string upper(BUILD_ID);
    for (auto& unit : upper)
        unit = unit >= u'a' && unit <= u'f' ? unit - 32 : unit;
    Bytes odd = current_stamp();
    odd.push_back(0);
    const std::vector<std::pair<std::string, Bytes>> variants = {
        {"line break", utf16le_bytes(std::u16string(BUILD_ID) + u"\r\n")},
        {"byte-order mark", utf16le_bytes(u"\uFEFF" + std::u16string(BUILD_ID))},
        {"upper case", utf16le_bytes(upper)},
        {"braces", utf16le_bytes(u"{" + std::u16string(BUILD_ID) + u"}")},
        {"odd length", odd},
        {"empty", Bytes{}},
        {"ASCII", bytes_of(utf16_to_utf8(BUILD_ID))},
    };
    write_application();
    for (const auto& [name, content] : variants) {
        events.clear();
        write_stamp(content);
        EXPECT_EQ(run(), (Events{"com+", "stamp", "snapshot", "install", "start", "snapshot", "open 50",
                                 mutex_event, "wait", "refresh", "release", "com-"}))
            << name;
    }
}

TEST_F(LaunchSequence, MissingApplicationIsInstalledWithoutReadingTheStampAndEndsTheRunWhenStillMissing) {
    write_stamp(current_stamp());
    // Nothing installs here (no app.enc): no start, no parent lookup, no mutex.
    EXPECT_EQ(run(), (Events{"com+", "snapshot", "install", "com-"}));
}

TEST_F(LaunchSequence, DirectoryNamedLikeTheApplicationCountsAsInstalled) {
    std::filesystem::create_directories(
        native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME) + "/kestrin_pad.exe"));
    write_stamp(current_stamp());
    EXPECT_EQ(run()[2], "start");
}

TEST_F(LaunchSequence, RunningApplicationIsNotReinstalledButStartedAgain) {
    write_application();
    write_stamp(utf16le_bytes(u"00000000-0000-0000-0000-000000000000"));
    // The running copy reports its path in another letter case; a same-named process elsewhere
    // comes first and is passed over.
    std::u16string reported = application;
    for (auto& unit : reported)
        unit = unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
    processes.insert(processes.begin(),
                     {{app_id + 1, 1, u"kestrin_pad.exe"}, {app_id, 1, u"KESTRIN_PAD.EXE"}});
    images[app_id + 1] = path("elsewhere\\kestrin_pad.exe");
    images[app_id] = reported;
    EXPECT_EQ(run(), (Events{"com+", "stamp", "snapshot", "open 61", "open 60", "start", "snapshot",
                             "open 50", mutex_event, "wait", "refresh", "release", "com-"}));
}

TEST_F(LaunchSequence, UnknownParentMeansNoMutexAndNoRefresh) {
    write_application();
    write_stamp(current_stamp());
    openable = false; // the parent has exited or may not be opened
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", "com-"}));

    events.clear();
    openable = true;
    images.clear(); // opened, but its image cannot be queried
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", "com-"}));

    events.clear();
    processes.pop_back(); // no own entry in the snapshot
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "com-"}));
}

TEST_F(LaunchSequence, RefreshRunsWithoutTheMutexWhenItCannotBeCreated) {
    write_application();
    write_stamp(current_stamp());
    mutex_available = false;
    EXPECT_EQ(run(),
              (Events{"com+", "stamp", "start", "snapshot", "open 50", mutex_event, "refresh", "com-"}));
}

TEST_F(LaunchSequence, FailedStartStillRefreshesTheTools) {
    write_application();
    write_stamp(current_stamp());
    fault::start_process = [this](const std::u16string&, const std::u16string&, const std::u16string&) {
        events.push_back("start");
        return false;
    };
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", mutex_event, "wait", "refresh",
                             "release", "com-"}));
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
