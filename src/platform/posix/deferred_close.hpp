// Closing a file the process is done with, on a second thread. An unpack of many small files
// spends about a third of its system calls in close, which nothing it does next waits for: the
// data is written before the close, and flushing goes by the file system, not the descriptor.
// Descriptors are handed over in batches, so the hand-over costs one wake-up per batch; only a
// bounded number wait at any time, and should the thread fail to start, they are closed at once.
#pragma once

namespace kp::posix {

// Both are called from one thread, the one that makes the seam calls.

// Takes the descriptor over: it is closed by the time finish_closing returns.
void close_later(int fd);

// Closes every descriptor handed over and not closed yet, and returns when all are. Called
// before anything that may need a written file closed: starting a program (an executable still
// open for writing cannot be run), renames and removals, flushes.
void finish_closing();

} // namespace kp::posix
