#include "deferred_close.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace kp::posix {

namespace {

// At most BATCH_SIZE + 2 * MAX_HANDED_OVER descriptors wait at once (a batch filling, the ones
// handed over and the ones being closed): with the directories that file creation holds open,
// well below the usual limit of 1,024. Should a lower limit be reached, file creation closes
// them all and tries again.
constexpr std::size_t BATCH_SIZE = 128;
constexpr std::size_t MAX_HANDED_OVER = 128;

class Closer {
  public:
    Closer() = default;
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    ~Closer() {
        finish();
        if (state_ == State::running) {
            {
                const std::lock_guard lock(mutex_);
                stopping_ = true;
            }
            work_ready_.notify_one();
            pthread_join(thread_, nullptr);
        }
        state_ = State::unavailable; // a descriptor handed over after this is closed at once
    }

    void close_later(int fd) {
        if (state_ == State::unavailable) {
            ::close(fd);
            return;
        }
        batch_[batch_size_++] = fd;
        if (batch_size_ == BATCH_SIZE)
            hand_over_batch();
    }

    void finish() {
        close_batch_here();
        if (state_ != State::running)
            return;
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return handed_over_size_ == 0 && !closing_; });
    }

  private:
    enum class State { not_started, running, unavailable };

    void close_batch_here() {
        for (std::size_t i = 0; i < batch_size_; ++i)
            ::close(batch_[i]);
        batch_size_ = 0;
    }

    void hand_over_batch() {
        if (state_ == State::not_started)
            state_ = pthread_create(&thread_, nullptr, thread_entry, this) == 0 ? State::running
                                                                                : State::unavailable;
        if (state_ == State::unavailable) {
            close_batch_here();
            return;
        }
        {
            std::unique_lock lock(mutex_);
            idle_.wait(lock, [this] { return handed_over_size_ + BATCH_SIZE <= MAX_HANDED_OVER; });
            for (std::size_t i = 0; i < batch_size_; ++i)
                handed_over_[handed_over_size_++] = batch_[i];
        }
        batch_size_ = 0;
        work_ready_.notify_one();
    }

    void run() {
        std::array<int, MAX_HANDED_OVER> closing{};
        std::unique_lock lock(mutex_);
        for (;;) {
            work_ready_.wait(lock, [this] { return stopping_ || handed_over_size_ != 0; });
            if (handed_over_size_ == 0)
                return; // stopping, with nothing left
            const std::size_t count = handed_over_size_;
            std::copy_n(handed_over_.begin(), count, closing.begin());
            handed_over_size_ = 0;
            closing_ = true;
            lock.unlock();
            for (std::size_t i = 0; i < count; ++i)
                ::close(closing[i]);
            lock.lock();
            closing_ = false;
            idle_.notify_all();
        }
    }

    static void* thread_entry(void* closer) {
        static_cast<Closer*>(closer)->run();
        return nullptr;
    }

    // The caller's side: only the calling thread touches these.
    std::array<int, BATCH_SIZE> batch_{};
    std::size_t batch_size_ = 0;
    State state_ = State::not_started;
    pthread_t thread_{};

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable idle_; // room for a batch, or nothing left to close
    std::array<int, MAX_HANDED_OVER> handed_over_{};
    std::size_t handed_over_size_ = 0;
    bool closing_ = false;
    bool stopping_ = false;
};

Closer closer;

} // namespace

void close_later(int fd) {
    closer.close_later(fd);
}

void finish_closing() {
    closer.finish();
}

} // namespace kp::posix
