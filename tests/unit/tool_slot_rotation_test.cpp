#include "platform/backend.hpp"
#include "support/disk_call_log.hpp"
#include "support/sandbox.hpp"
#include "support/tool_sets.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <gmock/gmock.h>

#include <functional>
#include <numeric>

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
    bool operator==(const Slots&) const = default;
};

struct Case {
    std::string what;
    Slots before, after;
    // Progress windows opened (and closed); move_path calls, failed ones included.
    int windows = 0, renames = 0;
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
    // The renames from slot NAME are busy for their first TIMES tries, then go through (or fail
    // with LAST; with no busy try, a rename that fails for good); renames from other slots go on
    // as before.
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
        fault::open_progress_window = [this] {
            seen.tools_aside_at_open = !slot("ai") && slot("ai.new");
            return seen.window;
        };
        fault::close_progress_window = [this](WindowHandle frame) { EXPECT_EQ(frame, seen.window); };
        fault::pump_messages = [this] { ++seen.pumps; };
        fault::sleep_ms = [this](std::uint32_t milliseconds) {
            seen.waits.push_back(milliseconds);
            const bool window_up = fault::calls.open_progress_window > fault::calls.close_progress_window;
            seen.unpumped_waits += !window_up || seen.pumps == 0;
            seen.pumps = 0;
        };
        fault::free_bytes_available = [this](const std::u16string& dir, std::uint64_t& bytes) {
            EXPECT_EQ(dir, path("install"));
            bytes = seen.free_bytes;
            return seen.free_bytes != 0;
        };
        seen = {};
        write_host();
        for (const auto& [name, set] :
             {std::pair{"ai", c.before.tools}, {"ai.new", c.before.staging}, {"ai.old", c.before.previous}})
            if (set)
                write_set(native("install/" + std::string(name)), *set);
        if (c.arrange)
            c.arrange();

        refresh_tools(path("host.exe"), path("install"));
        EXPECT_EQ((Slots{slot("ai"), slot("ai.new"), slot("ai.old")}), c.after);
        const auto& calls = fault::calls;
        EXPECT_EQ((std::array{calls.open_progress_window, calls.close_progress_window, calls.move_path}),
                  (std::array{c.windows, c.windows, c.renames}));
        EXPECT_EQ(std::accumulate(seen.waits.begin(), seen.waits.end(), 0u), c.waited_ms);
        // Files and marker flushed as they close, one wait for all before the publishing rename,
        // then the rename itself before the old set goes.
        if (c.windows != 0 && c.after.tools == N && !c.after.previous) {
            EXPECT_EQ((std::array{calls.start_flush, calls.flush_tree, calls.flush_directory}),
                      (std::array{static_cast<int>(NEW_TOOLS.size()) + 1, 1, 1}));
        }
        // The window opens once the live set is aside and staging made, and only then is anything written.
        EXPECT_EQ(seen.tools_aside_at_open, c.windows != 0);
        EXPECT_EQ(calls.create_file_for_writing != 0, c.windows != 0);
    }

    const std::uint64_t stream_size = pack::build_entry_stream(NEW_TOOLS).size();
    // The old set, the new set and a partial staging.
    const FileSet O = published(OLD_TOOLS), N = published(NEW_TOOLS), P = {{"partial.bin", bytes_of("p")}};
    // What one refresh met and saw; reset before each.
    struct {
        std::uint64_t free_bytes = std::uint64_t{1} << 40; // 0: the query fails
        WindowHandle window = 0x4242;
        bool tools_aside_at_open = false;
        std::vector<std::uint32_t> waits = {}; // milliseconds each
        // Waits without the window up or without a message handled since the last one.
        int pumps = 0, unpumped_waits = 0;
    } seen;
};

// Every state on disk is taken to the current set; every failure leaves a state the next run
// handles. Slots are {ai, ai.new, ai.old}: old set, new set, a partial staging, or absent.
TEST_F(ToolRotation, EveryStateOnDiskAndEveryFailureLeadToAStateTheNextRunHandles) {
    const auto remove_host = [this] { std::filesystem::remove(native("host.exe")); };
    const auto untrailed_host = [this] { write_native(native("host.exe"), pattern_bytes(4096, 5)); };
    const auto no_size = [] { fault::file_size = [](const FileHandle&, std::uint64_t&) { return false; }; };
    const auto fail_marker = [marker = slot_path("ai.new") + u"\\.kp_ai"] {
        fault::create_file_for_writing = [marker](const std::u16string& to) {
            return to == marker ? FileHandle{} : backend::create_file_for_writing(to);
        };
    };
    // Only a file's flush fails: the marker's, which goes through the same call, still passes.
    const auto fail_second_file_flush = [] {
        fault::start_flush = [flushes = 0](const FileHandle& file, std::uint64_t size) mutable {
            return ++flushes != 2 && backend::start_flush(file, size);
        };
    };
    const auto fail_tree_flush = [] { fault::flush_tree = [](auto&&) { return false; }; };
    const auto fail_directory_flush = [] { fault::flush_directory = [](auto&&) { return false; }; };
    // A marker that differs in any unit, or a missing probe, causes a full rotation.
    const std::u16string id = utf8_to_utf16(pack::package_identifier(pack::build_entry_stream(NEW_TOOLS)));
    std::u16string upper = id;
    std::ranges::transform(id, upper.begin(), [](char16_t unit) { return unit >= u'a' ? unit - 32 : unit; });
    const auto marker = [this](const Bytes& content) {
        return [=, this] { write_native(native("install/ai/.kp_ai"), content); };
    };
    const auto remove_probe = [this] { std::filesystem::remove(native("install/ai/onnxruntime.dll")); };
    // clang-format off
    const std::vector<Case> cases = {
        // what                                     before      after       windows renames, then the fault
        {"nothing yet, no install directory",       {},         {N},        1, 1},
        {"another package live",                    {O},        {N},        1, 2},
        {"current, staging left over",              {N, P},     {N, P},     0, 0},
        {"stopped after moving the current aside",  {{}, P, N}, {N, P},     0, 1},
        {"stopped after moving an older set aside", {{}, P, O}, {N},        1, 3},
        {"stopped after publishing",                {N, {}, O}, {N},        0, 0},
        {"no host image",                           {{}, P, O}, {{}, P, O}, 0, 0, remove_host},
        {"no trailer",                              {{}, P, O}, {{}, P, O}, 0, 0, untrailed_host},
        {"size unknown",                            {{}, P, O}, {{}, P, O}, 0, 0, no_size},
        {"previous not restored",                   {{}, {}, O}, {N},       1, 2, [this] { busy_moves_from("ai.old", 0, MoveResult::refused); }},
        {"one byte too little space",               {O, P},     {O},        0, 0, [this] { seen.free_bytes = stream_size + FREE_SPACE_MARGIN - 1; }},
        {"free-space query fails",                  {O, P},     {O},        0, 0, [this] { seen.free_bytes = 0; }},
        {"exactly enough space",                    {O},        {N},        1, 2, [this] { seen.free_bytes = stream_size + FREE_SPACE_MARGIN; }},
        {"live set not moved aside",                {O},        {O},        0, 1, [this] { busy_moves_from("ai", 0, MoveResult::refused); }},
        {"digest differs",                          {O},        {O},        1, 2, [this] { write_host(true); }},
        {"marker not written",                      {O},        {O},        1, 2, fail_marker},
        {"publishing rename fails",                 {O},        {O},        1, 3, [this] { busy_moves_from("ai.new", 0, MoveResult::refused); }},
        {"a staged file's flush fails",             {O},        {O},        1, 2, fail_second_file_flush},
        {"the staging flush fails",                 {O},        {O},        1, 2, fail_tree_flush},
        {"the rename is not flushed",               {O},        {N, {}, O}, 1, 2, fail_directory_flush},
        {"first unpack fails",                      {},         {},         1, 0, [this] { write_host(true); }},
        {"no progress window",                      {},         {N},        1, 1, [this] { seen.window = 0; }},
        {"marker with a byte-order mark",           {N},        {N},        1, 2, marker(utf16le_bytes(u"\uFEFF" + id))},
        {"marker with a line end",                  {N},        {N},        1, 2, marker(utf16le_bytes(id + u"\r\n"))},
        {"marker in upper case",                    {N},        {N},        1, 2, marker(utf16le_bytes(upper))},
        {"marker in UTF-8",                         {N},        {N},        1, 2, marker(bytes_of(utf16_to_utf8(id)))},
        {"probe missing",                           {N},        {N},        1, 2, remove_probe},
    };
    // clang-format on
    for (const Case& c : cases)
        run(c);
}

// A rename that fails in a way that may pass (a virus scanner reading a new DLL) is tried again
// with growing waits until its patience is spent; past the last try each failure row holds as
// it did. One that cannot pass is tried once: every case of the other tables checks no wait.
TEST_F(ToolRotation, BusyRenamesAreTriedAgainWithinTheirPatience) {
    constexpr int FOREVER = 1 << 30;
    // The renames from each slot named are busy so many times.
    const auto busy = [this](std::vector<std::pair<const char*, int>> slots) {
        return [=, this] {
            for (const auto& [name, times] : slots)
                busy_moves_from(name, times);
        };
    };
    constexpr std::uint32_t PUBLISH = PUBLISHING_RENAME_PATIENCE_MS, ASIDE = ASIDE_RENAME_PATIENCE_MS;
    // Waits 50, 100, 200, 400, then 500 each, the last cut to the patience: 14 tries in 5 s, 6 in 1 s.
    // clang-format off
    const std::vector<Case> cases = {
        // what                                       before      after        windows renames, fault, waited
        {"publishing rename busy twice",              {O},        {N},         1, 1 + 3,  busy({{"ai.new", 2}}), 150},
        {"publishing rename busy for good",           {O},        {O},         1, 1 + 14 + 1, busy({{"ai.new", FOREVER}}), PUBLISH},
        {"... and the restore busy twice",            {O},        {O},         1, 1 + 14 + 3, busy({{"ai.new", FOREVER}, {"ai.old", 2}}), PUBLISH + 150},
        {"... and the restore busy for good",         {O},        {{}, {}, O}, 1, 1 + 14 + 6, busy({{"ai.new", FOREVER}, {"ai.old", FOREVER}}), PUBLISH + ASIDE},
        {"live set busy twice when moved aside",      {O},        {N},         1, 3 + 1,  busy({{"ai", 2}}), 150},
        {"live set busy for good (a DLL in use)",     {O},        {O},         0, 6,      busy({{"ai", FOREVER}}), ASIDE},
        {"interrupted rotation, restore busy twice",  {{}, P, N}, {N, P},      0, 3,      busy({{"ai.old", 2}}), 150},
        {"interrupted rotation, restore busy for good", {{}, {}, O}, {N},      1, 6 + 1,  busy({{"ai.old", FOREVER}}), ASIDE},
    };
    // clang-format on
    for (const Case& c : cases)
        run(c);

    run(cases[5]); // the move aside, before the window opens: plain doubling waits
    EXPECT_THAT(seen.waits, testing::ElementsAre(50, 100, 200, 400, 250));
    run(cases[1]); // the publishing rename: the window stays up and handles messages between waits
    EXPECT_THAT(seen.waits, testing::Each(testing::Le(WINDOW_PUMP_INTERVAL_MS)));
    EXPECT_EQ(seen.unpumped_waits, 0);
}

#ifdef _WIN32
// Every staged file and the marker are written out, closed and flushed before the publishing
// rename, with one full flush for all where Windows can write files out without one, and a full
// flush each where it cannot. Closes of 5 ms (a scanner's) run on the closer threads, together.
TEST_F(ToolRotation, WindowsWritesOutEveryStagedFileAndFlushesOnceBeforeThePublishingRename) {
    // Three files and the marker, each written out ('w') then one full flush ('F'), or a full flush each.
    for (const auto& [write_out, expected] :
         {std::pair{WriteOut::done, "wwwwFR"}, {WriteOut::missing, "FFFFR"}, {WriteOut::refused, "FFFFR"}}) {
        std::filesystem::remove_all(native("install"));
        write_host();
        DiskCallLog log(write_out, 5);
        fault::move_path = [&log](const std::u16string& from, const std::u16string& to) {
            log.mark('R');
            return backend::move_path(from, to);
        };
        refresh_tools(path("host.exe"), path("install"));
        EXPECT_EQ(slot("ai"), N);
        EXPECT_EQ(log.calls_but_closes(), expected);
        EXPECT_EQ(std::ranges::count(log.calls, 'c'), 4); // each written file closed once, before the rename
        EXPECT_THAT(log.calls, testing::EndsWith("R"));
        EXPECT_TRUE(log.overlapped);
    }
}
#endif

using DeleteTree = SandboxTest;

// A missing path never reaches the shell; files and trees go. Links are removed, never entered; a
// file system mounted inside the tree is left alone (on POSIX: links need privileges on Windows).
TEST_F(DeleteTree, RemovesTreesButNeverFollowsLinksNorLeavesItsFileSystem) {
    delete_tree(path("missing"));
    EXPECT_EQ(fault::calls.shell_delete, 0);
    write_native(native("file.txt"), bytes_of("x"));
    write_native(native("tree/a/b/c.bin"), pattern_bytes(100));
    write_native(native("outside/keep.txt"), bytes_of("keep"));
    const std::string mount_point = quoted(native("tree/deeper/mount"));
    bool mounted = false;
    if (!running_under_windows()) {
        std::filesystem::create_directory_symlink(native("outside"), native("tree/link"));
        std::filesystem::create_directory_symlink(native("outside"), native("top_link"));
        std::filesystem::create_directories(native("tree/deeper/mount"));
        mounted = run_command("mount -t tmpfs kp_test " + mount_point + " 2>/dev/null") == 0;
        if (mounted)
            write_native(native("tree/deeper/mount/other_file_system"), bytes_of("x"));
        delete_tree(path("top_link"));
    }
    delete_tree(path("file.txt"));
    delete_tree(path("tree"));
    const bool mount_kept = std::filesystem::exists(native("tree/deeper/mount/other_file_system"));
    if (mounted)
        run_command("umount " + mount_point);
    EXPECT_EQ(mount_kept, mounted) << "the deletion went into a mounted file system";
    EXPECT_EQ(std::filesystem::exists(native("tree")), mounted); // a mount point in use stays
    EXPECT_FALSE(std::filesystem::exists(native("file.txt")) || std::filesystem::exists(native("tree/a")));
    EXPECT_FALSE(std::filesystem::is_symlink(native("top_link")));
    EXPECT_EQ(read_native(native("outside/keep.txt")), bytes_of("keep"));
    if (!mounted && !running_under_windows())
        GTEST_SKIP() << "mounting a file system needs root";
}

} // namespace
} // namespace kp::test
