#include "common/file_io.hpp"
#include "support/sandbox.hpp"

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
    const Bytes content = pattern_bytes(100000);
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
