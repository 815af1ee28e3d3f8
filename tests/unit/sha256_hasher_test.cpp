#include "tools/sha256_hasher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>

static bool no_threads = false;
static int threads_refused = 0;

// Stands in for the C library's pthread_create in this test binary, to fail as it does when the
// process may not have another thread.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) noexcept {
    if (no_threads) {
        ++threads_refused;
        return EAGAIN;
    }
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return real(thread, attributes, start, argument);
}
#endif

namespace kp::test {

namespace {

constexpr char16_t LONG_PATTERN_ID[] = u"7c94a107d93c17af81f2f11e39e4681c";

// Feeds the bytes in pieces of the sizes given, in turn, as an unpack does with entry heads,
// small files and whole copy buffers.
std::u16string hash_in_pieces(const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& sizes) {
    Sha256Hasher hasher;
    hasher.open();
    for (std::size_t turn = 0, offset = 0; offset < bytes.size(); ++turn) {
        const std::size_t piece = std::min(sizes[turn % sizes.size()], bytes.size() - offset);
        hasher.update(bytes.data() + offset, static_cast<std::uint32_t>(piece));
        offset += piece;
    }
    return hasher.finish_hex();
}

const std::vector<std::size_t> MIXED_PIECES = {1, 4096, 33, 512 * 1024, 4 * 1024 * 1024, 7, 511 * 1024};

// A hash given up half way, as a failed unpack leaves it, is released without being finished.
TEST(Sha256Hasher, KnownDigestsWhateverThePiecesOrThreadsAndAbandonedHashesReleased) {
    EXPECT_EQ(hash_in_pieces({}, {1}), u"e3b0c44298fc1c149afbf4c8996fb924");
    EXPECT_EQ(hash_in_pieces({'a', 'b', 'c'}, {1}), u"ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(hash_in_pieces(std::vector<std::uint8_t>(1000000, 'a'), {4096 + 30}),
              u"cdc76e5c9914fb9281a1c7e284d73e67");
    // 5 MiB and a bit of a pattern that never repeats within a block: several times what the
    // hasher keeps queued at once, so its blocks are reused in turn.
    std::vector<std::uint8_t> pattern(5 * 1024 * 1024 + 12345);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 131 + (i >> 11));
    EXPECT_EQ(hash_in_pieces(pattern, {pattern.size()}), LONG_PATTERN_ID);
    EXPECT_EQ(hash_in_pieces(pattern, MIXED_PIECES), LONG_PATTERN_ID);
#ifndef _WIN32
    no_threads = true; // no second thread can start: the caller's own thread hashes
    EXPECT_EQ(hash_in_pieces(pattern, MIXED_PIECES), LONG_PATTERN_ID);
    no_threads = false;
    EXPECT_EQ(threads_refused, 1) << "one refusal, then no more attempts";
#endif
    for (int round = 0; round < 20; ++round) {
        Sha256Hasher abandoned;
        abandoned.open();
        abandoned.update(pattern.data(), static_cast<std::uint32_t>(pattern.size()));
        EXPECT_TRUE(abandoned.ok);
    }
}

} // namespace
} // namespace kp::test
