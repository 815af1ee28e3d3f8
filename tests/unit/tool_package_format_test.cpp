// Finding a tool package at the end of a host image, and the rules its entries must meet.
#include "common/device_names.hpp"
#include "support/pe_image.hpp"
#include "support/sandbox.hpp"
#include "tool_package_check.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_package_format.hpp"

#include <cctype>
#include <limits>
#include <tuple>

namespace kp::test {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

class ToolPackageFormat : public SandboxTest {
  protected:
    // Writes the image to a file and opens it as the launcher does.
    FileHandle open_image(const Bytes& image) {
        write_native(native("host.exe"), image);
        return sys::open_file_for_reading(path("host.exe"));
    }
};

// A PE host with a one-file package appended the way kpack does it.
Bytes packaged_host(const PeImageShape& shape = {}) {
    return pack::append_tool_package(pe_image(shape), {{u"onnxruntime.dll", bytes_of("runtime")}});
}

TEST_F(ToolPackageFormat, ContentEndIsTheCertificateTableOnlyWhenItEndsTheFile) {
    const PeImageShape good = {.certificate_offset = 960, .certificate_size = 64}; // ends the 1024 bytes
    const PeImageShape pe32 = {.optional_magic = 0x10B, .certificate_offset = 960, .certificate_size = 64};
    Bytes unknown_magic = pe_image(pe32), no_mz = pe_image(good), no_pe = pe_image(good), truncated = no_mz;
    unknown_magic[0x80 + 24] = 0x07; // 0x107: read with the 32-bit layout
    no_mz[0] = 'X';
    no_pe[0x80 + 2] = 1;
    truncated.resize(0x80 + 24 + 239); // the 240-byte optional header read comes short
    Bytes extended = sign_image(packaged_host(), 1432);
    extended.push_back(0); // bytes after the table: it no longer ends the file
    // clang-format off
    const std::tuple<const char*, Bytes, std::uint64_t> cases[] = {
        {"unknown magic",              unknown_magic, 960},
        {"unsigned",                   packaged_host(), packaged_host().size()},
        {"signed PE32+",               sign_image(packaged_host(), 1432), packaged_host().size()},
        {"signed PE32",                sign_image(packaged_host(pe32), 8), packaged_host(pe32).size()},
        {"signed, then extended",      extended, extended.size()},
        {"no MZ",                      no_mz, 1024},
        {"no PE signature",            no_pe, 1024},
        {"truncated optional header",  truncated, truncated.size()},
        {"shorter than a DOS header",  Bytes(63, 'M'), 63},
        {"negative e_lfanew",          pe_image({.e_lfanew = -8, .certificate_offset = 960, .certificate_size = 64}), 1024},
        {"four directories",           pe_image({.directory_count = 4, .certificate_offset = 960, .certificate_size = 64}), 1024},
        {"table offset 0",             pe_image({.certificate_offset = 0, .certificate_size = 1024}), 1024},
        {"table size 0",               pe_image({.certificate_offset = 1024, .certificate_size = 0}), 1024},
        {"table short of the end",     pe_image({.certificate_offset = 960, .certificate_size = 63}), 1024},
    };
    // clang-format on
    for (const auto& [label, image, end] : cases)
        EXPECT_EQ(find_content_end(open_image(image), image.size()), end) << label;

    // The table's offset + size is taken in 64 bits: in 32 bits it would wrap to 0x10. Only the
    // headers are read, so a claimed file size beyond the real one is enough.
    const FileHandle file =
        open_image(pe_image({.certificate_offset = 0xFFFFFFF0, .certificate_size = 0x20}));
    EXPECT_EQ(find_content_end(file, 0x100000010), 0xFFFFFFF0u);
    EXPECT_EQ(find_content_end(file, 0x10), 0x10u);
}

// The stream must lie wholly before the trailer; trailer_start below is 2048 - 64 = 1984. The
// identifier keeps all 32 bytes, each sign-extended to one UTF-16 unit.
TEST_F(ToolPackageFormat, TrailerValidityRules) {
    const std::string id = std::string("\x80\xFF\0A", 4) + std::string(27, '0') + "\x7F";
    const std::u16string shown =
        u"\xFF80\xFFFF" + std::u16string(1, u'\0') + u"A" + std::u16string(27, u'0') + u"\x7F";
    const std::tuple<const char*, std::uint64_t, std::uint64_t, bool, const char*> cases[] = {
        {"stream ends at the trailer", 1000, 984, true, "KPAIPAK1"},
        {"stream from offset 0", 0, 1, true, "KPAIPAK1"},
        {"reserved and padding between", 1000, 1, true, "KPAIPAK1"},
        {"wrong magic", 1000, 1, false, "KPAIPAK2"},
        {"one byte into the trailer", 1000, 985, false, "KPAIPAK1"},
        {"zero size", 1000, 0, false, "KPAIPAK1"},
        {"offset at the trailer", 1984, 1, false, "KPAIPAK1"},
        // Sums that wrap past 2^64 and would land before the trailer.
        {"offset near 2^64", U64_MAX - 15, 32, false, "KPAIPAK1"},
        {"offset 2^64 - 1", U64_MAX, 1, false, "KPAIPAK1"},
        {"size near 2^64", 16, U64_MAX - 15, false, "KPAIPAK1"},
    };
    for (const auto& [label, offset, size, valid, magic] : cases) {
        SCOPED_TRACE(label);
        Bytes host(2048, 0);
        Bytes trailer = pack::build_trailer(offset, size, id);
        std::copy_n(magic, 8, trailer.begin());
        std::fill(trailer.begin() + 56, trailer.end(), 0xEE); // reserved: any value
        std::copy(trailer.begin(), trailer.end(), host.end() - 64);
        const auto found = read_tool_package_trailer(open_image(host), host.size());
        EXPECT_EQ(found ? found->package_id : u"none", valid ? shown : u"none");
    }
    // Content end below 64: no room for a trailer.
    Bytes short_file = pack::build_trailer(0, 1, std::string(32, 'a'));
    short_file.pop_back();
    EXPECT_FALSE(read_tool_package_trailer(open_image(short_file), short_file.size()));
}

// Name sizes and names, then device names in any component with any extension.
TEST_F(ToolPackageFormat, NameSizeNameAndDeviceNameRules) {
    for (const std::uint32_t size : {0u, 1u, 2u, 2045u, 2046u, 2047u, 2048u, 0xFFFFFFFEu})
        EXPECT_EQ(is_valid_name_size(size), size == 2 || size == 2046) << size;
    for (const std::u16string_view name : std::initializer_list<std::u16string_view>{
             u".", u"a\\.\\b", u"dir\\", u"a/b", std::u16string_view(u"a\0b", 3), u".a", u"a.b.c"})
        EXPECT_TRUE(is_acceptable_entry_name(name)) << utf16_to_utf8(name);
    for (const std::u16string_view name : std::initializer_list<std::u16string_view>{
             u"..", u"a..b", u"...", u"models\\..\\..\\evil.dll", u"C:\\evil.dll", u"a:b", u":", u"\\"})
        EXPECT_FALSE(is_acceptable_entry_name(name)) << utf16_to_utf8(name);
    for (const std::u16string_view name : std::initializer_list<std::u16string_view>{
             u"con", u"NUL.txt", u"aux.tar.gz", u"Prn  ", u"models\\com1.bin", u"a/lpt9", u"COM\u00B9",
             u"conin$", u"x\\CONOUT$.log", u"nul .onnx", std::u16string_view(u"ok\\aux\0.x", 9)})
        EXPECT_TRUE(names_a_device(name)) << utf16_to_utf8(name);
    for (const std::u16string_view name : std::initializer_list<std::u16string_view>{
             u"", u"co", u"cons", u"com0", u"com10", u"lpt", u"comx", u"a.con", u"xaux", u"conout",
             u"models\\comet.bin", std::u16string_view(u"ok\0aux", 6), u"\\", u"CONIN$$"})
        EXPECT_FALSE(names_a_device(name)) << utf16_to_utf8(name);
}

// One hand-made entry: name_size as given, the name, data_size as given, then the data bytes.
Bytes raw_entry(std::uint32_t name_size, std::u16string_view name, std::uint64_t data_size, Bytes data = {}) {
    Bytes entry = pack::entry_header(name, data_size);
    put_le(entry, 0, name_size, 4);
    entry.insert(entry.end(), data.begin(), data.end());
    return entry;
}

// Each stream is read from its start. What an accepted entry reads as (its name, where its data
// starts), and that a read starts where it is asked to, ToolUnpack's cases show.
TEST_F(ToolPackageFormat, EntriesAreCheckedInTheUnpackersOrder) {
    const std::tuple<const char*, Bytes, EntryProblem> cases[] = {
        {"accepted", raw_entry(2, u"a", 3, bytes_of("xyz")), EntryProblem::none},
        {"empty data", raw_entry(2, u"a", 0), EntryProblem::none},
        {"odd name size", raw_entry(3, u"ab", 0), EntryProblem::bad_name_size},
        {"name size 2048", raw_entry(2048, u"a", 0, Bytes(2048, 'a')), EntryProblem::bad_name_size},
        {"refused name, before its size", raw_entry(4, u"..", 99), EntryProblem::refused_name},
        {"device name, before its size", raw_entry(30, u"models\\com1.bin", 99), EntryProblem::device_name},
        // data_start + data_size wraps to a small value inside the stream.
        {"data size near 2^64", raw_entry(2, u"a", U64_MAX - 13, bytes_of("xyz")),
         EntryProblem::beyond_stream},
        {"leftover bytes", Bytes{2, 0, 0, 0, 'a', 0, 0, 0, 0}, EntryProblem::unreadable},
    };
    for (const auto& [label, stream, expected] : cases) {
        SCOPED_TRACE(label);
        ToolPackageEntry entry;
        std::uint64_t data_start = 0;
        EXPECT_EQ(read_tool_package_entry(open_image(stream), 0, stream.size(), entry, data_start), expected);
    }
}

// The trailer is found in few reads, also in front of a certificate table.
TEST_F(ToolPackageFormat, TrailerIsFoundAndTheWalkVerifiesOnlyTheExactLowercaseDigest) {
    Bytes host = pack::append_tool_package(pe_image({}), {{u"onnxruntime.dll", pattern_bytes(5000, 1)},
                                                          {u"models\\a.onnx", {}},
                                                          {u"models\\a.onnx", bytes_of("b")}});
    Bytes upper = host; // the same digest in upper case
    for (std::size_t i = upper.size() - 40; i < upper.size() - 8; ++i)
        upper[i] = static_cast<std::uint8_t>(std::toupper(upper[i]));
    Bytes changed = host;
    changed[1024 + 4 + 30 + 8 + 10] ^= 1; // a data byte of the first entry, the old identifier
    Bytes signed_host = sign_image(host, 2048);
    for (const Bytes* image : {&host, &signed_host, &upper, &changed}) {
        const FileHandle file = open_image(*image);
        fault::calls = {};
        const auto trailer = read_tool_package_trailer(file, image->size());
        ASSERT_TRUE(trailer);
        EXPECT_LE(fault::calls.read_file, 5);
        std::vector<std::u16string> names;
        const auto check =
            pack::check_tool_package(file, *trailer, [&](const ToolPackageEntry& entry, std::uint64_t) {
                names.push_back(entry.name);
            });
        EXPECT_EQ(check.verified, image == &host || image == &signed_host);
        EXPECT_EQ(names,
                  (std::vector<std::u16string>{u"onnxruntime.dll", u"models\\a.onnx", u"models\\a.onnx"}));
    }
}

} // namespace
} // namespace kp::test
