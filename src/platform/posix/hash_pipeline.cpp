#include "hash_pipeline.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace kp::posix {

std::unique_ptr<HashPipeline> HashPipeline::create(const EVP_MD* algorithm) {
    std::unique_ptr<HashPipeline> pipeline(new (std::nothrow) HashPipeline);
    if (!pipeline)
        return nullptr;
    pipeline->crypto_ = libcrypto();
    if (pipeline->crypto_ == nullptr)
        return nullptr;
    pipeline->context_ = pipeline->crypto_->EVP_MD_CTX_new();
    if (pipeline->context_ == nullptr ||
        pipeline->crypto_->EVP_DigestInit_ex(pipeline->context_, algorithm, nullptr) != 1)
        return nullptr;
    return pipeline;
}

HashPipeline::~HashPipeline() {
    if (worker_state_ == Worker::running) {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_one();
        pthread_join(worker_, nullptr);
    }
    if (crypto_ != nullptr)
        crypto_->EVP_MD_CTX_free(context_);
}

bool HashPipeline::add(const std::uint8_t* data, std::uint32_t size) {
    if (!using_blocks_ && hashed_in_place_ + size <= HASHED_IN_PLACE) {
        hashed_in_place_ += size;
        caller_failed_ = caller_failed_ || crypto_->EVP_DigestUpdate(context_, data, size) != 1;
        return !caller_failed_;
    }
    using_blocks_ = true;
    caller_failed_ = !add_to_blocks(data, size) || caller_failed_;
    return !caller_failed_;
}

bool HashPipeline::add_to_blocks(const std::uint8_t* data, std::uint32_t size) {
    bool ok = true;
    while (size != 0) {
        Block& block = blocks_[filling_];
        if (!block.bytes)
            block.bytes.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE]);
        if (!block.bytes)
            return false;
        const std::size_t piece = std::min<std::size_t>(size, BLOCK_SIZE - block.size);
        std::memcpy(block.bytes.get() + block.size, data, piece);
        block.size += piece;
        data += piece;
        size -= static_cast<std::uint32_t>(piece);
        if (block.size == BLOCK_SIZE)
            ok = hand_over_filled_block() && ok;
    }
    return ok;
}

// Queues the full block and waits, if every block is queued, until the worker frees one.
bool HashPipeline::hand_over_filled_block() {
    if (worker_state_ == Worker::not_started)
        worker_state_ = pthread_create(&worker_, nullptr, worker_entry, this) == 0 ? Worker::running
                                                                                   : Worker::unavailable;
    if (worker_state_ == Worker::unavailable) {
        const bool ok = hash_block(blocks_[filling_]);
        blocks_[filling_].size = 0;
        return ok;
    }
    std::unique_lock lock(mutex_);
    ++queued_;
    work_ready_.notify_one();
    block_freed_.wait(lock, [this] { return queued_ < BLOCK_COUNT; });
    filling_ = (oldest_queued_ + queued_) % BLOCK_COUNT;
    blocks_[filling_].size = 0;
    return !failed_;
}

bool HashPipeline::finish(std::uint8_t* digest) {
    bool ok = true;
    Block& last = blocks_[filling_];
    if (worker_state_ != Worker::running) {
        ok = last.size == 0 || hash_block(last);
    } else {
        std::unique_lock lock(mutex_);
        if (last.size != 0) {
            ++queued_;
            work_ready_.notify_one();
        }
        block_freed_.wait(lock, [this] { return queued_ == 0; });
        ok = !failed_;
        filling_ = oldest_queued_;
    }
    blocks_[filling_].size = 0;
    unsigned int length = 0;
    return ok && !caller_failed_ && crypto_->EVP_DigestFinal_ex(context_, digest, &length) == 1 &&
           length == 32;
}

bool HashPipeline::hash_block(const Block& block) {
    return crypto_->EVP_DigestUpdate(context_, block.bytes.get(), block.size) == 1;
}

void HashPipeline::run_worker() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return stopping_ || queued_ != 0; });
        if (stopping_)
            return;
        const Block& block = blocks_[oldest_queued_];
        lock.unlock();
        const bool ok = hash_block(block);
        lock.lock();
        failed_ = failed_ || !ok;
        oldest_queued_ = (oldest_queued_ + 1) % BLOCK_COUNT;
        --queued_;
        block_freed_.notify_one();
    }
}

void* HashPipeline::worker_entry(void* pipeline) {
    static_cast<HashPipeline*>(pipeline)->run_worker();
    return nullptr;
}

} // namespace kp::posix
