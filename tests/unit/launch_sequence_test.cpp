#include "build_config.hpp"
#include "common/install_layout.hpp"
#include "launcher/launch_sequence.hpp"
#include "launcher/process_inspection.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"

#include <gmock/gmock.h>

#include <map>

namespace kp::test {
namespace {

constexpr std::uintptr_t fake_raw = 0x7000; // never a real handle of either backend

// Drives run_launcher and the process queries over the real disk of a sandbox, with the process
// list, the process start and the mutex faked, and writes down what happens in order and which
// processes get opened. The end-to-end suites cover the rows a real system reaches; these cover
// the order of calls and failures only a fake reaches.
class LaunchSequence : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        folder = native("local/" + utf16_to_utf8(INSTALL_FOLDER_NAME));
        images = {{50, path("host\\host.exe")}};
        fault::com_initialize = [this] { events.push_back("com+"); };
        fault::com_uninitialize = [this] { events.push_back("com-"); };
        fault::module_file_name = [this] { return path("launcher\\kp_launcher.exe"); };
        fault::local_app_data_folder = [this] { return path("local"); };
        fault::current_process_id = [] { return 100u; };
        fault::close_handle = [this](HandleKind kind, std::uintptr_t raw) {
            raw == fake_raw ? void(--open_handles[kind]) : backend::close_handle(kind, raw);
        };
        fault::open_file_for_reading = [this](const std::u16string& file) {
            if (file == path("launcher\\app.enc"))
                events.push_back("install");
            else if (file == system_path(folder) + std::u16string(BUILD_STAMP_SUFFIX))
                events.push_back("stamp");
            return backend::open_file_for_reading(file);
        };
        fault::open_file_for_streaming = [this](const std::u16string& file) { // only the host image
            events.push_back("refresh");
            return backend::open_file_for_streaming(file);
        };
        fault::snapshot_processes = [this] {
            events.push_back("snapshot");
            next_entry = 0, ++open_handles[HandleKind::snapshot];
            return SnapshotHandle(fake_raw);
        };
        fault::first_process = fault::next_process = [this](const SnapshotHandle&, ProcessEntry& entry) {
            return next_entry < processes.size() && (entry = processes[next_entry++], true);
        };
        // A process without an image cannot be opened; one with an empty image cannot be queried.
        fault::open_process_for_query = [this](std::uint32_t id) {
            events.push_back("open " + std::to_string(id));
            opened.push_back(id);
            return images.count(id) ? (++open_handles[HandleKind::process], ProcessHandle(fake_raw))
                                    : ProcessHandle();
        };
        fault::query_process_image = [this](const ProcessHandle&, std::u16string& image) {
            image = images[opened.back()];
            return !image.empty();
        };
        fault::start_process = [this](const std::u16string&, const std::u16string&, const std::u16string&) {
            events.push_back("start");
            return true;
        };
        fault::create_named_mutex = [this](const std::u16string& name) {
            events.push_back("mutex " + utf16_to_utf8(name));
            return mutex_available ? (++open_handles[HandleKind::mutex], MutexHandle(fake_raw))
                                   : MutexHandle();
        };
        fault::wait_for_mutex = [this](const MutexHandle&) {
            events.push_back("wait");
            if (while_waiting)
                std::exchange(while_waiting, nullptr)();
        };
        fault::release_mutex = [this](const MutexHandle&) { events.push_back("release"); };
    }

    // Every handle given out since the last check was closed, once; the counts start anew.
    void expect_all_closed() {
        EXPECT_THAT(open_handles, testing::Each(testing::Pair(testing::_, 0)));
        opened.clear(), open_handles.clear();
    }
    std::vector<std::string> run() {
        events.clear();
        EXPECT_EQ(run_launcher(), 0);
        expect_all_closed();
        return events;
    }

    std::filesystem::path folder;
    std::vector<ProcessEntry> processes = {
        {1, 0, u"init"}, {50, 1, u"host.exe"}, {100, 50, u"kp_launcher.exe"}};
    std::size_t next_entry = 0;
    std::map<std::uint32_t, std::u16string> images; // by process id
    std::vector<std::uint32_t> opened;
    std::map<HandleKind, int> open_handles; // given out less closed, by kind
    bool mutex_available = true;
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
    images.clear();
    EXPECT_EQ(run(), (Events{"com+", "stamp", "start", "snapshot", "open 50", "com-"}));
    std::filesystem::remove(folder / "kestrin_pad.exe");
    EXPECT_EQ(run(), (Events{"com+", "snapshot", install_mutex, "snapshot", "install", "com-"}));
    // A double click: this launcher waits while the first installs, then finds this build's stamp
    // and installs nothing. It lets the installation mutex go before the start and takes the tools
    // mutex only after it: never the two at once, nor one twice.
    mutex_available = true;
    images[50] = path("host\\host.exe");
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

using ProcessQueries = LaunchSequence;

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

// The image of the first own entry's parent, the walk stopping there. Empty when the parent is
// gone or cannot be queried, and, with nothing opened, when the own entry has no parent (0) or is
// not listed. Each case: what is listed and what opens; the image, the entries walked, the opens.
TEST_F(ProcessQueries, ParentImageComesFromTheFirstOwnEntrysParentOrIsEmpty) {
    const std::vector<ProcessEntry> family = {
        {50, 1, u"host.exe"}, {100, 50, u"kp_launcher.exe"}, {100, 77, u"kp_launcher.exe"}};
    const std::u16string host = u"C:\\host\\host.exe";
    using Images = std::map<std::uint32_t, std::u16string>;
    using Case = std::tuple<std::vector<ProcessEntry>, Images, std::u16string, std::size_t, std::size_t>;
    for (const auto& [listed, queried, image, walked, opens] :
         {Case{family, {{50, host}, {77, u"C:\\later\\other.exe"}}, host, 2, 1}, Case{family, {}, u"", 2, 1},
          Case{family, {{50, u""}}, u"", 2, 1}, Case{{{100, 0, u"kp_launcher.exe"}}, {}, u"", 1, 0},
          Case{{{7, 50, u"other.exe"}}, {}, u"", 1, 0}}) {
        processes = listed, images = queried;
        EXPECT_EQ(parent_image_path(), image);
        EXPECT_EQ(next_entry, walked);
        EXPECT_EQ(opened.size(), opens);
        expect_all_closed();
    }
    fault::snapshot_processes = [] { return SnapshotHandle(); };
    EXPECT_EQ(parent_image_path(), u"");
}

} // namespace
} // namespace kp::test
