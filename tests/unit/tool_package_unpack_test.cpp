#include "platform/backend.hpp"
#include "support/sandbox.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_package_unpack.hpp"

#include <functional>
#include <map>
#include <optional>

namespace kp::test {
namespace {

constexpr std::uint64_t HOST_PREFIX = 100; // the stream starts after this many bytes of "executable"
constexpr std::uint32_t C = COPY_BUFFER_SIZE;
constexpr std::uint64_t A_BIN_HEAD = 12 + 10; // the header of an entry named "a.bin"

// Every file (with its content, if asked) and directory (ending in '/') under root, with '/' separators.
using Tree = std::map<std::string, Bytes>;
Tree tree_of(const std::filesystem::path& root, bool contents = true) {
    Tree tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        tree[item.path().lexically_relative(root).generic_string() + (item.is_directory() ? "/" : "")] =
            contents && !item.is_directory() ? read_native(item.path()) : Bytes{};
    return tree;
}

const auto stream_of = &pack::build_entry_stream;
const auto identifier_of = [](const Bytes& s) { return utf8_to_utf16(pack::package_identifier(s)); };

// The progress reports and drains after chunks that end at these stream offsets.
std::vector<std::string> reports(const Bytes& stream, std::vector<std::uint64_t> consumed) {
    std::vector<std::string> events;
    for (std::uint64_t offset : consumed)
        events.insert(events.end(), {"p" + std::to_string(offset * 1000 / stream.size()), "m"});
    return events;
}

struct Case {
    std::string what;
    Bytes stream;
    bool result;
    Tree staged;
    std::function<void()> arrange = {};
    std::u16string id = {}; // empty: the stream's own identifier
    std::optional<std::vector<std::string>> events = {};
};

class ToolUnpack : public SandboxTest {
  protected:
    // Unpacks host.exe (prefix, stream, bytes after it) into a fresh staging directory; checks the
    // result, what staging holds, the progress events, and that nothing appeared anywhere else.
    void run(const Case& c) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(native("install"));
        std::filesystem::create_directories(native("install/ai.new"));
        std::filesystem::create_directories(native("install/deep/deeper"));
        fault::reset();
        std::vector<std::string> events;
        fault::set_progress_permille = [&](std::uint32_t v) { events.push_back("p" + std::to_string(v)); };
        fault::pump_messages = [&] { events.push_back("m"); };
        if (c.arrange)
            c.arrange();
        Bytes host = pattern_bytes(HOST_PREFIX, 7);
        host.insert(host.end(), c.stream.begin(), c.stream.end());
        host.resize(host.size() + 64, 0xEE);
        write_native(native("host.exe"), host);
        const FileHandle file = backend::open_file_for_streaming(path("host.exe"));
        const ToolPackageTrailer trailer{HOST_PREFIX, c.stream.size(),
                                         c.id.empty() ? identifier_of(c.stream) : c.id};
        EXPECT_EQ(unpack_tool_package(file, trailer, path("install/ai.new")), c.result);
#ifdef _WIN32
        backend::flush_tree(path("install/ai.new")); // as the publish does: written files let go first
#endif
        EXPECT_EQ(tree_of(native("install/ai.new")), c.staged);
        EXPECT_EQ(events, c.events.value_or(events));
        Tree outside = tree_of(root(), false);
        std::erase_if(outside, [](const auto& item) { return item.first.starts_with("install/ai.new/"); });
        outside.erase("host.exe");
        EXPECT_EQ(outside, (Tree{{"install/", {}}, {"install/deep/", {}}, {"install/deep/deeper/", {}}}));
    }
};

// Entries that fit the format, some unpacked, some refused when written or verified.
TEST_F(ToolUnpack, EachPackageLeavesItsResultAndWhatTheStagingDirectoryHolds) {
    // clang-format off
    const Bytes big = pattern_bytes(C + 1000, 10), x = bytes_of("x");
    const Bytes layout = stream_of({{u"models\\a", x}, {u"twice", bytes_of("earlier, longer")}, {u"twice", x},
        {u"empty", {}}});
    const Tree laid_out = {{"models/", {}}, {"models/a", x}, {"twice", x}, {"empty", {}}};
    // clang-format on
    std::u16string upper = identifier_of(layout);
    for (char16_t& unit : upper)
        unit = unit >= u'a' && unit <= u'f' ? unit - u'a' + u'A' : unit;
    Bytes tampered = stream_of({{u"a", bytes_of("aa")}, {u"b", bytes_of("bb")}});
    const std::u16string tampered_id = identifier_of(tampered);
    tampered.back() ^= 0x01;
    const Bytes exact = stream_of({{u"a.bin", pattern_bytes(C, 4)}});
    const Bytes over = stream_of({{u"a.bin", pattern_bytes(C + 1, 5)}, {u"z", {}}});
    const Bytes two = stream_of({{u"a.bin", big}, {u"b", x}});
    const auto hash_fails_third = [] {
        fault::hash_data = [fed = 0](auto&&...) mutable {
            EXPECT_LT(fed, 3) << "nothing is fed after a failure";
            return ++fed < 3;
        };
    };
    const auto no_provider = [] {
        fault::open_sha256_algorithm = [] { return HashAlgorithmHandle{}; };
        fault::read_file = [](auto&&...) { return ADD_FAILURE() << "an entry was read", false; };
    };
    // The longest name is more than a file system takes in one component: it is created as "long".
    const auto as_long = [to = path("install/ai.new/" + std::string(1023, 'n')),
                          as = path("install/ai.new/long")] {
        fault::create_file_for_writing = [=](const std::u16string& target) {
            return backend::create_file_for_writing(target != to ? target : as);
        };
    };
    const auto second_write_short = [] {
        fault::write_file = [writes = 0](auto& file, auto buffer, std::uint32_t size, auto& done) mutable {
            return backend::write_file(file, buffer, ++writes == 2 ? size / 2 : size, done);
        };
    };

    // clang-format off
    std::vector<Case> cases = {
        {"one level, duplicates, empty", layout, true, laid_out},
        {"data of exactly one chunk", exact, true, {{"a.bin", pattern_bytes(C, 4)}}, {}, {},
         reports(exact, {exact.size()})},
        {"one byte more: two chunks, the first counting the header, none for the empty entry", over, true,
         {{"a.bin", pattern_bytes(C + 1, 5)}, {"z", {}}}, {}, {},
         reports(over, {A_BIN_HEAD + C, A_BIN_HEAD + C + 1})},
        {"two levels, the upper one missing", stream_of({{u"up\\low\\t", x}}), false, {}},
        {"target not created: trailing backslash", stream_of({{u"a", x}, {u"dir\\", x}}), false, {{"a", x}, {"dir/", {}}}},
        {"upper-case identifier", layout, false, laid_out, {}, upper},
        {"changed byte", tampered, false, {{"a", bytes_of("aa")}, {"b", bytes_of("bc")}}, {}, tampered_id},
        {"hash fails part way", two, false, {{"a.bin", big}, {"b", x}}, hash_fails_third, {},
         reports(two, {A_BIN_HEAD + C, A_BIN_HEAD + C + 1000, two.size()})},
        {"no hash provider", two, false, {}, no_provider},
        {"short write", two, false, {{"a.bin", Bytes(big.begin(), big.begin() + C + 500)}},
         second_write_short, {}, reports(two, {A_BIN_HEAD + C, A_BIN_HEAD + C + 1000})},
        {"the longest name", stream_of({{std::u16string(1023, u'n'), x}}), true, {{"long", x}}, as_long},
    };
    // clang-format on
    for (const Case& c : cases)
        run(c);
}

// An entry the reader refuses stops the unpack there, keeping what earlier entries wrote (every
// kind of refusal is a row of ToolPackageFormat's entry table); whatever a name holds, nothing
// lands outside the staging directory (run() checks the whole sandbox).
TEST_F(ToolUnpack, HostileEntriesNeverWriteOutsideTheStagingDirectory) {
    // clang-format off
    const char16_t* hostile_names[] = {u"..\\escape", u"a\\..\\..\\escape", u"C:\\escape", u"C:escape",
        u"\\\\host\\share\\x", u"a/../../escape", u"./../escape", u"NUL", u"con.txt", u"\\escape",
        u"COM1.log", u"lpt9", u"sub\\nul .dll", u"\\/escape", u"missing/file"};
    const Bytes x = bytes_of("x"), good = bytes_of("good");
    // A forward slash separates like a backslash, but only the level before the last backslash is made.
    const Case oddities = {"accepted oddities", stream_of({{u"/lead", x}, {u".\\dot", x}, {u"dir\\file", x},
        {u"dir/slash", x}, {u"dir/made\\in", x}}), true, {{"lead", x}, {"dot", x}, {"dir/", {}},
        {"dir/file", x}, {"dir/slash", x}, {"dir/made/", {}}, {"dir/made/in", x}}};
    // clang-format on
    run({"refused after a good entry", stream_of({{u"good", good}, {u"a..b", x}}), false, {{"good", good}}});
    for (const char16_t* name : hostile_names)
        run({utf16_to_utf8(name), stream_of({{name, bytes_of("payload")}}), false, {}});
    run(oddities);
}

} // namespace
} // namespace kp::test
