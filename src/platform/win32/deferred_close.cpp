#include "deferred_close.hpp"

#include "platform/disk_calls.hpp"

#include <array>
#include <cstddef>

namespace kp::win32 {

namespace {

// Eight closer threads (disk_calls.closer_threads): the wait is the scanner's, not our CPU's, and
// with closes of 3 ms and files written in well under 1 ms, fewer could not keep up. At most
// MAX_WAITING handles wait, and one more per thread is being closed, however many files an
// unpack writes.
constexpr std::size_t MAX_WAITING = 64;
constexpr SIZE_T CLOSER_STACK = 64 * 1024;

class Closer {
  public:
    Closer() = default;
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    // The threads are left waiting: the process ends them on its way out.
    ~Closer() {
        finish();
        state_ = State::unavailable; // a handle handed over after this is closed at once
    }

    void close_later(HANDLE file) {
        if (state_ == State::not_started)
            start_threads();
        if (state_ == State::unavailable) {
            disk_calls.close(file);
            return;
        }
        AcquireSRWLockExclusive(&lock_);
        while (waiting_count_ == MAX_WAITING)
            SleepConditionVariableSRW(&room_or_idle_, &lock_, INFINITE, 0);
        waiting_[(first_waiting_ + waiting_count_++) % MAX_WAITING] = file;
        ReleaseSRWLockExclusive(&lock_);
        WakeConditionVariable(&work_ready_);
    }

    void finish() {
        if (state_ != State::running)
            return;
        AcquireSRWLockExclusive(&lock_);
        while (waiting_count_ != 0 || closing_ != 0)
            SleepConditionVariableSRW(&room_or_idle_, &lock_, INFINITE, 0);
        ReleaseSRWLockExclusive(&lock_);
    }

  private:
    enum class State { not_started, running, unavailable };

    void start_threads() {
        state_ = State::unavailable;
        for (unsigned i = 0; i < disk_calls.closer_threads; ++i) {
            const HANDLE thread = CreateThread(nullptr, CLOSER_STACK, thread_entry, this,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
            if (thread == nullptr)
                break;
            CloseHandle(thread);
            state_ = State::running; // one thread is enough to go on with
        }
    }

    void run() {
        AcquireSRWLockExclusive(&lock_);
        for (;;) {
            while (waiting_count_ == 0)
                SleepConditionVariableSRW(&work_ready_, &lock_, INFINITE, 0);
            const HANDLE file = waiting_[first_waiting_];
            first_waiting_ = (first_waiting_ + 1) % MAX_WAITING;
            --waiting_count_;
            ++closing_;
            ReleaseSRWLockExclusive(&lock_);
            disk_calls.close(file);
            AcquireSRWLockExclusive(&lock_);
            --closing_;
            WakeConditionVariable(&room_or_idle_); // only the seam's thread waits there
        }
    }

    static DWORD WINAPI thread_entry(void* closer) {
        static_cast<Closer*>(closer)->run();
        return 0;
    }

    State state_ = State::not_started; // the seam's thread alone touches this

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE work_ready_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE room_or_idle_ = CONDITION_VARIABLE_INIT; // room to wait, or nothing left
    std::array<HANDLE, MAX_WAITING> waiting_{};
    std::size_t first_waiting_ = 0;
    std::size_t waiting_count_ = 0;
    unsigned closing_ = 0;
};

Closer closer;

// Files written out and not closed yet. The core closes each right after its write-out, so
// a few places are enough; a file that finds none is closed at once.
std::array<HANDLE, 4> marked{};

} // namespace

void close_after_write(HANDLE file) {
    for (HANDLE& place : marked)
        if (place == nullptr) {
            place = file;
            return;
        }
}

void close_file(HANDLE file) {
    bool written = false;
    for (HANDLE& place : marked)
        if (place == file) {
            place = nullptr;
            written = true;
        }
    if (keep_for_full_flush(file))
        return;
    if (written)
        closer.close_later(file);
    else
        CloseHandle(file);
}

void close_later(HANDLE file) {
    closer.close_later(file);
}

void finish_closing() {
    closer.finish();
}

} // namespace kp::win32
