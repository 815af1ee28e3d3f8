// Finding a tool package at the end of a host image, and the rules its entries must meet.
#include "support/pe_image.hpp"
#include "support/sandbox.hpp"
#include "tool_package_check.hpp"
#include "tool_package_writer.hpp"
#include "tools/tool_package_format.hpp"

#include <cctype>
#include <limits>
#include <map>

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
    std::uint64_t content_end(const Bytes& image) {
        const FileHandle file = open_image(image);
        return find_content_end(file, image.size());
    }
    std::optional<ToolPackageTrailer> trailer_of(const Bytes& image) {
        const FileHandle file = open_image(image);
        return read_tool_package_trailer(file, image.size());
    }
};

// A file far larger than memory: given regions hold bytes, everything else reads as zero.
// It stands behind the seam's file calls, so sizes near the 64-bit limit can be tried.
class SparseFile {
  public:
    explicit SparseFile(std::uint64_t size) : size_(size) {
        fault::seek_file = [this](const FileHandle&, std::uint64_t offset) {
            position_ = offset;
            return true;
        };
        fault::read_file = [this](const FileHandle&, void* buffer, std::uint32_t size, std::uint32_t& done) {
            done = 0;
            auto* out = static_cast<std::uint8_t*>(buffer);
            while (done < size && position_ < size_)
                out[done++] = byte_at(position_++);
            return true;
        };
        fault::close_handle = [](HandleKind, std::uintptr_t) {};
    }
    void put(std::uint64_t offset, const Bytes& bytes) { regions_[offset] = bytes; }
    FileHandle handle() const { return FileHandle(1); }

  private:
    std::uint8_t byte_at(std::uint64_t offset) const {
        auto it = regions_.upper_bound(offset);
        if (it == regions_.begin())
            return 0;
        --it;
        return offset - it->first < it->second.size() ? it->second[offset - it->first] : 0;
    }
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    std::map<std::uint64_t, Bytes> regions_;
};

Bytes trailer_bytes(std::uint64_t offset, std::uint64_t size,
                    std::string_view id = "0123456789abcdef0123456789abcdef") {
    return pack::build_trailer(offset, size, id);
}

// A PE host with a one-file package appended the way kpack does it.
Bytes packaged_host(const std::vector<pack::ToolFile>& files = {{u"onnxruntime.dll", bytes_of("runtime")}}) {
    return pack::append_tool_package(pe_image({}), files);
}

TEST_F(ToolPackageFormat, ContentEndIsTheCertificateTableWhenItReachesTheEnd) {
    const Bytes unsigned_host = packaged_host();
    EXPECT_EQ(content_end(unsigned_host), unsigned_host.size());
    for (const std::uint16_t magic : {0x20B, 0x10B}) {
        PeImageShape shape;
        shape.optional_magic = magic;
        const Bytes host = pack::append_tool_package(pe_image(shape), {{u"a", bytes_of("x")}});
        const Bytes signed_host = sign_image(host, 1432);
        EXPECT_EQ(content_end(signed_host), host.size()) << magic;
        // Bytes added after the certificate table: the table no longer ends the file.
        Bytes extended = signed_host;
        extended.push_back(0);
        EXPECT_EQ(content_end(extended), extended.size()) << magic;
    }
}

TEST_F(ToolPackageFormat, ContentEndIsTheFileSizeForEveryRefusedHeader) {
    const std::uint32_t table_at = 1024 - 64;
    PeImageShape good;
    good.certificate_offset = table_at;
    good.certificate_size = 64;
    ASSERT_EQ(content_end(pe_image(good)), table_at);

    std::vector<std::pair<const char*, Bytes>> refused;
    Bytes no_mz = pe_image(good);
    no_mz[0] = 'X';
    refused.emplace_back("no MZ", no_mz);
    Bytes no_pe = pe_image(good);
    no_pe[0x80 + 2] = 1;
    refused.emplace_back("no PE signature", no_pe);
    PeImageShape negative = good;
    negative.e_lfanew = -8;
    refused.emplace_back("negative e_lfanew", pe_image(negative));
    PeImageShape four_directories = good;
    four_directories.directory_count = 4;
    refused.emplace_back("four directories", pe_image(four_directories));
    PeImageShape offset_zero = good;
    offset_zero.certificate_offset = 0;
    offset_zero.certificate_size = 1024;
    refused.emplace_back("offset 0", pe_image(offset_zero));
    PeImageShape size_zero = good;
    size_zero.certificate_offset = 1024;
    size_zero.certificate_size = 0;
    refused.emplace_back("size 0", pe_image(size_zero));
    PeImageShape short_of_end = good;
    short_of_end.certificate_size = 63;
    refused.emplace_back("table short of the end", pe_image(short_of_end));
    // The 240-byte optional header read comes short even though the directory entry is present.
    Bytes truncated = pe_image(good);
    truncated.resize(0x80 + 24 + 239);
    refused.emplace_back("truncated optional header", truncated);
    refused.emplace_back("shorter than a DOS header", Bytes(63, 'M'));

    for (const auto& [label, image] : refused)
        EXPECT_EQ(content_end(image), image.size()) << label;
}

TEST_F(ToolPackageFormat, UnknownOptionalHeaderMagicIsReadWithThe32BitLayout) {
    PeImageShape shape;
    shape.optional_magic = 0x10B;
    shape.certificate_offset = 1000;
    shape.certificate_size = 24;
    Bytes image = pe_image(shape);
    put_le(image, 0x80 + 24, 0x107, 2);
    EXPECT_EQ(content_end(image), 1000u);
}

TEST_F(ToolPackageFormat, CertificateEntrySumIsTakenIn64Bits) {
    // offset + size wraps in 32 bits to 0x10; only the 64-bit sum 0x1'0000'0010 matches.
    PeImageShape shape;
    shape.certificate_offset = 0xFFFFFFF0;
    shape.certificate_size = 0x20;
    SparseFile file(0x100000010);
    file.put(0, pe_image(shape));
    EXPECT_EQ(find_content_end(file.handle(), 0x100000010), 0xFFFFFFF0u);
    EXPECT_EQ(find_content_end(file.handle(), 0x10), 0x10u);
}

TEST_F(ToolPackageFormat, TrailerIsFoundWithAtMostFiveReadsInFrontOfACertificateTable) {
    const Bytes host = packaged_host();
    fault::calls = {};
    const auto plain = trailer_of(host);
    ASSERT_TRUE(plain);
    EXPECT_LE(fault::calls.read_file, 5);
    EXPECT_EQ(plain->package_offset, 1024u);
    EXPECT_EQ(plain->package_size,
              pack::build_entry_stream({{u"onnxruntime.dll", bytes_of("runtime")}}).size());

    fault::calls = {};
    const auto signed_trailer = trailer_of(sign_image(host, 2048));
    ASSERT_TRUE(signed_trailer);
    EXPECT_LE(fault::calls.read_file, 5);
    EXPECT_EQ(signed_trailer->package_id, plain->package_id);
}

TEST_F(ToolPackageFormat, TrailerTextKeepsAll32BytesSignExtended) {
    Bytes host = pe_image({});
    host.resize(2048, 1);
    Bytes id(32, '0');
    id[0] = 0x80;
    id[1] = 0xFF;
    id[2] = 0x00;
    id[3] = 'A';
    id[31] = 0x7F;
    const Bytes trailer =
        trailer_bytes(1024, 1024 - 64, std::string_view(reinterpret_cast<const char*>(id.data()), 32));
    std::copy(trailer.begin(), trailer.end(), host.end() - 64);
    const auto found = trailer_of(host);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->package_id.size(), 32u);
    EXPECT_EQ(found->package_id[0], u'\xFF80');
    EXPECT_EQ(found->package_id[1], u'\xFFFF');
    EXPECT_EQ(found->package_id[2], u'\0');
    EXPECT_EQ(found->package_id[3], u'A');
    EXPECT_EQ(found->package_id[31], u'\x7F');
    EXPECT_EQ(found->package_id.substr(4, 27), std::u16string(27, u'0'));
}

// The stream must lie wholly before the trailer; trailer_start below is 2048 - 64 = 1984.
TEST_F(ToolPackageFormat, TrailerValidityRules) {
    const struct {
        const char* label;
        std::uint64_t offset;
        std::uint64_t size;
        bool valid;
    } cases[] = {
        {"stream ends at the trailer", 1000, 984, true},
        {"stream from offset 0", 0, 1, true},
        {"reserved and padding between", 1000, 1, true},
        {"one byte into the trailer", 1000, 985, false},
        {"zero size", 1000, 0, false},
        {"offset at the trailer", 1984, 1, false},
        // Sums that wrap past 2^64 and would land before the trailer.
        {"offset near 2^64", U64_MAX - 15, 32, false},
        {"offset 2^64 - 1", U64_MAX, 1, false},
        {"size near 2^64", 16, U64_MAX - 15, false},
    };
    for (const auto& c : cases) {
        Bytes host(2048, 0);
        Bytes trailer = trailer_bytes(c.offset, c.size);
        std::fill(trailer.begin() + 56, trailer.end(), 0xEE); // reserved: any value
        std::copy(trailer.begin(), trailer.end(), host.end() - 64);
        EXPECT_EQ(trailer_of(host).has_value(), c.valid) << c.label;
    }

    Bytes wrong_magic = packaged_host();
    wrong_magic[wrong_magic.size() - 64 + 7] = '2';
    EXPECT_FALSE(trailer_of(wrong_magic));
    // Content end below 64: no room for a trailer.
    Bytes short_file = trailer_bytes(0, 1);
    short_file.pop_back();
    EXPECT_FALSE(trailer_of(short_file));
}

TEST_F(ToolPackageFormat, NameSizeAndNameRules) {
    for (const std::uint32_t size : {2u, 4u, 2046u})
        EXPECT_TRUE(is_valid_name_size(size)) << size;
    for (const std::uint32_t size : {0u, 1u, 3u, 2045u, 2047u, 2048u, 0xFFFFFFFEu})
        EXPECT_FALSE(is_valid_name_size(size)) << size;

    for (const std::u16string_view name : std::initializer_list<std::u16string_view>{
             u"onnxruntime.dll", u"models\\vision.onnx", u".", u"a\\.\\b", u"dir\\", u"a/b",
             std::u16string_view(u"a\0b", 3), u".a", u"a.b.c"})
        EXPECT_TRUE(is_acceptable_entry_name(name)) << utf16_to_utf8(name);
    for (const std::u16string_view name : std::initializer_list<std::u16string_view>{
             u"..", u"a..b", u"...", u"..\\evil.dll", u"models\\..\\..\\evil.dll", u"C:\\evil.dll", u"a:b",
             u":", u"\\absolute", u"\\"})
        EXPECT_FALSE(is_acceptable_entry_name(name)) << utf16_to_utf8(name);
}

TEST_F(ToolPackageFormat, BoundChecksTreatAWrappingSumAsBeyond) {
    EXPECT_TRUE(fits_before(0, 0, 0));
    EXPECT_TRUE(fits_before(10, 5, 15));
    EXPECT_FALSE(fits_before(10, 6, 15));
    EXPECT_FALSE(fits_before(16, 0, 15));
    EXPECT_TRUE(fits_before(U64_MAX, 0, U64_MAX));
    EXPECT_FALSE(fits_before(U64_MAX, 1, U64_MAX));
    EXPECT_FALSE(fits_before(U64_MAX - 7, 16, 100));
    EXPECT_FALSE(fits_before(8, U64_MAX - 3, 100));
}

// One stream with a hand-made entry: name "a", then data_size as given, then data bytes.
Bytes raw_entry(std::uint32_t name_size, std::u16string_view name, std::uint64_t data_size,
                const Bytes& data) {
    Bytes entry(4 + 8);
    put_le(entry, 0, name_size, 4);
    const Bytes name_bytes = utf16le_bytes(name);
    entry.insert(entry.begin() + 4, name_bytes.begin(), name_bytes.end());
    put_le(entry, 4 + name_bytes.size(), data_size, 8);
    entry.insert(entry.end(), data.begin(), data.end());
    return entry;
}

TEST_F(ToolPackageFormat, EntriesAreCheckedInTheUnpackersOrder) {
    const struct {
        const char* label;
        Bytes stream;
        EntryProblem expected;
    } cases[] = {
        {"accepted", raw_entry(2, u"a", 3, bytes_of("xyz")), EntryProblem::none},
        {"empty data", raw_entry(2, u"a", 0, {}), EntryProblem::none},
        {"odd name size", raw_entry(3, u"ab", 0, {}), EntryProblem::bad_name_size},
        {"name size 0", raw_entry(0, u"", 0, {}), EntryProblem::bad_name_size},
        {"refused name", raw_entry(4, u"..", 0, {}), EntryProblem::refused_name},
        {"data past the stream", raw_entry(2, u"a", 4, bytes_of("xyz")), EntryProblem::beyond_stream},
        // data_start + data_size wraps to a small value inside the stream.
        {"data size near 2^64", raw_entry(2, u"a", U64_MAX - 13, bytes_of("xyz")),
         EntryProblem::beyond_stream},
        {"leftover bytes", Bytes{2, 0, 0, 0, 'a', 0, 0, 0, 0}, EntryProblem::unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes file = bytes_of("host");
        file.insert(file.end(), c.stream.begin(), c.stream.end());
        const FileHandle handle = open_image(file);
        ToolPackageEntry entry;
        std::uint64_t data_start = 0;
        EXPECT_EQ(read_tool_package_entry(handle, 4, file.size(), entry, data_start), c.expected);
        if (c.expected == EntryProblem::none) {
            EXPECT_EQ(entry.name, u"a");
            EXPECT_EQ(data_start, 4u + 14u);
        }
    }
}

TEST_F(ToolPackageFormat, WalkVerifiesOnlyTheExactLowercaseDigestOfTheStream) {
    const std::vector<pack::ToolFile> files = {{u"onnxruntime.dll", pattern_bytes(5000, 1)},
                                               {u"models\\a.onnx", {}},
                                               {u"models\\a.onnx", bytes_of("b")}};
    Bytes host = packaged_host(files);
    {
        const FileHandle file = open_image(host);
        const auto trailer = read_tool_package_trailer(file, host.size());
        ASSERT_TRUE(trailer);
        std::vector<std::u16string> names;
        const auto check =
            pack::check_tool_package(file, *trailer, [&](const ToolPackageEntry& entry, std::uint64_t) {
                names.push_back(entry.name);
            });
        EXPECT_TRUE(check.verified);
        EXPECT_EQ(names,
                  (std::vector<std::u16string>{u"onnxruntime.dll", u"models\\a.onnx", u"models\\a.onnx"}));
    }
    // The same digest in upper case, and a changed data byte with the old identifier.
    Bytes upper = host;
    for (std::size_t i = upper.size() - 40; i < upper.size() - 8; ++i)
        upper[i] = static_cast<std::uint8_t>(std::toupper(upper[i]));
    Bytes changed = host;
    changed[1024 + 4 + 30 + 8 + 10] ^= 1; // a data byte of the first entry
    for (const Bytes* image : {&upper, &changed}) {
        const FileHandle file = open_image(*image);
        const auto trailer = read_tool_package_trailer(file, image->size());
        ASSERT_TRUE(trailer);
        EXPECT_FALSE(pack::check_tool_package(file, *trailer).verified);
    }
}

} // namespace
} // namespace kp::test
