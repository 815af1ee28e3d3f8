// Benchmark driver: reads app.enc, removes both layers, writes the archive, and reports how long
// decrypt_payload alone took.
#include "common/file_io.hpp"
#include "payload/payload_decryption.hpp"
#include "platform/program_main.hpp"

#include <chrono>
#include <cstdio>

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 2) {
        std::fputs("usage: kp_decrypt_payload APP_ENC ARCHIVE\n", stderr);
        return 2;
    }
    kp::Bytes encrypted;
    if (!kp::read_file_bytes(arguments[0], encrypted)) {
        std::fputs("kp_decrypt_payload: cannot read the input\n", stderr);
        return 1;
    }
    kp::Bytes archive;
    const auto start = std::chrono::steady_clock::now();
    // As the installation does it: the file's buffer is consumed.
    const bool ok = kp::decrypt_payload(std::move(encrypted), archive);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!ok || !kp::write_file_bytes(arguments[1], archive)) {
        std::fputs("kp_decrypt_payload: decryption or write failed\n", stderr);
        return 1;
    }
    std::printf("decrypt_payload: %.3f s for %zu bytes (%.2f GB/s)\n", elapsed.count(), archive.size(),
                static_cast<double>(archive.size()) / elapsed.count() / 1e9);
    return 0;
}
