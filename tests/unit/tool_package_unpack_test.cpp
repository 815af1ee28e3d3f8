#include "platform/backend.hpp"
#include "support/sandbox.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_package_unpack.hpp"

#include <set>

namespace kp::test {
namespace {

constexpr std::uint64_t HOST_PREFIX = 100; // the stream starts after this many bytes of "executable"

void append_raw_entry(Bytes& stream, std::uint32_t name_size, const Bytes& name, std::uint64_t data_size,
                      const Bytes& data) {
    for (int i = 0; i < 4; ++i)
        stream.push_back(static_cast<std::uint8_t>(name_size >> (8 * i)));
    stream.insert(stream.end(), name.begin(), name.end());
    for (int i = 0; i < 8; ++i)
        stream.push_back(static_cast<std::uint8_t>(data_size >> (8 * i)));
    stream.insert(stream.end(), data.begin(), data.end());
}

Bytes stream_of(const std::vector<pack::ToolFile>& files) {
    return pack::build_entry_stream(files);
}

std::u16string identifier_of(const Bytes& stream) {
    return utf8_to_utf16(pack::package_identifier(stream));
}

// Every file and directory under root, relative, with '/' separators.
std::set<std::string> tree_of(const std::filesystem::path& root) {
    std::set<std::string> entries;
    if (!std::filesystem::exists(root))
        return entries;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        entries.insert(std::filesystem::relative(item.path(), root).generic_string() +
                       (item.is_directory() ? "/" : ""));
    return entries;
}

class ToolUnpack : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::filesystem::create_directories(native("install/ai.new"));
        fault::set_progress_permille = [this](std::uint32_t value) {
            events.push_back("p" + std::to_string(value));
        };
        fault::pump_messages = [this] { events.push_back("m"); };
    }

    // Writes host.exe (prefix, stream, some bytes after it) and unpacks it with the given id.
    bool unpack(const Bytes& stream, std::u16string id) {
        Bytes host = pattern_bytes(HOST_PREFIX, 7);
        host.insert(host.end(), stream.begin(), stream.end());
        host.resize(host.size() + 64, 0xEE);
        write_native(native("host.exe"), host);
        const FileHandle file = sys::open_file_for_streaming(path("host.exe"));
        EXPECT_TRUE(file);
        const ToolPackageTrailer trailer{HOST_PREFIX, stream.size(), std::move(id)};
        return unpack_tool_package(file, trailer, path("install/ai.new"));
    }
    bool unpack(const Bytes& stream) { return unpack(stream, identifier_of(stream)); }

    std::set<std::string> staged() const { return tree_of(native("install/ai.new")); }
    Bytes staged_file(const std::string& name) const { return read_native(native("install/ai.new/" + name)); }

    std::vector<std::string> events;
};

TEST_F(ToolUnpack, WritesBareAndOneLevelNamesAndLaterDuplicatesWin) {
    const Bytes first = pattern_bytes(3000, 1);
    const Bytes second = pattern_bytes(10, 2);
    const Bytes stream = stream_of({{u"onnxruntime.dll", first},
                                    {u"models\\a.bin", pattern_bytes(5, 3)},
                                    {u"models\\deep\\b.bin", bytes_of("deep")},
                                    {u"twice.txt", bytes_of("earlier, longer content")},
                                    {u"twice.txt", second},
                                    {u"empty", {}}});
    ASSERT_TRUE(unpack(stream));
    EXPECT_EQ(staged(), (std::set<std::string>{"onnxruntime.dll", "models/", "models/a.bin", "models/deep/",
                                               "models/deep/b.bin", "twice.txt", "empty"}));
    EXPECT_EQ(staged_file("onnxruntime.dll"), first);
    EXPECT_EQ(staged_file("models/deep/b.bin"), bytes_of("deep"));
    EXPECT_EQ(staged_file("twice.txt"), second);
    EXPECT_TRUE(staged_file("empty").empty());
}

TEST_F(ToolUnpack, ASingleEmptyEntryReportsNoProgressAndTheIdentifierAloneDecides) {
    const Bytes stream = stream_of({{u"empty.dat", {}}});
    EXPECT_TRUE(unpack(stream));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(staged(), std::set<std::string>{"empty.dat"});

    std::u16string wrong = identifier_of(stream);
    wrong[0] = wrong[0] == u'0' ? u'1' : u'0';
    EXPECT_FALSE(unpack(stream, wrong));
    EXPECT_EQ(staged(), std::set<std::string>{"empty.dat"});
}

TEST_F(ToolUnpack, ChunksAreAtMostFourMebibytesEachFollowedByOneReportAndOneDrain) {
    const std::uint64_t header = 12 + 2 * 5; // "a.bin"
    const Bytes exact = stream_of({{u"a.bin", pattern_bytes(COPY_BUFFER_SIZE, 4)}});
    ASSERT_TRUE(unpack(exact));
    EXPECT_EQ(events, (std::vector<std::string>{"p1000", "m"}));

    events.clear();
    const Bytes data = pattern_bytes(COPY_BUFFER_SIZE + 1, 5);
    const Bytes over = stream_of({{u"a.bin", data}, {u"z", {}}});
    ASSERT_TRUE(unpack(over));
    // The first report counts the header bytes too; a trailing empty entry adds no report.
    const std::uint64_t first = (header + COPY_BUFFER_SIZE) * 1000 / over.size();
    const std::uint64_t second = (header + COPY_BUFFER_SIZE + 1) * 1000 / over.size();
    EXPECT_EQ(events, (std::vector<std::string>{"p" + std::to_string(first), "m",
                                                "p" + std::to_string(second), "m"}));
    EXPECT_LT(second, 1000u);
    EXPECT_EQ(staged_file("a.bin"), data);
}

TEST_F(ToolUnpack, OnlyTheEntrysOwnDirectoryLevelIsCreated) {
    // Two levels with the upper one missing: the lower one cannot be made, nor the file.
    EXPECT_FALSE(unpack(stream_of({{u"upper\\lower\\tool.dll", bytes_of("x")}})));
    EXPECT_TRUE(staged().empty());

    // A trailing backslash: its directory is made, the file cannot be.
    EXPECT_FALSE(unpack(stream_of({{u"kept.txt", bytes_of("k")}, {u"folder\\", bytes_of("x")}})));
    EXPECT_EQ(staged(), (std::set<std::string>{"kept.txt", "folder/"}));
}

TEST_F(ToolUnpack, ATamperedPackageIsWrittenInFullAndThenRefused) {
    Bytes stream = stream_of({{u"a.bin", pattern_bytes(1000, 8)}, {u"b.bin", pattern_bytes(1000, 9)}});
    const std::u16string id = identifier_of(stream);
    stream[stream.size() - 1] ^= 0x01;
    EXPECT_FALSE(unpack(stream, id));
    EXPECT_EQ(staged(), (std::set<std::string>{"a.bin", "b.bin"}));
    EXPECT_EQ(events.back(), "m");

    std::u16string upper = identifier_of(stream);
    for (char16_t& unit : upper)
        unit = unit >= u'a' && unit <= u'f' ? unit - u'a' + u'A' : unit;
    ASSERT_NE(upper, identifier_of(stream)) << "the digest text holds a letter";
    EXPECT_FALSE(unpack(stream, upper));
    EXPECT_TRUE(unpack(stream, identifier_of(stream)));
}

TEST_F(ToolUnpack, AHashThatFailsPartWayStillCopiesEverythingThenFails) {
    const Bytes data = pattern_bytes(COPY_BUFFER_SIZE + 100, 10);
    const Bytes stream = stream_of({{u"a.bin", data}, {u"b.bin", bytes_of("bee")}});
    int fed = 0;
    fault::hash_data = [&fed](const HashHandle&, const std::uint8_t*, std::uint32_t) { return ++fed < 3; };
    EXPECT_FALSE(unpack(stream));
    EXPECT_EQ(fed, 3) << "nothing more is fed after the failure";
    EXPECT_EQ(staged_file("a.bin"), data);
    EXPECT_EQ(staged_file("b.bin"), bytes_of("bee"));
    EXPECT_EQ(events.at(events.size() - 2), "p1000");
}

TEST_F(ToolUnpack, NoHashProviderMeansNoEntryIsRead) {
    fault::open_sha256_algorithm = [] { return HashAlgorithmHandle{}; };
    EXPECT_FALSE(unpack(stream_of({{u"a.bin", bytes_of("a")}})));
    EXPECT_EQ(fault::calls.read_file, 0);
    EXPECT_TRUE(staged().empty());
}

TEST_F(ToolUnpack, ARefusedEntryStopsTheUnpackAndKeepsWhatEarlierEntriesWrote) {
    auto name_bytes = [](std::u16string_view name) { return utf16le_bytes(name); };
    const std::vector<std::pair<std::string, Bytes>> refused = [&] {
        std::vector<std::pair<std::string, Bytes>> cases;
        auto add = [&](const std::string& what, std::uint32_t size, const Bytes& name,
                       std::uint64_t data_size) {
            Bytes entry;
            append_raw_entry(entry, size, name, data_size, bytes_of("data"));
            cases.emplace_back(what, entry);
        };
        add("name_size 0", 0, {}, 4);
        add("odd name_size", 3, bytes_of("abc"), 4);
        add("name_size 2048", 2048, Bytes(2048, 'a'), 4);
        add("full stops side by side", 8, name_bytes(u"a..b"), 4);
        add("drive letter", 10, name_bytes(u"C:\\ab"), 4);
        add("leading backslash", 4, name_bytes(u"\\a"), 4);
        add("data past the stream end", 2, name_bytes(u"a"), 5);
        add("data size that wraps", 2, name_bytes(u"a"), ~std::uint64_t{0} - 5);
        cases.emplace_back("fewer than 14 bytes left over", Bytes{2, 0, 0, 0, 'a', 0});
        return cases;
    }();
    for (const auto& [what, entry] : refused) {
        std::filesystem::remove_all(native("install/ai.new"));
        std::filesystem::create_directory(native("install/ai.new"));
        Bytes stream = stream_of({{u"good.txt", bytes_of("good")}});
        stream.insert(stream.end(), entry.begin(), entry.end());
        EXPECT_FALSE(unpack(stream)) << what;
        EXPECT_EQ(staged(), std::set<std::string>{"good.txt"}) << what;
    }
    // The largest name passes every check and reaches file creation (too long for the system).
    std::u16string created;
    fault::create_file_for_writing = [&created](const std::u16string& target) {
        created = target;
        return FileHandle{};
    };
    const std::u16string longest(1023, u'n');
    EXPECT_FALSE(unpack(stream_of({{longest, bytes_of("x")}})));
    EXPECT_EQ(created, path("install/ai.new") + u"\\" + longest);
}

TEST_F(ToolUnpack, FailuresAtTheTargetFileLeaveWhatTheTableSays) {
    const std::u16string blocked = path("install/ai.new/sub/b.bin");
    fault::create_file_for_writing = [blocked](const std::u16string& target) {
        return target == blocked ? FileHandle{} : backend::create_file_for_writing(target);
    };
    EXPECT_FALSE(unpack(stream_of({{u"a.bin", bytes_of("a")}, {u"sub\\b.bin", bytes_of("b")}})));
    EXPECT_EQ(staged(), (std::set<std::string>{"a.bin", "sub/"})) << "the directory made just now stays";

    fault::create_file_for_writing = nullptr;
    std::filesystem::remove_all(native("install/ai.new"));
    std::filesystem::create_directory(native("install/ai.new"));
    constexpr std::uint64_t second_data = HOST_PREFIX + 12 + 2 + 1 + 12 + 2;
    fault::seek_file = [](const FileHandle& file, std::uint64_t offset) {
        return offset != second_data && backend::seek_file(file, offset);
    };
    EXPECT_FALSE(unpack(stream_of({{u"a", bytes_of("a")}, {u"b", bytes_of("b")}})));
    EXPECT_EQ(staged(), (std::set<std::string>{"a", "b"}));
    EXPECT_TRUE(staged_file("b").empty());
}

TEST_F(ToolUnpack, AShortWriteStopsAfterThatChunksReportAndDrain) {
    const Bytes data = pattern_bytes(COPY_BUFFER_SIZE + 1000, 11);
    int writes = 0;
    fault::write_file = [&writes](const FileHandle& file, const void* buffer, std::uint32_t size,
                                  std::uint32_t& done) {
        if (++writes == 2)
            return backend::write_file(file, buffer, size / 2, done);
        return backend::write_file(file, buffer, size, done);
    };
    const Bytes stream = stream_of({{u"big.bin", data}, {u"after.txt", bytes_of("never")}});
    EXPECT_FALSE(unpack(stream));
    EXPECT_EQ(events.size(), 4u) << "two chunks, each reported and drained";
    EXPECT_EQ(events.back(), "m");
    EXPECT_EQ(staged(), std::set<std::string>{"big.bin"});
    EXPECT_EQ(staged_file("big.bin").size(), COPY_BUFFER_SIZE + 500u);
}

// Whatever a name holds, nothing appears outside the staging directory. Names the reader
// accepts land inside it; a forward slash separates like a backslash to the file system, but
// only the part before the last backslash is created.
TEST_F(ToolUnpack, NoNameWritesOutsideTheStagingDirectory) {
    std::filesystem::create_directories(native("install/deep/deeper"));
    write_native(native("host.exe"), {});
    const std::set<std::string> before = tree_of(root());
    const std::vector<std::u16string> hostile = {u"..\\escape",
                                                 u"a\\..\\..\\escape",
                                                 u"...",
                                                 u"C:\\escape",
                                                 u"C:escape",
                                                 u"\\escape",
                                                 u"\\\\host\\share\\x",
                                                 u"a/../../escape",
                                                 u"./../escape",
                                                 u"NUL",
                                                 u"con.txt",
                                                 u"Aux",
                                                 u"COM1.log",
                                                 u"lpt9",
                                                 u"sub\\nul .dll",
                                                 u"\\/escape"};
    for (const std::u16string& name : hostile) {
        EXPECT_FALSE(unpack(stream_of({{name, bytes_of("payload")}}))) << utf16_to_utf8(name);
        EXPECT_TRUE(staged().empty()) << utf16_to_utf8(name);
    }
    EXPECT_EQ(tree_of(root()), before);

    // Accepted oddities stay inside.
    const Bytes odd = stream_of({{u"/leading", bytes_of("1")},
                                 {u".\\dot", bytes_of("2")},
                                 {u"dir\\file", bytes_of("3")},
                                 {u"dir/slash", bytes_of("4")},
                                 {u"dir/made\\inner", bytes_of("5")}});
    EXPECT_TRUE(unpack(odd));
    EXPECT_EQ(staged(), (std::set<std::string>{"leading", "dot", "dir/", "dir/file", "dir/slash", "dir/made/",
                                               "dir/made/inner"}));
    EXPECT_EQ(staged_file("dir/slash"), bytes_of("4"));

    // A forward slash does not create the directory it names.
    std::filesystem::remove_all(native("install/ai.new"));
    std::filesystem::create_directory(native("install/ai.new"));
    EXPECT_FALSE(unpack(stream_of({{u"missing/file", bytes_of("x")}})));
    EXPECT_TRUE(staged().empty());
    EXPECT_EQ(tree_of(root()), before);
}

} // namespace
} // namespace kp::test
