#include "platform/backend.hpp"
#include "support/disk_call_log.hpp"
#include "support/sandbox.hpp"
#include "support/tool_sets.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <functional>

namespace kp::test {
namespace {

const std::vector<pack::ToolFile> OLD_TOOLS = {{u"onnxruntime.dll", bytes_of("old runtime")},
                                               {u"models\\old.bin", pattern_bytes(700, 1)},
                                               {u"only_old.txt", bytes_of("gone after a rotation")}};
const std::vector<pack::ToolFile> NEW_TOOLS = {{u"onnxruntime.dll", bytes_of("new runtime")},
                                               {u"models\\new.bin", pattern_bytes(900, 2)},
                                               {u"models\\vision\\v.bin", pattern_bytes(50, 3)}};
constexpr std::size_t HOST_SIZE = 512;

// The three slots; an empty optional is an absent directory.
struct Slots {
    std::optional<FileSet> tools = {}, staging = {}, previous = {};
};

struct Case {
    std::string what;
    Slots before, after;
    int windows = 0; // progress windows opened (and closed)
    int renames = 0; // move_path calls, failed ones included
    std::function<void()> arrange = {};
    std::uint32_t waited_ms = 0; // between renames tried again
};

class ToolRotation : public SandboxTest {
  protected:
    void write_host(bool tampered = false) {
        Bytes host = pack::append_tool_package(pattern_bytes(HOST_SIZE, 9), NEW_TOOLS);
        if (tampered)
            host[HOST_SIZE + stream_size - 1] ^= 0x01; // the last data byte: the digest differs
        write_native(native("host.exe"), host);
    }
    std::u16string slot_path(const char* name) const { return path("install/" + std::string(name)); }
    std::optional<FileSet> slot(const char* name) const {
        return files_under(native("install/" + std::string(name)));
    }
    void fail_moves_from(const char* name) { busy_moves_from(name, 0, MoveResult::refused); }
    // The renames from slot NAME are busy for their first TIMES tries, then go through (or fail
    // with LAST); renames from other slots go on as before.
    void busy_moves_from(const char* name, int times, MoveResult last = MoveResult::moved) {
        fault::move_path = [source = slot_path(name), times, last, tries = 0, others = fault::move_path](
                               const std::u16string& from, const std::u16string& to) mutable {
            if (from != source)
                return others ? others(from, to) : backend::move_path(from, to);
            if (++tries <= times)
                return MoveResult::busy;
            return last == MoveResult::moved ? backend::move_path(from, to) : last;
        };
    }

    // Sets the slots up on disk, runs one refresh and checks every slot, the window and the renames.
    void run(const Case& c) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(native("install"));
        fault::reset();
        fault::set_progress_permille = [](std::uint32_t) {};
        fault::open_progress_window = [this] {
            tools_aside_at_open = !slot("ai") && slot("ai.new");
            window_shown = true;
            return window;
        };
        fault::close_progress_window = [this](WindowHandle frame) {
            EXPECT_EQ(frame, window);
            window_shown = false;
        };
        fault::pump_messages = [this] { ++pumps; };
        fault::sleep_ms = [this](std::uint32_t milliseconds) {
            waits.push_back({milliseconds, window_shown, pumps});
        };
        fault::free_bytes_available = [this](const std::u16string& dir, std::uint64_t& bytes) {
            EXPECT_EQ(dir, path("install"));
            bytes = free_bytes;
            return free_bytes != 0;
        };
        window = 0x4242;
        tools_aside_at_open = false;
        window_shown = false;
        waits.clear();
        pumps = 0;
        free_bytes = std::uint64_t{1} << 40;
        write_host();
        const std::pair<const char*, const std::optional<FileSet>*> slots[] = {
            {"ai", &c.before.tools}, {"ai.new", &c.before.staging}, {"ai.old", &c.before.previous}};
        for (const auto& [name, set] : slots)
            if (*set)
                write_set(native("install/" + std::string(name)), **set);
        if (c.arrange)
            c.arrange();

        refresh_tools(path("host.exe"), path("install"));
        EXPECT_EQ(slot("ai"), c.after.tools);
        EXPECT_EQ(slot("ai.new"), c.after.staging);
        EXPECT_EQ(slot("ai.old"), c.after.previous);
        EXPECT_EQ(fault::calls.open_progress_window, c.windows);
        EXPECT_EQ(fault::calls.close_progress_window, c.windows);
        EXPECT_EQ(fault::calls.move_path, c.renames);
        std::uint32_t waited = 0;
        for (const Wait& wait : waits)
            waited += wait.milliseconds;
        EXPECT_EQ(waited, c.waited_ms);
        if (c.windows != 0 && c.after.tools == new_set && !c.after.previous) {
            EXPECT_EQ(fault::calls.start_flush, static_cast<int>(NEW_TOOLS.size()) + 1) << "files and marker";
            EXPECT_EQ(fault::calls.flush_tree, 1) << "one wait for all of them, before the rename";
            EXPECT_EQ(fault::calls.flush_directory, 1) << "the rename itself, before the old set goes";
        }
        if (c.windows != 0)
            EXPECT_TRUE(tools_aside_at_open)
                << "the window opens once the live set is aside and staging made";
        else
            EXPECT_EQ(fault::calls.create_file_for_writing, 0);
    }

    const std::uint64_t stream_size = pack::build_entry_stream(NEW_TOOLS).size();
    const FileSet old_set = published(OLD_TOOLS);
    const FileSet new_set = published(NEW_TOOLS);
    const FileSet partial = {{"partial.bin", bytes_of("p")}};
    std::uint64_t free_bytes = 0; // 0: the query fails
    WindowHandle window = 0;
    bool tools_aside_at_open = false;
    bool window_shown = false;
    struct Wait {
        std::uint32_t milliseconds;
        bool window_shown;
        int pumps_before; // messages handled before this wait began, in all
    };
    std::vector<Wait> waits;
    int pumps = 0;
};

// Slots are {ai, ai.new, ai.old}: old set, new set, a partial staging, or absent.
TEST_F(ToolRotation, EveryStateOnDiskIsTakenToTheCurrentSet) {
    const FileSet &O = old_set, &N = new_set, &P = partial;
    // clang-format off
    std::vector<Case> cases = {
        // what                                     before      after   windows renames
        {"nothing yet, no install directory",       {},         {N},    1, 1},
        {"another package live",                    {O},        {N},    1, 2},
        {"current, staging left over",              {N, P},     {N, P}, 0, 0},
        {"stopped after moving the current aside",  {{}, P, N}, {N, P}, 0, 1},
        {"stopped after moving an older set aside", {{}, P, O}, {N},    1, 3},
        {"stopped after publishing",                {N, {}, O}, {N},    0, 0},
    };
    // clang-format on
    // A marker that differs in any unit, or a missing probe, causes a full rotation.
    const std::u16string id = utf8_to_utf16(pack::package_identifier(pack::build_entry_stream(NEW_TOOLS)));
    std::u16string upper = id;
    for (char16_t& unit : upper)
        unit = unit >= u'a' && unit <= u'f' ? unit - u'a' + u'A' : unit;
    ASSERT_NE(upper, id);
    const std::pair<std::string, Bytes> markers[] = {{"byte-order mark", utf16le_bytes(u"\uFEFF" + id)},
                                                     {"line end", utf16le_bytes(id + u"\r\n")},
                                                     {"upper case", utf16le_bytes(upper)},
                                                     {"UTF-8", bytes_of(utf16_to_utf8(id))}};
    for (const auto& [what, marker] : markers) {
        FileSet stale = N;
        stale[".kp_ai"] = marker;
        stale["stale.txt"] = bytes_of("x");
        cases.push_back({"marker with " + what, {stale}, {N}, 1, 2});
    }
    FileSet without_probe = N;
    without_probe.erase("onnxruntime.dll");
    cases.push_back({"probe missing", {without_probe}, {N}, 1, 2});
    for (const Case& c : cases)
        run(c);
}

TEST_F(ToolRotation, EveryFailureLeavesAStateTheNextRunHandles) {
    const FileSet &O = old_set, &N = new_set, &P = partial;
    const std::uint64_t needed = stream_size + FREE_SPACE_MARGIN;
    const auto remove_host = [this] { std::filesystem::remove(native("host.exe")); };
    const auto untrailed_host = [this] { write_native(native("host.exe"), pattern_bytes(4096, 5)); };
    const auto no_size = [] { fault::file_size = [](const FileHandle&, std::uint64_t&) { return false; }; };
    const auto fail_marker = [this] {
        fault::create_file_for_writing = [marker =
                                              slot_path("ai.new") + u"\\.kp_ai"](const std::u16string& to) {
            return to == marker ? FileHandle{} : backend::create_file_for_writing(to);
        };
    };
    const auto fail_second_file_flush = [] {
        fault::start_flush = [flushes = 0](const FileHandle& file, std::uint64_t size) mutable {
            return ++flushes != 2 && backend::start_flush(file, size);
        };
    };
    const auto fail_tree_flush = [] { fault::flush_tree = [](const std::u16string&) { return false; }; };
    const auto fail_directory_flush = [] {
        fault::flush_directory = [](const std::u16string&) { return false; };
    };
    // clang-format off
    const std::vector<Case> cases = {
        // what                        before       after       windows renames, then the fault
        {"no host image",              {{}, P, O},  {{}, P, O}, 0, 0, remove_host},
        {"no trailer",                 {{}, P, O},  {{}, P, O}, 0, 0, untrailed_host},
        {"size unknown",               {{}, P, O},  {{}, P, O}, 0, 0, no_size},
        {"previous not restored",      {{}, {}, O}, {N},        1, 2, [this] { fail_moves_from("ai.old"); }},
        {"one byte too little space",  {O, P},      {O},        0, 0, [&] { free_bytes = needed - 1; }},
        {"free-space query fails",     {O, P},      {O},        0, 0, [this] { free_bytes = 0; }},
        {"exactly enough space",       {O},         {N},        1, 2, [&] { free_bytes = needed; }},
        {"live set not moved aside",   {O},         {O},        0, 1, [this] { fail_moves_from("ai"); }},
        {"digest differs",             {O},         {O},        1, 2, [this] { write_host(true); }},
        {"marker not written",         {O},         {O},        1, 2, fail_marker},
        {"publishing rename fails",    {O},         {O},        1, 3, [this] { fail_moves_from("ai.new"); }},
        {"a staged file's flush fails", {O},        {O},        1, 2, fail_second_file_flush},
        {"the staging flush fails",    {O},         {O},        1, 2, fail_tree_flush},
        {"the rename is not flushed",  {O},         {N, {}, O}, 1, 2, fail_directory_flush},
        {"first unpack fails",         {},          {},         1, 0, [this] { write_host(true); }},
        {"no progress window",         {},          {N},        1, 1, [this] { window = 0; }},
    };
    // clang-format on
    for (const Case& c : cases)
        run(c);
}

// A rename that fails in a way that may pass (a virus scanner reading a new DLL) is tried again
// with growing waits until its patience is spent; past the last try each failure row holds as
// it did. One that cannot pass is tried once: every case of the other tables checks no wait.
TEST_F(ToolRotation, BusyRenamesAreTriedAgainWithinTheirPatience) {
    const FileSet &O = old_set, &N = new_set, &P = partial;
    constexpr int FOREVER = 1 << 30;
    const auto busy = [this](const char* name, int times) {
        return [=, this] { busy_moves_from(name, times); };
    };
    const auto busy_both = [this](int publishing, int restore) {
        return [=, this] {
            busy_moves_from("ai.new", publishing);
            busy_moves_from("ai.old", restore);
        };
    };
    constexpr std::uint32_t PUBLISH = PUBLISHING_RENAME_PATIENCE_MS, ASIDE = ASIDE_RENAME_PATIENCE_MS;
    static_assert(PUBLISH == 5000 && ASIDE == 1000 && RENAME_FIRST_WAIT_MS == 50 &&
                  RENAME_LONGEST_WAIT_MS == 500);
    // Waits 50, 100, 200, 400, then 500 each, the last cut to the patience: 14 tries in 5 s, 6 in 1 s.
    // clang-format off
    const std::vector<Case> cases = {
        // what                                       before      after        windows renames, fault, waited
        {"publishing rename busy twice",              {O},        {N},         1, 1 + 3,  busy("ai.new", 2), 150},
        {"first publishing rename busy twice",        {},         {N},         1, 3,      busy("ai.new", 2), 150},
        {"publishing rename busy for good",           {O},        {O},         1, 1 + 14 + 1, busy("ai.new", FOREVER), PUBLISH},
        {"... and the restore busy twice",            {O},        {O},         1, 1 + 14 + 3, busy_both(FOREVER, 2), PUBLISH + 150},
        {"... and the restore busy for good",         {O},        {{}, {}, O}, 1, 1 + 14 + 6, busy_both(FOREVER, FOREVER), PUBLISH + ASIDE},
        {"live set busy twice when moved aside",      {O},        {N},         1, 3 + 1,  busy("ai", 2), 150},
        {"live set busy for good (a DLL in use)",     {O},        {O},         0, 6,      busy("ai", FOREVER), ASIDE},
        {"interrupted rotation, restore busy twice",  {{}, P, N}, {N, P},      0, 3,      busy("ai.old", 2), 150},
        {"interrupted rotation, restore busy for good", {{}, {}, O}, {N},      1, 6 + 1,  busy("ai.old", FOREVER), ASIDE},
    };
    // clang-format on
    for (const Case& c : cases)
        run(c);

    run(cases[6]); // the move aside, before the window opens: plain doubling waits
    std::vector<std::uint32_t> aside_waits;
    for (const Wait& wait : waits) {
        EXPECT_FALSE(wait.window_shown);
        aside_waits.push_back(wait.milliseconds);
    }
    EXPECT_EQ(aside_waits, (std::vector<std::uint32_t>{50, 100, 200, 400, 250}));

    run(cases[2]); // the publishing rename: the window stays up and handles its messages
    ASSERT_FALSE(waits.empty());
    for (std::size_t i = 0; i < waits.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(waits[i].window_shown);
        EXPECT_LE(waits[i].milliseconds, WINDOW_PUMP_INTERVAL_MS);
        if (i > 0) {
            EXPECT_GT(waits[i].pumps_before, waits[i - 1].pumps_before)
                << "no messages handled between waits";
        }
    }
}

#ifdef _WIN32
// Every staged file and the marker are written out, closed and flushed before the publishing
// rename, with one full flush for all where Windows can write files out without one, and a full
// flush each where it cannot. Closes of 5 ms (a scanner's) run on the closer threads, together.
TEST_F(ToolRotation, WindowsWritesOutEveryStagedFileAndFlushesOnceBeforeThePublishingRename) {
    const std::string staged(NEW_TOOLS.size() + 1, 'w');
    for (const auto& [write_out, expected] : {std::pair{WriteOut::done, staged + "FR"},
                                              {WriteOut::missing, std::string(staged.size(), 'F') + "R"},
                                              {WriteOut::refused, std::string(staged.size(), 'F') + "R"}}) {
        std::filesystem::remove_all(native("install"));
        write_host();
        DiskCallLog log(write_out, 5);
        fault::move_path = [&log](const std::u16string& from, const std::u16string& to) {
            log.mark('R');
            return backend::move_path(from, to);
        };
        refresh_tools(path("host.exe"), path("install"));
        EXPECT_EQ(slot("ai"), new_set);
        EXPECT_EQ(log.calls_but_closes(), expected);
        EXPECT_EQ(std::count(log.calls.begin(), log.calls.end(), 'c'), 4) << "each written file closed once";
        EXPECT_EQ(log.calls.back(), 'R') << "a handle closed after the rename";
        EXPECT_TRUE(log.overlapped);
    }
}
#endif

using DeleteTree = SandboxTest;

TEST_F(DeleteTree, RemovesTreesAndFilesAndSkipsTheShellForMissingPaths) {
    delete_tree(path("missing"));
    EXPECT_EQ(fault::calls.shell_delete, 0);
    write_native(native("file.txt"), bytes_of("x"));
    write_native(native("tree/a/b/c.bin"), pattern_bytes(100));
    std::filesystem::create_directories(native("tree/empty"));
    delete_tree(path("file.txt"));
    delete_tree(path("tree"));
    EXPECT_FALSE(std::filesystem::exists(native("file.txt")));
    EXPECT_FALSE(std::filesystem::exists(native("tree")));
}

// Links are removed, never entered; a file system mounted inside the tree is left alone.
TEST_F(DeleteTree, NeverFollowsSymbolicLinksNorLeavesItsFileSystem) {
    if (running_under_windows())
        GTEST_SKIP() << "symbolic links need privileges on Windows";
    write_native(native("outside/keep.txt"), bytes_of("keep"));
    write_native(native("tree/own.txt"), bytes_of("own"));
    std::filesystem::create_directory_symlink(native("outside"), native("tree/link"));
    std::filesystem::create_directory_symlink(native("outside"), native("top_link"));
    std::filesystem::create_directories(native("tree/deeper/mount"));
    const bool mounted =
        run_command("mount -t tmpfs kp_test " + quoted(native("tree/deeper/mount")) + " 2>/dev/null") == 0;
    if (mounted)
        write_native(native("tree/deeper/mount/other_file_system"), bytes_of("x"));
    delete_tree(path("tree"));
    delete_tree(path("top_link"));
    const bool mount_kept =
        !mounted || std::filesystem::exists(native("tree/deeper/mount/other_file_system"));
    if (mounted)
        run_command("umount " + quoted(native("tree/deeper/mount")));
    EXPECT_FALSE(std::filesystem::exists(native("tree/own.txt")));
    EXPECT_FALSE(std::filesystem::is_symlink(native("top_link")));
    EXPECT_EQ(read_native(native("outside/keep.txt")), bytes_of("keep"));
    EXPECT_TRUE(mount_kept) << "the deletion went into a mounted file system";
    if (!mounted)
        GTEST_SKIP() << "mounting a file system needs root";
}

} // namespace
} // namespace kp::test
