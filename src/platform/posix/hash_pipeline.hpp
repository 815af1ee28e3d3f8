// SHA-256 on a second thread. The caller's bytes are copied into one of a few blocks and hashed
// there while the caller goes on with its writes, so that an unpack pays for the copy rather than
// the hash. The first 64 KiB are hashed in place, so a short input costs neither the blocks nor
// the thread; should the thread fail to start, the blocks are hashed on the caller's thread.
#pragma once

#include "libcrypto.hpp"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace kp::posix {

class HashPipeline {
  public:
    // Null when the digest context cannot be had.
    static std::unique_ptr<HashPipeline> create(const EVP_MD* algorithm);
    ~HashPipeline();
    HashPipeline(const HashPipeline&) = delete;
    HashPipeline& operator=(const HashPipeline&) = delete;

    // False when hashing, or memory for a block, has failed so far (the worker's failures may show
    // only later); finish then fails too.
    bool add(const std::uint8_t* data, std::uint32_t size);
    // Waits for every queued block, then writes the 32-byte digest; false on any failure.
    bool finish(std::uint8_t* digest);

  private:
    static constexpr std::size_t BLOCK_COUNT = 4;
    static constexpr std::size_t BLOCK_SIZE = 512 * 1024;
    static constexpr std::size_t HASHED_IN_PLACE = 64 * 1024;

    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
    };

    HashPipeline() = default;
    bool add_to_blocks(const std::uint8_t* data, std::uint32_t size);
    bool hand_over_filled_block();
    bool hash_block(const Block& block);
    void run_worker();
    static void* worker_entry(void* pipeline);

    const Libcrypto* crypto_ = nullptr;
    EVP_MD_CTX* context_ = nullptr;
    std::size_t hashed_in_place_ = 0;
    bool using_blocks_ = false;
    bool caller_failed_ = false;
    std::array<Block, BLOCK_COUNT> blocks_; // each allocated when first filled
    std::size_t filling_ = 0;               // the block the caller fills; never one the worker holds

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable block_freed_;
    std::size_t oldest_queued_ = 0; // the worker holds the queued blocks from here on, in order
    std::size_t queued_ = 0;
    bool stopping_ = false;
    bool failed_ = false;

    enum class Worker { not_started, running, unavailable }; // unavailable: the caller hashes
    Worker worker_state_ = Worker::not_started;
    pthread_t worker_{};
};

} // namespace kp::posix
