#include "common/file_io.hpp"
#include "support/sandbox.hpp"

#include <algorithm>

namespace kp::test {
namespace {

using FileIo = SandboxTest;

TEST_F(FileIo, TextIsTakenAsUtf16LeUnitsExactlyAsStored) {
    // A byte-order mark, a zero unit and a line end all stay in the text.
    write_native(native("stamp"), Bytes{0xFF, 0xFE, 'a', 0, 0, 0, 'b', 0, '\n', 0});
    EXPECT_EQ(read_text_file(path("stamp")), std::u16string(u"\uFEFFa\0b\n", 5));
}

TEST_F(FileIo, OddEmptyOrMissingFilesReadAsEmptyText) {
    write_native(native("odd"), Bytes{'a', 0, 'b'});
    write_native(native("empty"), Bytes{});
    EXPECT_EQ(read_text_file(path("odd")), u"");
    EXPECT_EQ(read_text_file(path("empty")), u"");
    EXPECT_EQ(read_text_file(path("missing")), u"");
    std::filesystem::create_directory(native("directory"));
    EXPECT_EQ(read_text_file(path("directory")), u"");
}

TEST_F(FileIo, WholeFileReadFillsTheBufferAndRefusesShortReads) {
    const Bytes content = pattern_bytes(5 << 20); // large enough for the memory to be prepared
    write_native(native("data"), content);
    Bytes buffer;
    ASSERT_TRUE(read_file_bytes(path("data"), buffer));
    EXPECT_EQ(buffer, content);

    fault::read_file = [](const FileHandle&, void*, std::uint32_t size, std::uint32_t& done) {
        done = size - 1;
        return true;
    };
    Bytes short_buffer;
    EXPECT_FALSE(read_file_bytes(path("data"), short_buffer));
}

// Whatever the streaming handle keeps ahead of the file pointer, every read gives the file's bytes:
// a sequential run of small reads, reads that go on without a seek, a jump back, reads across the
// edge of what was read ahead, large reads, reads across and beyond the end.
TEST_F(FileIo, StreamingReadsGiveTheFileWhereverTheyStart) {
    const Bytes content = pattern_bytes(600000);
    write_native(native("image"), content);
    const FileHandle file = sys::open_file_for_streaming(path("image"));
    ASSERT_TRUE(file);
    constexpr std::uint64_t ON = ~std::uint64_t{0}; // no seek: where the last read stopped
    const std::vector<std::pair<std::uint64_t, std::uint32_t>> reads = {
        {0, 4},      {ON, 2046},     {ON, 8},      {2058, 4096}, {ON, 200000},  {ON, 50},
        {100, 10},   {131000, 2000}, {ON, 140000}, {ON, 3},      {262100, 300}, {599990, 100},
        {700000, 5}, {0, 600000},    {599999, 1},  {ON, 1}};
    std::uint64_t position = 0;
    for (const auto& [seek, size] : reads) {
        SCOPED_TRACE(testing::Message() << "read of " << size << " at " << (seek == ON ? position : seek));
        if (seek != ON) {
            ASSERT_TRUE(sys::seek_file(file, seek));
            position = seek;
        }
        Bytes buffer(size, 0xCC);
        std::uint32_t done = 0;
        ASSERT_TRUE(sys::read_file(file, buffer.data(), size, done));
        const std::uint64_t left = position < content.size() ? content.size() - position : 0;
        ASSERT_EQ(done, std::min<std::uint64_t>(size, left));
        const auto from =
            content.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(position, content.size()));
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + done, from));
        position += done;
    }
}

TEST_F(FileIo, WriteReplacesALongerFileAndReportsShortWrites) {
    write_native(native("stamp"), pattern_bytes(500));
    ASSERT_TRUE(write_file_bytes(path("stamp"), bytes_of("new")));
    EXPECT_EQ(read_native(native("stamp")), bytes_of("new"));

    fault::write_file = [](const FileHandle&, const void*, std::uint32_t size, std::uint32_t& done) {
        done = size / 2;
        return true;
    };
    EXPECT_FALSE(write_file_bytes(path("short"), bytes_of("abcd")));
    EXPECT_TRUE(exists(path("short"))) << "a created but short file stays in place";
}

TEST_F(FileIo, ExistenceCountsFilesAndDirectoriesAlike) {
    write_native(native("file"), bytes_of("x"));
    std::filesystem::create_directory(native("folder"));
    EXPECT_TRUE(exists(path("file")));
    EXPECT_TRUE(exists(path("folder")));
    EXPECT_FALSE(exists(path("nothing")));
}

TEST(Text, Utf8AndUtf16RoundTripAndReplaceInvalidInput) {
    const std::u16string text = u"Kestrin \u00e9\u4e2d\U0001F600";
    EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(text)), text);
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), u"\uFFFD\uFFFD"); // each stray byte replaced
    EXPECT_EQ(decimal_text(0), u"0");
    EXPECT_EQ(decimal_text(4242), u"4242");
    EXPECT_EQ(decimal_text(4294967295u), u"4294967295");
}

} // namespace
} // namespace kp::test

namespace kp::test {
namespace {

// A file planted at a predictable name must not receive what the launcher writes.
TEST_F(FileIo, WritesRefuseLinksAndFilesOfOtherUsersWithoutTouchingThem) {
    if (running_under_windows())
        GTEST_SKIP() << "POSIX file ownership and links";
    write_native(native("victim"), bytes_of("precious"));
    std::filesystem::create_symlink(native("victim"), native("symlink"));
    std::filesystem::create_hard_link(native("victim"), native("hardlink"));
    EXPECT_FALSE(write_file_bytes(path("symlink"), bytes_of("x")));
    EXPECT_FALSE(write_file_bytes(path("hardlink"), bytes_of("x")));
    EXPECT_EQ(read_native(native("victim")), bytes_of("precious"));

    write_native(native("planted"), bytes_of("someone else's"));
    if (run_command("chown 54321 " + quoted(native("planted")) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "changing a file's owner needs root";
    EXPECT_FALSE(write_file_bytes(path("planted"), bytes_of("x")));
    EXPECT_EQ(read_native(native("planted")), bytes_of("someone else's"));
}

} // namespace
} // namespace kp::test
