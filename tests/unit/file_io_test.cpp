#include "common/file_io.hpp"
#include "support/sandbox.hpp"

#ifndef _WIN32
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

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

#ifndef _WIN32

namespace kp::test {
bool no_rename_noreplace = false;
}

// Stands in for the C library's renameat2 in this test binary, to answer as a file system
// without RENAME_NOREPLACE does when a test asks for it.
extern "C" int renameat2(int from_directory, const char* from, int to_directory, const char* to,
                         unsigned flags) noexcept {
    if (kp::test::no_rename_noreplace && (flags & RENAME_NOREPLACE) != 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_renameat2, from_directory, from, to_directory, to, flags));
}

namespace kp::test {
namespace {

// A name that someone else could have planted: links, FIFOs and devices are never opened for
// writing; a file that is not ours alone is replaced in the user's own folder and refused in a
// shared one (world-writable and sticky, like /tmp), where it stays as it was.
TEST_F(FileIo, WritesNeverGoThroughWhatIsPlantedAtTheName) {
    write_native(native("victim"), bytes_of("precious"));
    std::filesystem::create_symlink(native("victim"), native("symlink"));
    std::filesystem::create_hard_link(native("victim"), native("hardlink"));
    ASSERT_EQ(::mkfifo(native("fifo").c_str(), 0666), 0);
    const int reader = ::open(native("fifo").c_str(), O_RDONLY | O_NONBLOCK); // an open would not block
    EXPECT_FALSE(write_file_bytes(path("symlink"), bytes_of("x")));
    EXPECT_FALSE(write_file_bytes(path("fifo"), bytes_of("x")));
    EXPECT_FALSE(write_file_bytes(path("."), bytes_of("x")));
    char drained = 0;
    EXPECT_LE(::read(reader, &drained, 1), 0) << "written into the FIFO";
    ::close(reader);
    EXPECT_TRUE(write_file_bytes(path("hardlink"), bytes_of("x")));
    EXPECT_EQ(read_native(native("hardlink")), bytes_of("x"));
    EXPECT_EQ(read_native(native("victim")), bytes_of("precious"));

    std::filesystem::create_directory(native("shared"));
    std::filesystem::permissions(native("shared"), std::filesystem::perms(01777));
    write_native(native("planted"), bytes_of("someone else's"));
    write_native(native("shared/planted"), bytes_of("someone else's"));
    if (run_command("chown 54321 " + quoted(native("planted")) + " " + quoted(native("shared/planted")) +
                    " 2>/dev/null") != 0)
        GTEST_SKIP() << "changing a file's owner needs root";
    EXPECT_TRUE(write_file_bytes(path("planted"), bytes_of("x")));
    EXPECT_EQ(read_native(native("planted")), bytes_of("x"));
    EXPECT_FALSE(write_file_bytes(path("shared/planted"), bytes_of("x")));
    EXPECT_EQ(read_native(native("shared/planted")), bytes_of("someone else's"));
}

// A file system without RENAME_NOREPLACE: the rename fails instead of testing for the target
// and renaming, which could replace a target created in between.
TEST_F(FileIo, DirectoryRenameNeverReplacesItsTarget) {
    std::filesystem::create_directories(native("from/inner"));
    std::filesystem::create_directories(native("taken"));
    EXPECT_FALSE(sys::move_path(path("from"), path("taken")));
    no_rename_noreplace = true;
    const bool moved = sys::move_path(path("from"), path("to"));
    no_rename_noreplace = false;
    EXPECT_FALSE(moved);
    EXPECT_TRUE(std::filesystem::exists(native("from/inner")));
    EXPECT_TRUE(sys::move_path(path("from"), path("to")));
    EXPECT_TRUE(std::filesystem::exists(native("to/inner")));
}

} // namespace
} // namespace kp::test

#endif
