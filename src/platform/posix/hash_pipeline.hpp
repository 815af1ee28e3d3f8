// SHA-256 on a second thread. The caller's bytes are copied into one of a few blocks and hashed
// there while the caller goes on with its writes, so that an unpack pays for the copy rather than
// the hash. The thread starts with the first full block (a short input is hashed in place) and,
// should it fail to start, the blocks are hashed on the caller's thread instead.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <pthread.h>

namespace kp::posix {

class HashPipeline {
  public:
    // Null when memory or the digest context cannot be had.
    static std::unique_ptr<HashPipeline> create(const EVP_MD* algorithm);
    ~HashPipeline();
    HashPipeline(const HashPipeline&) = delete;
    HashPipeline& operator=(const HashPipeline&) = delete;

    // False once any hashing so far has failed.
    bool add(const std::uint8_t* data, std::uint32_t size);
    // Waits for every queued block, then writes the 32-byte digest; false on any failure.
    bool finish(std::uint8_t* digest);

  private:
    static constexpr std::size_t BLOCK_COUNT = 4;
    static constexpr std::size_t BLOCK_SIZE = 512 * 1024;

    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
    };

    HashPipeline() = default;
    bool hand_over_filled_block();
    bool hash_block(const Block& block);
    void run_worker();
    static void* worker_entry(void* pipeline);

    EVP_MD_CTX* context_ = nullptr;
    std::array<Block, BLOCK_COUNT> blocks_;
    std::size_t filling_ = 0; // the block the caller fills; never one the worker holds

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable block_freed_;
    std::size_t oldest_queued_ = 0; // the worker holds the queued blocks from here on, in order
    std::size_t queued_ = 0;
    bool stopping_ = false;
    bool failed_ = false;

    pthread_t worker_{};
    bool worker_started_ = false;
    bool worker_unavailable_ = false; // hash on the caller's thread
};

} // namespace kp::posix
