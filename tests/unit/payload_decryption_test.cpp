#include "build_config.hpp"
#include "payload/payload_decryption.hpp"
#include "support/sandbox.hpp"

namespace kp::test {
namespace {

using PayloadDecryption = SandboxTest;

// Encrypted in place, the inner layer then the outer: no room to spare, the buffer moves as it grows.
Bytes two_layers(Bytes data, const auto& inner_key, const auto& inner_iv, const auto& outer_key,
                 const auto& outer_iv) {
    EXPECT_TRUE(sys::aes256_cbc_encrypt(data, inner_key, inner_iv, data));
    EXPECT_TRUE(sys::aes256_cbc_encrypt(data, outer_key, outer_iv, data));
    return data;
}

// Both overloads (copying and consuming), every padding length, and encryption in place.
TEST_F(PayloadDecryption, RoundTripsExactlyWithTheConstructionsFileSize) {
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        SCOPED_TRACE(n);
        const Bytes archive = pattern_bytes(n, static_cast<std::uint32_t>(n));
        const Bytes app_enc = make_app_enc(archive);
        EXPECT_EQ(app_enc.size(), 16 * (n / 16 + 2));
        Bytes copied, consumed;
        EXPECT_TRUE(decrypt_payload(app_enc, copied) && decrypt_payload(Bytes(app_enc), consumed));
        EXPECT_EQ(std::pair(copied, consumed), std::pair(archive, archive));
        EXPECT_EQ(
            two_layers(archive, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV),
            app_enc);
    }
}

// Empty, misaligned, other keys (the padding check fails), the layers swapped; the inner layer is
// not tried once the outer fails.
TEST_F(PayloadDecryption, RefusesEmptyMisalignedAndForeignInput) {
    const std::array<std::uint8_t, 32> other_key{0x5A};
    const Bytes refused[] = {
        {},
        pattern_bytes(33),
        two_layers(pattern_bytes(100), other_key, PAYLOAD_INNER_IV, other_key, PAYLOAD_OUTER_IV),
        two_layers(pattern_bytes(100), PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, PAYLOAD_INNER_KEY,
                   PAYLOAD_INNER_IV)};
    Bytes archive;
    EXPECT_FALSE(decrypt_payload(pattern_bytes(64), archive));
    EXPECT_EQ(fault::calls.aes256_cbc_decrypt, 1);
    for (const Bytes& input : refused)
        EXPECT_FALSE(decrypt_payload(input, archive)) << input.size();
}

// app.enc made by two runs of the openssl command decrypts, and our encryption is byte-identical.
TEST_F(PayloadDecryption, InteroperatesWithTheOpensslCommand) {
    if (running_under_windows())
        GTEST_SKIP() << "the openssl command runs on the build machine only";
    const auto hex = [](const auto& bytes) {
        std::string text;
        for (const std::uint8_t byte : bytes)
            text += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
        return text;
    };
    const auto openssl = [&](const auto& key, const auto& iv, const char* in, const char* out) {
        return run_command("openssl enc -aes-256-cbc -K " + hex(key) + " -iv " + hex(iv) + " -in " +
                           quoted(native(in)) + " -out " + quoted(native(out)));
    };
    const Bytes archive = pattern_bytes(1000, 7);
    write_native(native("archive.zip"), archive);
    ASSERT_EQ(openssl(PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, "archive.zip", "inner"), 0);
    ASSERT_EQ(openssl(PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, "inner", "app.enc"), 0);
    Bytes decrypted;
    EXPECT_TRUE(decrypt_payload(read_native(native("app.enc")), decrypted) && decrypted == archive);
    EXPECT_EQ(make_app_enc(archive), read_native(native("app.enc")));
}

} // namespace
} // namespace kp::test
