#include "common/crc32.hpp"
#include "payload/zip_directory.hpp"
#include "support/sandbox.hpp"
#include "support/zip_archive.hpp"

#include <gmock/gmock.h>
#include <zlib.h>

namespace kp::test {
namespace {

using Problem = ZipDirectoryProblem;
using testing::_;
using testing::FieldsAre;

ZipDirectory read(const Bytes& zip) {
    return read_zip_directory(zip.data(), zip.size());
}

Problem problem_of(const std::vector<ZipArchiveEntry>& entries) {
    return read(zip_archive(entries)).problem;
}

TEST(Crc32, EqualsZlibForAnyLengthAndWhenChained) {
    const Bytes data = pattern_bytes(5000);
    for (const std::size_t size : {0u, 1u, 3u, 255u, 256u, 257u, 4999u, 5000u})
        EXPECT_EQ(kp::crc32(0, data.data(), size), ::crc32(0, data.data(), static_cast<uInt>(size))) << size;

    // Chained: the CRC of the first part carried into the rest.
    EXPECT_EQ(kp::crc32(kp::crc32(0, data.data(), 1234), data.data() + 1234, 5000 - 1234),
              ::crc32(0, data.data(), 5000));
}

TEST(ZipDirectory, ReadsNamesSizesCrcsAndFoldersIncludingZip64Fields) {
    Bytes zip = zip_archive({{"kestrin_pad.exe", "MZ..."},
                             {"data/", ""},
                             {"data/big.bin", std::string(70000, 'x'), false, true},
                             {"caf\xc3\xa9/\xce\xb1.txt", "utf8", true}},
                            true);
    zip[zip.size() - 2] = 3; // a comment of three bytes after the end record
    zip.insert(zip.end(), {'P', 'K', '!'});

    const uLong mz_crc = ::crc32(0, reinterpret_cast<const Bytef*>("MZ..."), 5);
    EXPECT_THAT(read(zip),
                FieldsAre(Problem::none, "",
                          testing::ElementsAre(FieldsAre("kestrin_pad.exe", 5u, mz_crc, false),
                                               FieldsAre("data/", 0u, 0u, true),
                                               FieldsAre("data/big.bin", 70000u, _, false),
                                               FieldsAre("caf\xc3\xa9/\xce\xb1.txt", 4u, _, false))));

    EXPECT_EQ(read(zip_archive({})).problem, Problem::none); // an empty archive is well formed
}

TEST(ZipDirectory, RefusesNamesNoShellCanPlaceFaithfully) {
    EXPECT_EQ(problem_of({{"caf\xc3\xa9.txt", ""}}), Problem::non_ascii_name_without_utf8_flag);
    EXPECT_EQ(problem_of({{"caf\xc3.txt", "", true}}), Problem::malformed);  // broken UTF-8
    EXPECT_EQ(problem_of({{"\xc0\xaf.txt", "", true}}), Problem::malformed); // overlong '/'

    for (const char* unsafe : {"/etc/x", "../x", "a/../../x", "a\\b", "C:/x", "c:x", "a//b", "a/./b", "dot.",
                               "space ", "a?b", "tab\tname", "", "/"})
        EXPECT_THAT(read(zip_archive({{"fine", "1"}, {unsafe, "2"}})),
                    FieldsAre(Problem::unsafe_name, unsafe, _));
    for (const char* device :
         {"lib/CON", "aux.txt", "a/b/nul.dll", "Com7/x", "LPT9.tar.gz", "lpt\xc2\xb9", "prn/"})
        EXPECT_EQ(problem_of({{"fine", "1"}, {device, "", true}}), Problem::device_name) << device;
    EXPECT_EQ(problem_of({{"a..b.txt", ""}, {"..hidden", ""}, {"console/com10", ""}, {"com0.lpt", ""}}),
              Problem::none);

    EXPECT_EQ(problem_of({{"Readme.txt", ""}, {"README.TXT", ""}}), Problem::duplicate_name);
    EXPECT_EQ(problem_of({{"data/", ""}, {"DATA", "file"}}), Problem::duplicate_name);
    EXPECT_EQ(problem_of({{"\xc3\x89t\xc3\xa9", "", true}, {"\xc3\xa9T\xc3\x89", "", true}}),
              Problem::duplicate_name);
    EXPECT_EQ(problem_of({{"\xd0\x96", "", true}, {"\xd0\xb6", "", true}}), Problem::duplicate_name);
    EXPECT_THAT(read(zip_archive({{"lib", "file"}, {"LIB/x.dll", "2"}})),
                FieldsAre(Problem::duplicate_name, "LIB/x.dll", _));
    EXPECT_EQ(problem_of({{"lib/", ""}, {"LIB/x.dll", "2"}, {"lib/y.dll", "3"}}), Problem::none);
}

TEST(ZipDirectory, EveryTruncationOrDamagedByteIsCaughtWithinTheBuffer) {
    const Bytes zip = zip_archive({{"a.txt", "alpha"}, {"b/", ""}, {"b/c", "gamma", false, true}}, true);
    // Copied so that the sanitizer sees any read past the shorter buffer.
    for (std::size_t size = 0; size < zip.size(); ++size)
        EXPECT_EQ(read(Bytes(zip.begin(), zip.begin() + size)).problem, Problem::malformed) << size;
    for (std::size_t at = 0; at < zip.size(); ++at)
        for (const std::uint8_t value : {0x00, 0xFF}) {
            Bytes damaged = zip;
            damaged[at] = value;
            const ZipDirectory directory = read(damaged);
            EXPECT_TRUE(directory.problem != Problem::none || directory.entries.size() == 3u) << at;
        }
}

TEST(ZipDirectory, RefusesDirectoriesThatDoNotHoldTogether) {
    const auto damaged = [](bool zip64, std::vector<std::pair<std::ptrdiff_t, std::uint8_t>> bytes) {
        Bytes zip = zip_archive({{"a", "1", false, zip64}});
        for (const auto& [at, value] : bytes) // at < 0: counted from the end
            zip[static_cast<std::size_t>(at < 0 ? static_cast<std::ptrdiff_t>(zip.size()) + at : at)] = value;
        return read(zip).problem;
    };
    EXPECT_EQ(damaged(false, {{-14, 2}, {-12, 2}}), Problem::malformed) << "more entries claimed than listed";
    EXPECT_EQ(damaged(false, {{-6, 0x40}}), Problem::malformed) << "directory offset past the directory";
    EXPECT_EQ(damaged(false, {{-18, 1}}), Problem::malformed) << "directory on another disk";
    // The central header's Zip64 block (after local header, name, extra, data) made another kind
    // of block: the sizes stay all ones.
    EXPECT_EQ(damaged(true, {{30 + 1 + 20 + 1 + 46 + 1, 0x99}}), Problem::malformed) << "Zip64 field missing";

    // A Zip64 end record whose directory offset and size wrap around 2^64 to land before the record:
    // the directory they name lies in front of the buffer. A copy of the real one is put there, so
    // that a reader whose bound check wraps finds a well-formed directory and accepts it.
    const Bytes zip = zip_archive({{"a", "1"}}, true);
    const std::size_t record = zip.size() - 22 - 20 - 56, offset = 30 + 1 + 1, size = record - offset;
    Bytes memory(zip.begin() + offset, zip.begin() + record);
    memory.insert(memory.end(), zip.begin(), zip.end());
    for (int i = 0; i < 8; ++i)
        memory[size + record + 48 + i] = static_cast<std::uint8_t>((0 - std::uint64_t{size}) >> (8 * i));
    EXPECT_EQ(read_zip_directory(memory.data() + size, zip.size()).problem, Problem::malformed);
}

} // namespace
} // namespace kp::test
