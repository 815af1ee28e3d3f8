#include "common/file_io.hpp"
#include "platform/backend.hpp"
#include "support/sandbox.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <algorithm>
#include <functional>
#include <map>

namespace kp::test {
namespace {

using FileSet = std::map<std::string, Bytes>; // relative name with '/' separators -> content

const std::vector<pack::ToolFile> OLD_TOOLS = {{u"onnxruntime.dll", bytes_of("old runtime")},
                                               {u"models\\old.bin", pattern_bytes(700, 1)},
                                               {u"only_old.txt", bytes_of("gone after a rotation")}};
const std::vector<pack::ToolFile> NEW_TOOLS = {{u"onnxruntime.dll", bytes_of("new runtime")},
                                               {u"models\\new.bin", pattern_bytes(900, 2)},
                                               {u"models\\vision\\v.bin", pattern_bytes(50, 3)}};

std::string identifier_of(const std::vector<pack::ToolFile>& tools) {
    return pack::package_identifier(pack::build_entry_stream(tools));
}

// The set as it stands on disk once published: the files and the marker's UTF-16LE identifier.
FileSet published(const std::vector<pack::ToolFile>& tools, const std::string& marker_text) {
    FileSet set;
    for (const auto& tool : tools) {
        std::string name = utf16_to_utf8(tool.name);
        std::replace(name.begin(), name.end(), '\\', '/');
        set[name] = tool.data;
    }
    set[".kp_ai"] = utf16le_bytes(utf8_to_utf16(marker_text));
    return set;
}

FileSet files_under(const std::filesystem::path& root) {
    FileSet set;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        if (item.is_regular_file())
            set[std::filesystem::relative(item.path(), root).generic_string()] = read_native(item.path());
    return set;
}

void write_set(const std::filesystem::path& root, const FileSet& set) {
    std::filesystem::create_directories(root);
    for (const auto& [name, content] : set)
        write_native(root / name, content);
}

class ToolRotation : public SandboxTest {
  public:
    void SetUp() override {
        SandboxTest::SetUp();
        fault::open_progress_window = [this] {
            window_opened_with_tools_aside = !kp::exists(tools()) && kp::exists(staging());
            return WindowHandle{0x4242};
        };
        fault::close_progress_window = [](WindowHandle frame) { EXPECT_EQ(frame, WindowHandle{0x4242}); };
        fault::set_progress_permille = [](std::uint32_t) {};
        fault::pump_messages = [] {};
        fault::free_bytes_available = [](const std::u16string&, std::uint64_t& bytes) {
            bytes = std::uint64_t{1} << 40;
            return true;
        };
        std::filesystem::create_directories(native("install"));
    }

    void write_host(const std::vector<pack::ToolFile>& tools) {
        write_native(native("host.exe"), pack::append_tool_package(pattern_bytes(512, 9), tools));
    }
    void write_host_with_wrong_id(const std::vector<pack::ToolFile>& tools) {
        const Bytes stream = pack::build_entry_stream(tools);
        Bytes host = pattern_bytes(512, 9);
        host.insert(host.end(), stream.begin(), stream.end());
        const Bytes trailer = pack::build_trailer(512, stream.size(), identifier_of({{u"other", {}}}));
        host.insert(host.end(), trailer.begin(), trailer.end());
        write_native(native("host.exe"), host);
    }
    void refresh() { refresh_tools(path("host.exe"), path("install")); }

    std::u16string tools() const { return path("install/ai"); }
    std::u16string staging() const { return path("install/ai.new"); }
    std::u16string previous() const { return path("install/ai.old"); }
    // Slot contents; an absent slot reads as an empty set.
    FileSet slot(const std::string& name) const {
        return std::filesystem::exists(native("install/" + name)) ? files_under(native("install/" + name))
                                                                  : FileSet{};
    }
    bool slot_exists(const std::string& name) const {
        return std::filesystem::exists(native("install/" + name));
    }

    const FileSet old_set = published(OLD_TOOLS, identifier_of(OLD_TOOLS));
    const FileSet new_set = published(NEW_TOOLS, identifier_of(NEW_TOOLS));
    bool window_opened_with_tools_aside = false;
};

TEST_F(ToolRotation, AFirstUnpackPublishesTheStagingDirectoryWithItsMarker) {
    write_host(NEW_TOOLS);
    std::filesystem::remove(native("install"));
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_FALSE(slot_exists("ai.new"));
    EXPECT_FALSE(slot_exists("ai.old"));
    EXPECT_EQ(fault::calls.open_progress_window, 1);
    EXPECT_EQ(fault::calls.close_progress_window, 1);
    EXPECT_TRUE(window_opened_with_tools_aside);
}

TEST_F(ToolRotation, ANewPackageReplacesTheLiveSetWhole) {
    write_host(NEW_TOOLS);
    write_set(native("install/ai"), old_set);
    refresh();
    EXPECT_EQ(slot("ai"), new_set) << "files only the old set had are gone";
    EXPECT_FALSE(slot_exists("ai.new"));
    EXPECT_FALSE(slot_exists("ai.old"));
    EXPECT_TRUE(window_opened_with_tools_aside);
}

TEST_F(ToolRotation, ACurrentSetOpensNoWindowAndWritesNothingEvenWithAStagingLeftover) {
    write_host(NEW_TOOLS);
    write_set(native("install/ai"), new_set);
    write_set(native("install/ai.new"), {{"half.bin", bytes_of("left over")}});
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_EQ(slot("ai.new"), (FileSet{{"half.bin", bytes_of("left over")}})) << "not looked at";
    EXPECT_EQ(fault::calls.open_progress_window, 0);
    EXPECT_EQ(fault::calls.create_file_for_writing, 0);
    EXPECT_EQ(fault::calls.move_path, 0);
}

TEST_F(ToolRotation, AMarkerThatDiffersInAnyUnitOrAMissingProbeCausesAFullRotation) {
    write_host(NEW_TOOLS);
    const std::u16string id = utf8_to_utf16(identifier_of(NEW_TOOLS));
    std::u16string upper = id;
    for (char16_t& unit : upper)
        unit = unit >= u'a' && unit <= u'f' ? unit - u'a' + u'A' : unit;
    const std::vector<std::pair<std::string, Bytes>> markers = {
        {"byte-order mark", utf16le_bytes(u"\uFEFF" + id)},
        {"line end", utf16le_bytes(id + u"\r\n")},
        {"upper case", utf16le_bytes(upper)},
        {"UTF-8", bytes_of(identifier_of(NEW_TOOLS))}};
    for (const auto& [what, marker] : markers) {
        std::filesystem::remove_all(native("install/ai"));
        FileSet stale = new_set;
        stale[".kp_ai"] = marker;
        stale["stale.txt"] = bytes_of("x");
        write_set(native("install/ai"), stale);
        refresh();
        EXPECT_EQ(slot("ai"), new_set) << what;
        EXPECT_EQ(slot("ai").at(".kp_ai").size(), 64u) << what;
    }

    std::filesystem::remove_all(native("install/ai"));
    FileSet without_probe = new_set;
    without_probe.erase("onnxruntime.dll");
    write_set(native("install/ai"), without_probe);
    fault::calls = {};
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_EQ(fault::calls.open_progress_window, 1);
}

TEST_F(ToolRotation, AnInterruptedRotationIsRepairedBeforeTheDecision) {
    // Stopped after the live set was moved aside: it comes back, and being current, stays.
    write_host(NEW_TOOLS);
    write_set(native("install/ai.old"), new_set);
    write_set(native("install/ai.new"), {{"partial.bin", bytes_of("p")}});
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_FALSE(slot_exists("ai.old"));
    EXPECT_EQ(fault::calls.open_progress_window, 0);

    // The same with an older set aside: back, then rotated; the partial staging is replaced.
    std::filesystem::remove_all(native("install"));
    write_set(native("install/ai.old"), old_set);
    write_set(native("install/ai.new"), {{"partial.bin", bytes_of("p")}});
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_FALSE(slot_exists("ai.new"));
    EXPECT_FALSE(slot_exists("ai.old"));

    // Stopped after publishing: the previous set is deleted and the new one is current.
    write_set(native("install/ai.old"), old_set);
    fault::calls = {};
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_FALSE(slot_exists("ai.old"));
    EXPECT_EQ(fault::calls.open_progress_window, 0);
}

TEST_F(ToolRotation, WithoutAUsablePackageTheInstallDirectoryIsUntouched) {
    write_set(native("install/ai.old"), old_set);
    write_set(native("install/ai.new"), {{"partial.bin", bytes_of("p")}});
    const FileSet before = files_under(native("install"));

    refresh(); // no host image at all
    write_native(native("host.exe"), pattern_bytes(4096, 5));
    refresh(); // a host image without a trailer
    write_host(NEW_TOOLS);
    fault::file_size = [](const FileHandle&, std::uint64_t&) { return false; };
    refresh(); // its size cannot be taken

    EXPECT_EQ(files_under(native("install")), before);
    EXPECT_FALSE(slot_exists("ai"));
    EXPECT_EQ(fault::calls.open_progress_window, 0);
}

TEST_F(ToolRotation, AFailedRestoreOfThePreviousSetStillEndsWithTheNewSet) {
    write_host(NEW_TOOLS);
    write_set(native("install/ai.old"), old_set);
    const std::u16string aside = previous();
    fault::move_path = [aside](const std::u16string& from, const std::u16string& to) {
        return from != aside && backend::move_path(from, to);
    };
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_FALSE(slot_exists("ai.old"));
}

TEST_F(ToolRotation, TheFreeSpaceBoundaryIsThePackageSizePlusTheMargin) {
    write_host(NEW_TOOLS);
    const std::uint64_t package_size = pack::build_entry_stream(NEW_TOOLS).size();
    std::uint64_t reported = 0;
    fault::free_bytes_available = [&reported](const std::u16string&, std::uint64_t& bytes) {
        bytes = reported;
        return true;
    };

    // One byte short: the stale set stays live, the leftovers are already gone, no window.
    reported = package_size + FREE_SPACE_MARGIN - 1;
    write_set(native("install/ai"), old_set);
    write_set(native("install/ai.new"), {{"partial.bin", bytes_of("p")}});
    refresh();
    EXPECT_EQ(slot("ai"), old_set);
    EXPECT_FALSE(slot_exists("ai.new"));
    EXPECT_EQ(fault::calls.move_path, 0);
    EXPECT_EQ(fault::calls.open_progress_window, 0);

    // A failed query behaves the same.
    fault::free_bytes_available = [](const std::u16string&, std::uint64_t&) { return false; };
    refresh();
    EXPECT_EQ(slot("ai"), old_set);
    EXPECT_EQ(fault::calls.move_path, 0);

    // Exactly enough passes.
    fault::free_bytes_available = [&reported](const std::u16string&, std::uint64_t& bytes) {
        bytes = reported;
        return true;
    };
    reported = package_size + FREE_SPACE_MARGIN;
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
    EXPECT_EQ(fault::calls.open_progress_window, 1);
}

TEST_F(ToolRotation, ALiveSetThatCannotBeMovedAsideStaysLiveWithoutAWindow) {
    write_host(NEW_TOOLS);
    write_set(native("install/ai"), old_set);
    const std::u16string live = tools();
    fault::move_path = [live](const std::u16string& from, const std::u16string& to) {
        return from != live && backend::move_path(from, to);
    };
    refresh();
    EXPECT_EQ(slot("ai"), old_set);
    EXPECT_FALSE(slot_exists("ai.new"));
    EXPECT_FALSE(slot_exists("ai.old"));
    EXPECT_EQ(fault::calls.open_progress_window, 0);
}

TEST_F(ToolRotation, EveryFailureAfterTheMoveAsideBringsTheOldSetBack) {
    struct Case {
        std::string what;
        std::function<void(ToolRotation&)> arrange;
    };
    const std::vector<Case> cases = {
        {"digest differs", [](ToolRotation& t) { t.write_host_with_wrong_id(NEW_TOOLS); }},
        {"marker not written",
         [](ToolRotation& t) {
             t.write_host(NEW_TOOLS);
             const std::u16string marker = t.staging() + u"\\.kp_ai";
             fault::create_file_for_writing = [marker](const std::u16string& target) {
                 return target == marker ? FileHandle{} : backend::create_file_for_writing(target);
             };
         }},
        {"publishing rename fails",
         [](ToolRotation& t) {
             t.write_host(NEW_TOOLS);
             const std::u16string staged = t.staging();
             fault::move_path = [staged](const std::u16string& from, const std::u16string& to) {
                 return from != staged && backend::move_path(from, to);
             };
         }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(native("install"));
        write_set(native("install/ai"), old_set);
        fault::create_file_for_writing = nullptr;
        fault::move_path = nullptr;
        fault::calls = {};
        c.arrange(*this);
        refresh();
        EXPECT_EQ(slot("ai"), old_set) << c.what;
        EXPECT_FALSE(slot_exists("ai.new")) << c.what;
        EXPECT_FALSE(slot_exists("ai.old")) << c.what;
        EXPECT_EQ(fault::calls.open_progress_window, 1) << c.what;
        EXPECT_EQ(fault::calls.close_progress_window, 1) << c.what;
    }
}

TEST_F(ToolRotation, AFailedFirstUnpackLeavesNoSlotsAndAMissingWindowChangesNothing) {
    write_host_with_wrong_id(NEW_TOOLS);
    refresh();
    EXPECT_FALSE(slot_exists("ai"));
    EXPECT_FALSE(slot_exists("ai.new"));
    EXPECT_FALSE(slot_exists("ai.old"));

    fault::open_progress_window = [] { return WindowHandle{}; };
    fault::close_progress_window = [](WindowHandle) {};
    write_host(NEW_TOOLS);
    refresh();
    EXPECT_EQ(slot("ai"), new_set);
}

using DeleteTree = SandboxTest;

TEST_F(DeleteTree, RemovesTreesAndFilesAndSkipsTheShellForMissingPaths) {
    delete_tree(path("missing"));
    EXPECT_EQ(fault::calls.shell_delete, 0);

    write_native(native("file.txt"), bytes_of("x"));
    delete_tree(path("file.txt"));
    EXPECT_FALSE(std::filesystem::exists(native("file.txt")));

    write_native(native("tree/a/b/c.bin"), pattern_bytes(100));
    write_native(native("tree/d.txt"), bytes_of("d"));
    std::filesystem::create_directories(native("tree/empty"));
    delete_tree(path("tree"));
    EXPECT_FALSE(std::filesystem::exists(native("tree")));
    EXPECT_EQ(fault::calls.shell_delete, 2);
}

TEST_F(DeleteTree, NeverFollowsSymbolicLinks) {
    if (running_under_windows())
        GTEST_SKIP() << "symbolic links need privileges on Windows";
    write_native(native("outside/keep.txt"), bytes_of("keep"));
    write_native(native("tree/own.txt"), bytes_of("own"));
    std::filesystem::create_directory_symlink(native("outside"), native("tree/link"));
    std::filesystem::create_directory_symlink(native("outside"), native("top_link"));
    delete_tree(path("tree"));
    delete_tree(path("top_link"));
    EXPECT_FALSE(std::filesystem::exists(native("tree")));
    EXPECT_FALSE(std::filesystem::is_symlink(native("top_link")));
    EXPECT_EQ(read_native(native("outside/keep.txt")), bytes_of("keep"));
}

} // namespace
} // namespace kp::test
