#include "sandbox.hpp"

#include "build_config.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>

namespace kp::test {

std::u16string system_path(const std::filesystem::path& path) {
    std::u16string text = path.u16string();
    std::replace(text.begin(), text.end(), u'/', u'\\');
    return text;
}

Bytes read_native(const std::filesystem::path& path) {
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}

void write_native(const std::filesystem::path& path, const Bytes& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

Bytes bytes_of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Bytes pattern_bytes(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

Bytes make_app_enc(const Bytes& archive) {
    Bytes inner, outer;
    EXPECT_TRUE(sys::aes256_cbc_encrypt(archive, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, inner));
    EXPECT_TRUE(sys::aes256_cbc_encrypt(inner, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, outer));
    return outer;
}

int run_command(const std::string& command) {
    // cmd /c drops the outermost quotes of a line that starts with one: add a pair it can drop.
    if (running_under_windows())
        return std::system(('"' + command + '"').c_str());
    const int status = std::system(command.c_str());
    return status == -1 ? -1 : (status >> 8) & 0xFF;
}

std::filesystem::path built_program(const std::string& name) {
    std::u16string self = sys::module_file_name();
    if (!running_under_windows())
        std::replace(self.begin(), self.end(), u'\\', u'/');
    return std::filesystem::path(self).parent_path() / (running_under_windows() ? name + ".exe" : name);
}

std::string quoted(const std::filesystem::path& path) {
    return '"' + utf16_to_utf8(path.u16string()) + '"';
}

bool running_under_windows() {
    return std::filesystem::path::preferred_separator == L'\\';
}

void SandboxTest::SetUp() {
    fault::reset();
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() / ("kp_test_" + std::to_string(sys::current_process_id()) +
                                                      "_" + std::to_string(counter++) + "_" + info->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
}

void SandboxTest::TearDown() {
    fault::reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

} // namespace kp::test
