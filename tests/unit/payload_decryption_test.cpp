#include "build_config.hpp"
#include "payload/payload_decryption.hpp"
#include "platform/platform.hpp"
#include "support/sandbox.hpp"

#include <cstdio>

namespace kp::test {
namespace {

template <std::size_t N> std::string hex(const std::array<std::uint8_t, N>& bytes) {
    std::string text;
    char digits[3];
    for (auto byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

using PayloadDecryption = SandboxTest;

TEST_F(PayloadDecryption, RoundTripsExactlyWithTheConstructionsFileSize) {
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        const Bytes archive = pattern_bytes(n, static_cast<std::uint32_t>(n));
        const Bytes app_enc = make_app_enc(archive);
        EXPECT_EQ(app_enc.size(), 16 * (n / 16 + 2)) << n;
        Bytes decrypted;
        ASSERT_TRUE(decrypt_payload(app_enc, decrypted)) << n;
        EXPECT_EQ(decrypted, archive) << n;
        Bytes consumed = app_enc;
        Bytes decrypted_in_place;
        ASSERT_TRUE(decrypt_payload(std::move(consumed), decrypted_in_place)) << n;
        EXPECT_EQ(decrypted_in_place, archive) << n;
        Bytes encrypted_in_place = archive; // no room to spare: the buffer moves as it grows
        ASSERT_TRUE(sys::aes256_cbc_encrypt(encrypted_in_place, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV,
                                            encrypted_in_place));
        ASSERT_TRUE(sys::aes256_cbc_encrypt(encrypted_in_place, PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV,
                                            encrypted_in_place));
        EXPECT_EQ(encrypted_in_place, app_enc) << n;
    }
}

TEST_F(PayloadDecryption, RefusesEmptyMisalignedAndForeignInput) {
    Bytes archive;
    EXPECT_FALSE(decrypt_payload(Bytes{}, archive));
    EXPECT_FALSE(decrypt_payload(pattern_bytes(33), archive));

    // Made with the right construction but other keys: the padding check fails.
    Bytes inner;
    Bytes foreign;
    std::array<std::uint8_t, 32> other_key{};
    other_key.fill(0x5A);
    ASSERT_TRUE(sys::aes256_cbc_encrypt(pattern_bytes(100), other_key, PAYLOAD_INNER_IV, inner));
    ASSERT_TRUE(sys::aes256_cbc_encrypt(inner, other_key, PAYLOAD_OUTER_IV, foreign));
    EXPECT_FALSE(decrypt_payload(foreign, archive));

    // Layers swapped: outer key used for the inner layer.
    Bytes swapped_inner;
    Bytes swapped;
    ASSERT_TRUE(
        sys::aes256_cbc_encrypt(pattern_bytes(100), PAYLOAD_OUTER_KEY, PAYLOAD_OUTER_IV, swapped_inner));
    ASSERT_TRUE(sys::aes256_cbc_encrypt(swapped_inner, PAYLOAD_INNER_KEY, PAYLOAD_INNER_IV, swapped));
    EXPECT_FALSE(decrypt_payload(swapped, archive));
}

TEST_F(PayloadDecryption, RepeatedCallsGiveTheSameArchive) {
    const Bytes app_enc = make_app_enc(pattern_bytes(4096));
    Bytes first;
    Bytes second;
    ASSERT_TRUE(decrypt_payload(app_enc, first));
    ASSERT_TRUE(decrypt_payload(app_enc, second));
    EXPECT_EQ(first, second);
}

TEST_F(PayloadDecryption, InnerLayerIsNotTriedWhenTheOuterFails) {
    Bytes archive;
    EXPECT_FALSE(decrypt_payload(pattern_bytes(64), archive));
    EXPECT_EQ(fault::calls.aes256_cbc_decrypt, 1);

    fault::reset();
    ASSERT_TRUE(decrypt_payload(make_app_enc(pattern_bytes(10)), archive));
    EXPECT_EQ(fault::calls.aes256_cbc_decrypt, 2);
}

// app.enc made by two runs of the openssl command decrypts, and our encryption is byte-identical.
TEST_F(PayloadDecryption, InteroperatesWithTheOpensslCommand) {
    if (running_under_windows())
        GTEST_SKIP() << "the openssl command runs on the build machine only";
    const Bytes archive = pattern_bytes(1000, 7);
    write_native(native("archive.zip"), archive);
    const std::string dir = root().string();
    const std::string inner_cmd = "openssl enc -aes-256-cbc -K " + hex(PAYLOAD_INNER_KEY) + " -iv " +
                                  hex(PAYLOAD_INNER_IV) + " -in '" + dir + "/archive.zip' -out '" + dir +
                                  "/inner'";
    const std::string outer_cmd = "openssl enc -aes-256-cbc -K " + hex(PAYLOAD_OUTER_KEY) + " -iv " +
                                  hex(PAYLOAD_OUTER_IV) + " -in '" + dir + "/inner' -out '" + dir +
                                  "/app.enc'";
    ASSERT_EQ(run_command(inner_cmd), 0);
    ASSERT_EQ(run_command(outer_cmd), 0);
    const Bytes openssl_app_enc = read_native(native("app.enc"));
    Bytes decrypted;
    ASSERT_TRUE(decrypt_payload(openssl_app_enc, decrypted));
    EXPECT_EQ(decrypted, archive);
    EXPECT_EQ(make_app_enc(archive), openssl_app_enc);
}

} // namespace
} // namespace kp::test
